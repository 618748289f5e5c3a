// kxmsg's readers of recordings: hostile inputs are refused with what was
// wrong and where, never read past their end, and never give a message
// longer than a header can declare; plain hex of any length is cut by the
// totals in its headers.
#include "error.h"
#include "reader.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using kxmsg::Bytes;

struct Read {
    std::vector<kxmsg::Traced> messages;
    std::vector<std::string> refusals; // the reader's, then an Error's text
};

Read readText(const std::string &input)
{
    Read r;
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "rb");
    kxmsg::ReadEvents events{[&](const kxmsg::Traced &t) { r.messages.push_back(t); },
                             [&](const std::string &why) { r.refusals.push_back(why); }};
    try {
        kxmsg::readRecording(in, events);
    } catch (const kxmsg::Error &e) {
        r.refusals.push_back(e.what());
    }
    fclose(in);
    return r;
}

std::string le32(uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

std::string padded(std::string body)
{
    body.resize((body.size() + 3) / 4 * 4, '\0');
    return body;
}

// Type, total length, body, total again; trailer as given when nonzero.
std::string block(uint32_t type, const std::string &body, uint32_t trailer = 0)
{
    std::string b = padded(body);
    uint32_t total = static_cast<uint32_t>(b.size() + 12);
    return le32(type) + le32(total) + b + le32(trailer != 0 ? trailer : total);
}

std::string option(uint16_t code, const std::string &value)
{
    std::string head(4, '\0');
    head[0] = static_cast<char>(code);
    head[2] = static_cast<char>(value.size());
    head[3] = static_cast<char>(value.size() >> 8);
    return head + padded(value);
}

const std::string kSection = block(0x0A0D0D0A, le32(0x1A2B3C4D) + std::string("\1\0\0\0", 4) +
                                                   std::string(8, '\xff') + le32(0));
const std::string kInterface = block(1, std::string("\x93\0\0\0\0\0\0\0", 8) +
                                            option(2, "<RT") + le32(0));

// A packet holding the 4-byte head of a 45-byte message, with a note.
std::string packet(const std::string &note, uint32_t origlen = 45)
{
    std::string head = le32(0) + le32(0) + le32(0) + le32(4) + le32(origlen);
    return block(6, head + std::string("\x00\x2d\x00\x0a", 4) + option(1, note) + le32(0));
}

struct Hostile {
    const char *name;
    std::string input;
    const char *refusal; // what the refusal must say
};

TEST(KxmsgReader, HostileInputIsRefusedSayingWhatAndWhere)
{
    const Hostile cases[] = {
        {"negative part offset", kSection + kInterface + packet("kxctl-part -1 00"),
         "packet 1: a kxctl-part note that is not OFFSET HEX"},
        {"wrapping part offset",
         kSection + kInterface + packet("kxctl-part 18446744073709551615 00"),
         "packet 1: a kxctl-part note"},
        {"part past the end", kSection + kInterface + packet("kxctl-part 44 0000"),
         "packet 1: a kxctl-part note lies beyond the message's 45 bytes"},
        {"packet longer than a message", kSection + kInterface + packet("", 0x10000),
         "packet 1: its lengths (4 captured of 65536)"},
        {"lengths disagree", kSection + block(1, std::string(8, '\0'), 24),
         "block 2: its two lengths disagree"},
        {"block cut short", kSection + kInterface.substr(0, 10), "block 2: cut short"},
        {"huge block", kSection + le32(1) + le32(0xFFFFFFF0), "block 2: a length of 4294967280"},
        {"deep JSON", "{\"hex\":" + std::string(100000, '[') + std::string(100000, ']') + "}\n",
         "line 1: not a message: nested deeper than 16 levels"},
        {"JSON message over 64 KiB", "\n{\"hex\":\"" + std::string(2 * 70000, '0') + "\"}\n",
         "line 2: not a message: a message of 70000 bytes"},
        {"JSON without bytes", "{\"code\":\"cv\"}\n", "line 1: not a message: no \"hex\""},
        {"JSON part offset wraps",
         "{\"size\":8,\"parts\":[{\"offset\":65535,\"hex\":\"0000\"}]}\n",
         "line 1: not a message: a part lies beyond"},
        {"empty JSON part past the end",
         "{\"size\":128,\"parts\":[{\"offset\":0,\"hex\":\"15\"},{\"offset\":224,\"hex\":\"\"}]}\n",
         "line 1: not a message: a part lies beyond the message's 128 bytes"},
    };
    for (const Hostile &c : cases) {
        Read r = readText(c.input);
        ASSERT_EQ(r.refusals.size(), 1u) << c.name;
        EXPECT_NE(r.refusals[0].find(c.refusal), std::string::npos) << c.name << ": "
                                                                       << r.refusals[0];
        for (const auto &t : r.messages)
            EXPECT_LE(t.raw.size(), kxmsg::kLongestMessage) << c.name;
    }
}

// The SU command (45 bytes): header, code, empty arguments, source,
// destination, end, each element spare byte, 16-bit length, type.
const std::string kSuspend = std::string("002d000a") + "0000024153550000004200000a44" +
                             "2f746f5f63616d657261" + "00000943" + "2f746f5f6b786e6574" +
                             "0000" + "00ee";

TEST(KxmsgReader, OneLongLineOfHexIsCutByItsTotals)
{
    const std::string &su = kSuspend;
    ASSERT_EQ(su.size(), 90u);
    std::string line;
    for (int i = 0; i < 20000; ++i)
        line += su;
    Read r = readText(line + "\n");
    ASSERT_EQ(r.messages.size(), 20000u);
    EXPECT_EQ(r.messages.back().raw.size(), 45u);
    EXPECT_EQ(r.messages.back().from, kxmsg::From::hex);
    // A header whose total cannot cut (below 4) gives messages of the
    // longest length, never one of everything.
    Read z = readText(std::string(2 * 200000, '0') + "\n");
    ASSERT_FALSE(z.messages.empty());
    for (const auto &t : z.messages)
        EXPECT_LE(t.raw.size(), kxmsg::kLongestMessage);
}

} // namespace
