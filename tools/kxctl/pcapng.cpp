#include "pcapng.h"

#include "status.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace kxctl {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterface = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrder = 0x1A2B3C4D;
constexpr uint16_t kLinkUser0 = 147;
constexpr uint16_t kOptComment = 1, kOptName = 2, kOptDescription = 3, kOptFlags = 2;
constexpr char kPartNote[] = "kxctl-part ";

void put32(Bytes &b, uint32_t v)
{
    b.insert(b.end(), reinterpret_cast<const uint8_t *>(&v),
             reinterpret_cast<const uint8_t *>(&v) + 4);
}

void put16(Bytes &b, uint16_t v)
{
    b.insert(b.end(), reinterpret_cast<const uint8_t *>(&v),
             reinterpret_cast<const uint8_t *>(&v) + 2);
}

void pad(Bytes &b)
{
    while (b.size() % 4 != 0)
        b.push_back(0);
}

void option(Bytes &b, uint16_t code, const void *data, size_t size)
{
    put16(b, code);
    put16(b, static_cast<uint16_t>(size));
    b.insert(b.end(), static_cast<const uint8_t *>(data),
             static_cast<const uint8_t *>(data) + size);
    pad(b);
}

void option(Bytes &b, uint16_t code, const std::string &text)
{
    option(b, code, text.data(), text.size());
}

// Type, total length, body, total length again.
void writeBlock(PcapWriter &w, uint32_t type, Bytes body)
{
    pad(body);
    Bytes block;
    auto total = static_cast<uint32_t>(body.size() + 12);
    put32(block, type);
    put32(block, total);
    block.insert(block.end(), body.begin(), body.end());
    put32(block, total);
    if (fwrite(block.data(), 1, block.size(), w.file) != block.size() || fflush(w.file) != 0)
        throw Failure(kExitFailure, std::string("capture: ") + strerror(errno));
}

uint32_t interfaceOf(PcapWriter &w, const std::string &channel, const std::string &description)
{
    for (size_t i = 0; i < w.channels.size(); ++i)
        if (w.channels[i] == channel)
            return static_cast<uint32_t>(i);
    Bytes body;
    put16(body, kLinkUser0);
    put16(body, 0);
    put32(body, 0); // no snap length
    option(body, kOptName, channel);
    option(body, kOptDescription, description);
    put32(body, 0); // end of options
    writeBlock(w, kInterface, body);
    w.channels.push_back(channel);
    return static_cast<uint32_t>(w.channels.size() - 1);
}

void writePacket(PcapWriter &w, uint32_t interface, std::chrono::system_clock::time_point when,
                 const Bytes &data, size_t length, Way way, const std::vector<std::string> &notes)
{
    auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    Bytes body;
    put32(body, interface);
    put32(body, static_cast<uint32_t>(static_cast<uint64_t>(us) >> 32));
    put32(body, static_cast<uint32_t>(us));
    put32(body, static_cast<uint32_t>(data.size()));
    put32(body, static_cast<uint32_t>(length));
    body.insert(body.end(), data.begin(), data.end());
    pad(body);
    auto flags = static_cast<uint32_t>(way);
    option(body, kOptFlags, &flags, 4);
    for (const auto &note : notes)
        option(body, kOptComment, note);
    put32(body, 0);
    writeBlock(w, kEnhancedPacket, body);
}

const char *traceDescription(const std::string &tag)
{
    if (tag == ">RT")
        return "kxRedIro trace: from a mailbox to the camera side";
    if (tag == "<RT")
        return "kxRedIro trace: from the camera side or the simulator to a mailbox";
    return "kxRedIro trace";
}

} // namespace

PcapWriter::~PcapWriter()
{
    if (file != nullptr)
        fclose(file);
}

void pcapOpen(PcapWriter &w, const std::string &path)
{
    w.file = fopen(path.c_str(), "wb");
    if (w.file == nullptr)
        throw Failure(kExitFailure, path + ": " + strerror(errno));
    Bytes body;
    put32(body, kByteOrder);
    put16(body, 1); // version 1.0
    put16(body, 0);
    put32(body, 0xFFFFFFFF); // section length unknown
    put32(body, 0xFFFFFFFF);
    option(body, 4, std::string("kxctl")); // shb_userappl
    put32(body, 0);
    writeBlock(w, kSectionHeader, body);
}

void pcapWrite(PcapWriter &w, const std::string &channel, const std::string &description,
               std::chrono::system_clock::time_point when, const Bytes &data, Way way)
{
    writePacket(w, interfaceOf(w, channel, description), when, data, data.size(), way, {});
}

void pcapWriteTraced(PcapWriter &w, const Traced &t)
{
    uint32_t interface = interfaceOf(w, t.tag, traceDescription(t.tag));
    Way way = t.tag == ">RT" ? Way::inbound : t.tag == "<RT" ? Way::outbound : Way::unknown;
    auto when = t.when.value_or(std::chrono::system_clock::now());
    if (!t.cut())
        return writePacket(w, interface, when, t.raw, t.raw.size(), way, {});
    // The head is the packet; the rest of what the log showed goes along.
    size_t head = t.shown.empty() || t.shown[0].first != 0 ? 0 : t.shown[0].second;
    std::vector<std::string> notes;
    for (const auto &[a, b] : t.shown)
        if (a != 0)
            notes.push_back(kPartNote + std::to_string(a) + " " + toHex(t.raw.data() + a, b - a));
    Bytes data(t.raw.begin(), t.raw.begin() + static_cast<long>(head));
    writePacket(w, interface, when, data, t.raw.size(), way, notes);
}

namespace {

// A capture read from memory, in the byte order its section header gives.
struct Cursor {
    const Bytes &data;
    bool swap = false;

    template <typename T> T read(size_t at) const
    {
        T v = 0;
        if (at + sizeof v > data.size())
            throw Failure(kExitFailure, "capture: cut short");
        memcpy(&v, data.data() + at, sizeof v);
        if (!swap)
            return v;
        if constexpr (sizeof v == 4)
            return __builtin_bswap32(v);
        else
            return __builtin_bswap16(v);
    }
    uint32_t u32(size_t at) const { return read<uint32_t>(at); }
    uint16_t u16(size_t at) const { return read<uint16_t>(at); }
};

struct Option {
    uint16_t code;
    std::string value;
};

std::vector<Option> options(const Cursor &c, size_t at, size_t end)
{
    std::vector<Option> list;
    while (at + 4 <= end) {
        uint16_t code = c.u16(at), len = c.u16(at + 2);
        if (code == 0 || at + 4 + len > end)
            break;
        list.push_back({code, std::string(c.data.begin() + static_cast<long>(at + 4),
                                          c.data.begin() + static_cast<long>(at + 4 + len))});
        at += 4 + ((len + 3u) & ~3u);
    }
    return list;
}

// "kxctl-part OFFSET HEX" notes put back into the message.
void addParts(Traced &t, const std::vector<Option> &opts)
{
    for (const auto &o : opts) {
        if (o.code != kOptComment || o.value.rfind(kPartNote, 0) != 0)
            continue;
        size_t blank = o.value.find(' ', sizeof kPartNote - 1);
        size_t at = std::stoul(o.value.substr(sizeof kPartNote - 1));
        Bytes bytes = parseHexText(o.value.substr(blank + 1));
        if (at + bytes.size() > t.raw.size())
            continue;
        std::copy(bytes.begin(), bytes.end(), t.raw.begin() + static_cast<long>(at));
        t.shown.emplace_back(at, at + bytes.size());
    }
}

Traced packet(const Cursor &c, size_t at, size_t end, const std::vector<std::string> &names)
{
    uint32_t interface = c.u32(at), caplen = c.u32(at + 12), origlen = c.u32(at + 16);
    if (at + 20 + caplen > end || origlen < caplen || origlen > 0xFFFF)
        throw Failure(kExitFailure, "capture: a packet does not fit its block");
    Traced t;
    t.tag = interface < names.size() ? names[interface] : "";
    uint64_t us = static_cast<uint64_t>(c.u32(at + 4)) << 32 | c.u32(at + 8);
    if (!onClock(static_cast<double>(us) / 1e6))
        throw Failure(kExitFailure, "capture: a packet's time is out of range");
    t.when = std::chrono::system_clock::time_point(std::chrono::microseconds(us));
    time_t secs = static_cast<time_t>(us / 1000000);
    struct tm local {};
    localtime_r(&secs, &local);
    char text[32];
    strftime(text, sizeof text, "%b%d %H:%M:%S", &local);
    t.stamp = text;
    t.raw.assign(origlen, 0);
    std::copy(c.data.begin() + static_cast<long>(at + 20),
              c.data.begin() + static_cast<long>(at + 20 + caplen), t.raw.begin());
    t.shown = {{0, caplen}};
    addParts(t, options(c, at + 20 + ((caplen + 3u) & ~3u), end));
    return t;
}

std::string interfaceName(const Cursor &c, size_t at, size_t end)
{
    for (const auto &o : options(c, at + 8, end))
        if (o.code == kOptName)
            return o.value;
    return {};
}

} // namespace

bool isPcapng(const Bytes &start)
{
    return start.size() >= 4 && start[0] == 0x0A && start[1] == 0x0D && start[2] == 0x0D &&
           start[3] == 0x0A;
}

std::vector<Traced> readPcapng(const Bytes &file)
{
    Cursor c{file};
    if (!isPcapng(file) || file.size() < 12)
        throw Failure(kExitFailure, "not a pcapng capture");
    c.swap = c.u32(8) != kByteOrder;
    std::vector<Traced> messages;
    std::vector<std::string> names;
    for (size_t at = 0; at + 12 <= file.size();) {
        uint32_t type = c.u32(at), total = c.u32(at + 4);
        if (total < 12 || total % 4 != 0 || at + total > file.size())
            throw Failure(kExitFailure, "capture: a block does not fit the file");
        size_t end = at + total - 4;
        if (type == kSectionHeader)
            names.clear();
        else if (type == kInterface)
            names.push_back(interfaceName(c, at + 8, end));
        else if (type == kEnhancedPacket)
            messages.push_back(packet(c, at + 8, end, names));
        at += total;
    }
    return messages;
}

} // namespace kxctl
