// decode: TLV messages from logs, bug reports and captures, read from a file
// or standard input and shown each as soon as it is complete (so that
// `tail -f LOG | kxctl decode` shows them live). Accepted:
// - the daemon's trace and error dumps, in its log file, in syslog files
//   and in what logread and journalctl print: other lines are passed over,
//   the lines of one dump are put together, and each message keeps the
//   log's time and the dump's label (">RT", "<RT", "ERROR");
// - kxctl's own JSON lines (monitor, decode, listen, call);
// - plain hex (blanks, ':', ',' or '-' between bytes, "0x" prefixes
//   allowed), cut into messages by the totals in their headers; a blank
//   line ends a message; lines starting with '#' are comments;
// - a pcapng capture of kxctl monitor --pcap or kxctl camera --pcap.
#include "logread.h"
#include "pcapng.h"
#include "status.h"
#include "verbs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kxctl {

namespace {

struct Decoder {
    OutputOptions out;
    LogReader log;
    Bytes hex; // plain hex gathered, not yet a whole message
    std::vector<Traced> done;
    long shown = 0;
    int status = kExitOk;

    void showTraced()
    {
        for (const Traced &t : done) {
            printTraced(out, t);
            if (!t.cut() && parseMessage(t.raw).check != 0)
                status = kExitFailure;
            ++shown;
        }
        done.clear();
    }

    void showHex(size_t size)
    {
        Bytes message(hex.begin(), hex.begin() + static_cast<long>(size));
        hex.erase(hex.begin(), hex.begin() + static_cast<long>(size));
        printMessage(out, message, {"stdin", false, false});
        if (parseMessage(message).check != 0)
            status = kExitFailure;
        ++shown;
    }

    // Whole messages by their declared totals; with all, the rest too.
    void flushHex(bool all)
    {
        while (hex.size() >= 4) {
            size_t total = static_cast<size_t>(hex[0]) << 8 | hex[1];
            if (total < 4 || total > hex.size())
                break;
            showHex(total);
        }
        if (all && !hex.empty())
            showHex(hex.size());
    }

    void line(std::string_view text);
    void end();
};

std::optional<Bytes> plainHex(std::string_view text)
{
    try {
        Bytes bytes = parseHexText(text);
        return bytes.empty() ? std::nullopt : std::optional<Bytes>(bytes);
    } catch (const std::invalid_argument &) {
        return std::nullopt;
    }
}

void Decoder::line(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        log.flush(done);
        showTraced();
        return flushHex(true);
    }
    if (text[first] == '#')
        return;
    if (log.feed(text, done))
        return showTraced();
    if (text[first] == '{') {
        if (auto t = tracedFromJson(text.substr(first)))
            done.push_back(std::move(*t));
        return showTraced();
    }
    if (auto bytes = plainHex(text)) {
        hex.insert(hex.end(), bytes->begin(), bytes->end());
        flushHex(false);
    }
}

void Decoder::end()
{
    log.flush(done);
    showTraced();
    flushHex(true);
}

FILE *openInput(const std::string &file)
{
    if (file.empty() || file == "-")
        return stdin;
    FILE *f = fopen(file.c_str(), "rb");
    if (f == nullptr)
        throw Failure(kExitFailure, file + ": " + strerror(errno));
    return f;
}

Bytes readAll(FILE *in, Bytes bytes)
{
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, in)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    return bytes;
}

void decodeCapture(Decoder &d, FILE *in, const Bytes &start)
{
    d.done = readPcapng(readAll(in, start));
    d.showTraced();
}

// Lines as they come; the first bytes, already read, lead the first one.
void decodeLines(Decoder &d, FILE *in, std::string carry)
{
    char *buf = nullptr;
    size_t size = 0;
    for (ssize_t n; (n = getline(&buf, &size, in)) > 0;) {
        carry.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = carry.find('\n')) != std::string::npos; carry.erase(0, end + 1))
            d.line(std::string_view(carry).substr(0, end + 1));
    }
    free(buf);
    if (!carry.empty())
        d.line(carry);
    d.end();
}

} // namespace

int runDecode(const OutputOptions &out, const std::string &file)
{
    FILE *in = openInput(file);
    Decoder d;
    d.out = out;
    // A capture begins with its magic, which no line of text does.
    Bytes start(4);
    start.resize(fread(start.data(), 1, start.size(), in));
    if (isPcapng(start))
        decodeCapture(d, in, start);
    else
        decodeLines(d, in, std::string(start.begin(), start.end()));
    if (in != stdin)
        fclose(in);
    if (d.shown == 0)
        throw Failure(kExitFailure, "no message in the input");
    return d.status;
}

} // namespace kxctl
