#include "reader.h"

#include "error.h"
#include "jsonline.h"
#include "pcapng.h"

namespace kxmsg {

namespace {

void handOutLog(TextReader &r, std::vector<Traced> &done)
{
    for (const Traced &t : done)
        r.events.message(t);
    done.clear();
}

void handOutHex(TextReader &r, Bytes bytes)
{
    Traced t;
    t.from = From::hex;
    t.raw = std::move(bytes);
    t.shown = {{0, t.raw.size()}};
    r.events.message(t);
}

void refuse(TextReader &r, const std::string &why)
{
    r.events.refused("line " + std::to_string(r.lineNumber) + ": " + why);
}

void jsonLine(TextReader &r, std::string_view line)
{
    Traced t;
    try {
        t = tracedFromJson(line);
    } catch (const Error &e) {
        return refuse(r, std::string("not a message: ") + e.what());
    }
    r.events.message(t);
}

void readCapture(Stream &s, const ReadEvents &events)
{
    PcapReader r{s, {}, false, {}, 0, 0};
    Traced t;
    while (pcapNext(r, t))
        events.message(t);
}

void readText(Stream &s, const ReadEvents &events)
{
    TextReader r{events, {}, {}, 0};
    std::string line;
    bool tooLong = false;
    while (streamLine(s, line, kLongestLine, tooLong)) {
        if (tooLong) {
            ++r.lineNumber;
            refuse(r, "longer than " + std::to_string(kLongestLine >> 20) + " MiB, passed over");
            continue;
        }
        textLine(r, line);
    }
    textEnd(r);
}

} // namespace

void textLine(TextReader &r, std::string_view line)
{
    ++r.lineNumber;
    auto each = [&r](Bytes b) { handOutHex(r, std::move(b)); };
    std::vector<Traced> done;
    size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        r.log.flush(done);
        handOutLog(r, done);
        return hexEnd(r.hex, each);
    }
    if (line[first] == '#')
        return;
    if (r.log.feed(line, done))
        return handOutLog(r, done);
    if (line[first] == '{')
        return jsonLine(r, line.substr(first));
    Bytes bytes;
    if (appendHexText(line, bytes) && !bytes.empty())
        hexAdd(r.hex, bytes, each);
}

void textEnd(TextReader &r)
{
    std::vector<Traced> done;
    r.log.flush(done);
    handOutLog(r, done);
    hexEnd(r.hex, [&r](Bytes b) { handOutHex(r, std::move(b)); });
}

void readRecording(FILE *in, const ReadEvents &events)
{
    Stream s;
    s.in = in;
    // A capture begins with its magic, which no line of text does.
    size_t have = streamFill(s, 4);
    if (isPcapng(s.buf.data() + s.at, have))
        readCapture(s, events);
    else
        readText(s, events);
}

} // namespace kxmsg
