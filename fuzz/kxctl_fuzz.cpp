// libFuzzer target for kxctl's readers of outside input: a capture when the
// input starts like pcapng, otherwise lines of text, each read as hex text,
// as a line of the daemon's log (dumps put back together) and, when it
// looks like one, as a line of kxctl's JSON output. Every message read must
// keep its shown ranges inside its bytes and must come back the same
// through kxctl's JSON form and through a capture written by kxctl itself.
#include "kxFuzz.h"
#include "logread.h"
#include "pcapng.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

using namespace kxctl;

// A message read may be 64 KiB long, and each goes through several copies
// (JSON text, capture): with AddressSanitizer's default quarantine of 256
// MB every input ran on fresh pages, and page faults cost two thirds of
// the time (380 execs/s, 1,170 with this). A use after free within one
// input is still caught.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }

namespace {

void checkSame(const Traced &a, const Traced &b)
{
    check(a.tag == b.tag && a.raw.size() == b.raw.size());
    for (const auto &[from, to] : a.shown)
        check(std::equal(a.raw.data() + from, a.raw.data() + to, b.raw.data() + from));
}

// Through a capture in memory, written and read back by kxctl's own code.
void viaCapture(const std::vector<Traced> &messages)
{
    static int fd = memfd_create("kxctl-fuzz", 0);
    check(ftruncate(fd, 0) == 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    {
        PcapWriter w;
        pcapOpen(w, path);
        for (const Traced &t : messages)
            pcapWriteTraced(w, t);
    }
    Bytes file(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    check(pread(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));
    std::vector<Traced> back = readPcapng(file);
    check(back.size() == messages.size());
    for (size_t i = 0; i < back.size(); ++i)
        checkSame(messages[i], back[i]);
}

void checkRead(const std::vector<Traced> &messages, bool capture)
{
    for (const Traced &t : messages) {
        for (const auto &[from, to] : t.shown)
            check(from <= to && to <= t.raw.size());
        check(t.raw.size() <= 0x10000);
        tracedMessage(t);
        std::string json;
        try {
            json = tracedJson(t).dump();
        } catch (const nlohmann::json::type_error &) { // a label that is not UTF-8: left open
            continue;
        }
        std::optional<Traced> back = tracedFromJson(json);
        check(back.has_value());
        checkSame(t, *back);
    }
    if (capture) // a writer's round trip costs more than all the rest
        viaCapture(messages);
}

void readLine(std::string_view line, LogReader &log, std::vector<Traced> &done)
{
    try {
        Bytes bytes = parseHexText(line);
        check(bytes.size() <= line.size() / 2 && parseHexText(toHex(bytes, " ")) == bytes);
    } catch (const std::invalid_argument &) {
    }
    if (std::optional<DumpLine> d = parseDumpLine(line))
        check(d->address % 16 == 0 && !d->bytes.empty() && d->bytes.size() <= 16);
    log.feed(line, done);
    if (line.starts_with('{'))
        if (std::optional<Traced> t = tracedFromJson(line))
            done.push_back(*t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes input(data, data + size);
    std::vector<Traced> done;
    if (isPcapng(input)) {
        try {
            done = readPcapng(input);
        } catch (const std::exception &) { // refused: Failure, or a note's bad number
            return 0;
        }
    } else {
        std::string_view text(reinterpret_cast<const char *>(data), size);
        LogReader log;
        while (!text.empty()) {
            size_t eol = std::min(text.find('\n'), text.size());
            readLine(text.substr(0, eol), log, done);
            text.remove_prefix(std::min(eol + 1, text.size()));
        }
        log.flush(done);
    }
    checkRead(done, isPcapng(input));
    return 0;
}
