#include "pcapng.h"

#include "error.h"

#include <charconv>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace kxmsg {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterface = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrder = 0x1A2B3C4D;
constexpr uint16_t kLinkUser0 = 147;
// Option codes: the comment is common to all blocks; name and description
// are an interface's, flags a packet's (2 in both: codes are per block).
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kOptIfName = 2, kOptIfDescription = 3;
constexpr uint16_t kOptPacketFlags = 2;
constexpr uint16_t kOptUserApplication = 4;
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
        throw Error(std::string("capture: ") + strerror(errno));
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
    option(body, kOptIfName, channel);
    option(body, kOptIfDescription, description);
    put32(body, 0); // end of options
    writeBlock(w, kInterface, body);
    w.channels.push_back(channel);
    return static_cast<uint32_t>(w.channels.size() - 1);
}

void writePacket(PcapWriter &w, uint32_t interface, WallClock::time_point when,
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
    option(body, kOptPacketFlags, &flags, 4);
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
        throw Error(path + ": " + strerror(errno));
    Bytes body;
    put32(body, kByteOrder);
    put16(body, 1); // version 1.0
    put16(body, 0);
    put32(body, 0xFFFFFFFF); // section length unknown
    put32(body, 0xFFFFFFFF);
    option(body, kOptUserApplication, std::string("kxctl"));
    put32(body, 0);
    writeBlock(w, kSectionHeader, body);
}

void pcapWrite(PcapWriter &w, const std::string &channel, const std::string &description,
               WallClock::time_point when, const Bytes &data, Way way)
{
    writePacket(w, interfaceOf(w, channel, description), when, data, data.size(), way, {});
}

void pcapWriteTraced(PcapWriter &w, const Traced &t)
{
    uint32_t interface = interfaceOf(w, t.tag, traceDescription(t.tag));
    Way way = t.tag == ">RT" ? Way::inbound : t.tag == "<RT" ? Way::outbound : Way::unknown;
    auto when = t.when.value_or(WallClock::now());
    if (!t.cut())
        return writePacket(w, interface, when, t.raw, t.raw.size(), way, {});
    // The head is the packet; the rest of what the log showed goes along.
    size_t head = t.shown.empty() || t.shown[0].first != 0 ? 0 : t.shown[0].second;
    // An option's length is 16 bits: a long part goes in several notes.
    constexpr size_t kNoteBytes = 16384;
    std::vector<std::string> notes;
    for (const auto &[a, b] : t.shown)
        for (size_t at = a == 0 ? head : a; at < b; at += kNoteBytes)
            notes.push_back(kPartNote + std::to_string(at) + " " +
                            toHex(t.raw.data() + at, std::min(kNoteBytes, b - at)));
    Bytes data(t.raw.begin(), t.raw.begin() + static_cast<long>(head));
    writePacket(w, interface, when, data, t.raw.size(), way, notes);
}


namespace {

uint32_t swapped(uint32_t v, bool swap)
{
    return swap ? __builtin_bswap32(v) : v;
}

// A number of the block at hand, in the section's byte order; the caller
// has checked that it lies within the block.
template <typename T> T number(const PcapReader &r, size_t at)
{
    T v = 0;
    memcpy(&v, r.block.data() + at, sizeof v);
    if (!r.swap)
        return v;
    if constexpr (sizeof v == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap16(v);
}

struct Option {
    uint16_t code;
    std::string_view value;
};

// The options from at to the block's end; a cut option ends them.
std::vector<Option> options(const PcapReader &r, size_t at)
{
    std::vector<Option> list;
    const size_t end = r.block.size();
    while (at + 4 <= end) {
        uint16_t code = number<uint16_t>(r, at), len = number<uint16_t>(r, at + 2);
        if (code == 0 || len > end - at - 4)
            break;
        list.push_back({code, {reinterpret_cast<const char *>(r.block.data() + at + 4), len}});
        at += 4 + ((len + 3u) & ~3u);
    }
    return list;
}

// The direction bits (the lowest two) of a packet's flags.
Way wayOf(const PcapReader &r, std::string_view flags)
{
    uint32_t word = 0;
    memcpy(&word, flags.data(), sizeof word);
    switch (swapped(word, r.swap) & 3u) {
    case 1: return Way::inbound;
    case 2: return Way::outbound;
    default: return Way::unknown;
    }
}

// "kxctl-part OFFSET HEX": a part of a cut message, put back in place.
void addPart(Traced &t, std::string_view note)
{
    note.remove_prefix(sizeof kPartNote - 1);
    size_t at = 0;
    auto [rest, ec] = std::from_chars(note.data(), note.data() + note.size(), at);
    Bytes bytes;
    if (ec != std::errc() || rest == note.data() || rest == note.data() + note.size() ||
        *rest != ' ' || !appendHexText(note.substr(static_cast<size_t>(rest - note.data())), bytes))
        throw Error("a kxctl-part note that is not OFFSET HEX");
    if (at > t.raw.size() || bytes.size() > t.raw.size() - at)
        throw Error("a kxctl-part note lies beyond the message's " + std::to_string(t.raw.size()) +
                    " bytes");
    std::copy(bytes.begin(), bytes.end(), t.raw.begin() + static_cast<long>(at));
    t.shown.emplace_back(at, at + bytes.size());
}

// An enhanced packet block's body: interface, time (two words), captured
// and original length, the data padded to 32 bits, options.
Traced packet(const PcapReader &r)
{
    if (r.block.size() < 20)
        throw Error("too short for a packet");
    uint32_t interface = number<uint32_t>(r, 0);
    uint32_t caplen = number<uint32_t>(r, 12), origlen = number<uint32_t>(r, 16);
    if (caplen > r.block.size() - 20 || origlen < caplen || origlen > kLongestMessage)
        throw Error("its lengths (" + std::to_string(caplen) + " captured of " +
                    std::to_string(origlen) + ") do not fit its block or a message");
    uint64_t us = static_cast<uint64_t>(number<uint32_t>(r, 4)) << 32 | number<uint32_t>(r, 8);
    if (!onClock(static_cast<double>(us) / 1e6))
        throw Error("its time is out of range");
    Traced t;
    t.from = From::capture;
    t.tag = interface < r.names.size() ? r.names[interface] : "";
    t.when = fromMicroseconds(static_cast<long long>(us));
    t.stamp = logStamp(*t.when);
    t.raw.assign(origlen, 0);
    std::copy_n(r.block.begin() + 20, caplen, t.raw.begin());
    t.shown = {{0, caplen}};
    for (const Option &o : options(r, 20 + ((caplen + 3u) & ~3u)))
        if (o.code == kOptComment && o.value.starts_with(kPartNote))
            addPart(t, o.value);
        else if (o.code == kOptPacketFlags && o.value.size() == 4)
            t.way = wayOf(r, o.value);
    return t;
}

std::string interfaceName(const PcapReader &r)
{
    for (const Option &o : options(r, 8))
        if (o.code == kOptIfName)
            return std::string(o.value);
    return {};
}

std::string blockName(const PcapReader &r)
{
    return "capture: block " + std::to_string(r.blocks);
}

// A section header settles the byte order of all that follows it, its own
// length among them: its body begins with the byte-order magic.
void readSectionOrder(PcapReader &r)
{
    uint32_t order = 0;
    if (!streamRead(r.in, reinterpret_cast<uint8_t *>(&order), 4))
        throw Error(blockName(r) + ": cut short");
    if (order != kByteOrder && order != __builtin_bswap32(kByteOrder))
        throw Error(blockName(r) + ": not a pcapng section header");
    r.swap = order != kByteOrder;
    memcpy(r.block.data(), &order, 4);
}

// The next block: its type, and its body in r.block.
std::optional<uint32_t> nextBlock(PcapReader &r)
{
    if (streamFill(r.in, 1) == 0)
        return std::nullopt;
    ++r.blocks;
    uint32_t head[2] = {};
    if (!streamRead(r.in, reinterpret_cast<uint8_t *>(head), sizeof head))
        throw Error(blockName(r) + ": cut short");
    size_t have = 0; // of the body, read already
    r.block.resize(4);
    if (head[0] == kSectionHeader) {
        readSectionOrder(r);
        have = 4;
    } else if (r.blocks == 1) {
        throw Error("not a pcapng capture");
    }
    uint32_t total = swapped(head[1], r.swap);
    if (total < 12 + have || total % 4 != 0 || total > kLargestBlock)
        throw Error(blockName(r) + ": a length of " + std::to_string(total) +
                    " bytes (a multiple of 4 from 12 to " + std::to_string(kLargestBlock) + ")");
    r.block.resize(total - 12);
    uint32_t trailer = 0;
    if (!streamRead(r.in, r.block.data() + have, r.block.size() - have) ||
        !streamRead(r.in, reinterpret_cast<uint8_t *>(&trailer), 4))
        throw Error(blockName(r) + ": cut short");
    if (swapped(trailer, r.swap) != total)
        throw Error(blockName(r) + ": its two lengths disagree");
    return swapped(head[0], r.swap);
}

} // namespace

bool isPcapng(const uint8_t *start, size_t size)
{
    return size >= 4 && start[0] == 0x0A && start[1] == 0x0D && start[2] == 0x0D &&
           start[3] == 0x0A;
}

bool pcapNext(PcapReader &r, Traced &t)
{
    while (std::optional<uint32_t> type = nextBlock(r)) {
        if (*type == kSectionHeader) {
            r.names.clear();
        } else if (*type == kInterface) {
            if (r.names.size() >= kMostInterfaces)
                throw Error(blockName(r) + ": more than " + std::to_string(kMostInterfaces) +
                            " interfaces");
            r.names.push_back(interfaceName(r));
        } else if (*type == kEnhancedPacket) {
            ++r.packets;
            try {
                t = packet(r);
            } catch (const Error &e) {
                throw Error("capture: packet " + std::to_string(r.packets) + ": " + e.what());
            }
            return true;
        }
    }
    return false;
}

} // namespace kxmsg
