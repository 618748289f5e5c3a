// kxctl --json: one object a line that a JSON parser reads back, with
// numbers as numbers, a wall-clock time, and every byte kept.
#include "kxctltest.h"

#include <regex>

namespace {

using namespace kxctltest;
using kxtest::hex;

// The message again, from its header fields and elements.
Bytes rebuild(const json &m)
{
    std::vector<Bytes> elements;
    for (const auto &e : m["elements"]) {
        Bytes value = hex(e["value"].get<std::string>());
        EXPECT_EQ(e["length"], value.size());
        elements.push_back(kxtest::element(e["type"].get<uint8_t>(), value));
    }
    return kxtest::message(m["type"].get<uint8_t>(), elements);
}

class KxctlJson : public KxctlTest {};

TEST_F(KxctlJson, EveryLineParsesWithTypedFields)
{
    startDaemon({"-s"});
    double before = static_cast<double>(time(nullptr));
    auto r = kxctl({"call", "cv", "--json", "-v"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << "the command sent, then its response";
    const std::regex hexText("^([0-9a-f]{2})*$");
    for (const json &m : lines) {
        EXPECT_TRUE(m["length"].is_number_integer());
        EXPECT_TRUE(m["type"].is_number_integer());
        ASSERT_TRUE(m["time"].is_number());
        EXPECT_GE(m["time"].get<double>(), before - 1);
        EXPECT_LE(m["time"].get<double>(), before + 60);
        EXPECT_TRUE(std::regex_match(m["hex"].get<std::string>(), hexText));
        EXPECT_TRUE(std::regex_match(m["args"].get<std::string>(), hexText));
        EXPECT_EQ(lowerHex(rebuild(m)), m["hex"]) << "the elements are the whole message";
    }
    EXPECT_EQ(lines[0]["direction"], "out");
    EXPECT_EQ(lines[0]["channel"], "/to_camera");
    EXPECT_EQ(lines[0]["hex"], lowerHex(kxtest::command("cv")));
    EXPECT_EQ(lines[1]["direction"], "in");
    EXPECT_EQ(lines[1]["length"], 45 + 4 + 25);
}

TEST_F(KxctlJson, BytesThatAreNotTextStayHex)
{
    Bytes odd =
        kxtest::message(10, {kxtest::element('A', hex("01 FF")), kxtest::element('B', "\"\\"),
                             kxtest::element(0x99, hex("00 80")), kxtest::element(0xEE, {})});
    auto r = kxctl({"--json", "decode"}, kxtest::toHex(odd));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0]["code"].is_null());
    EXPECT_TRUE(lines[0]["source"].is_null());
    EXPECT_EQ(lines[0]["args"], "225c");
    EXPECT_EQ(lowerHex(rebuild(lines[0])), lowerHex(odd));
}

} // namespace
