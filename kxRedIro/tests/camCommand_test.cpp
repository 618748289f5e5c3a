// The simulated camera's command lookup and the handlers' log lines, called
// directly (their response bytes are checked end to end through the daemon).
#include "camCommand.h"
#include "kxLog.h"
#include "kxRedIro.h"
#include "kxtest.h"
#include "kxwire.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStdout = 0x40000000;

struct Answer {
    int length;
    std::string bytes;
    std::vector<std::string> log; // standard output, without timestamp and location
};

// Runs the command's handler through the table, with handler traces on.
Answer dispatch(const char *code, const std::string &arg = {}, uint32_t level = 40)
{
    g_debug_level = level | kStdout;
    uint8_t resp[1500];
    kxtest::FdCapture cap;
    int n = CAdispatch(resp, sizeof resp, reinterpret_cast<const uint8_t *>(arg.data()),
                       static_cast<unsigned>(arg.size()),
                       CAcommandIndex(reinterpret_cast<const uint8_t *>(code)));
    Answer a{n, n > 0 ? std::string(reinterpret_cast<char *>(resp), static_cast<size_t>(n)) : "", {}};
    static const std::regex location(R"(^\S+ \S+ \[\s*\w+:\s*\d+\] )");
    for (const auto &line : kxtest::splitLines(cap.stop()))
        a.log.push_back(std::regex_replace(line, location, ""));
    return a;
}

using Lines = std::vector<std::string>;

class CamCommand : public ::testing::Test {
protected:
    void SetUp() { kxtest::syslogDrain(0); }
    void TearDown() override
    {
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_debug = KX_DEBUG_INIT;
        g_caMode = 0;
    }
};

TEST_F(CamCommand, EveryCodeFindsItsOwnIndex)
{
    const char *codes[] = {"DB", "cm", "cv", "lc", "pv", "se", "st", "tm", "um", "vs", "sh", "sx",
                           "cc", "CM", "PV", "TM", "UM", "SH", "PW", "OO", "IT", "HR", "SU", "??"};
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(CAcommandIndex(reinterpret_cast<const uint8_t *>(codes[i])), i) << codes[i];
}

TEST_F(CamCommand, CodesAcrossTwoEntriesAreUnknown)
{
    for (const char *code : {"Bc", "tt", "ss", "mc", "Cm", "xx", "cM"})
        EXPECT_EQ(CAcommandIndex(reinterpret_cast<const uint8_t *>(code)), 23) << code;
    // A zero byte ends the key: "c" alone first stands at an even place in "cm".
    const uint8_t shortKey[] = {'c', 0};
    EXPECT_EQ(CAcommandIndex(shortKey), 1);
}

TEST_F(CamCommand, TimeoutSelectorsAreLoggedTcpFirst)
{
    EXPECT_EQ(dispatch("IT", "\x12").log, (Lines{"CAsetIT: TCP long timeout", "CAsetIT: UDP short timeout"}));
    EXPECT_EQ(dispatch("IT", "\x44").log, Lines{});
    EXPECT_EQ(dispatch("IT", "\x03").log, Lines{"CAsetIT: TCP long timeout"});
    EXPECT_EQ(dispatch("IT", "\x21").log, (Lines{"CAsetIT: TCP short timeout", "CAsetIT: UDP long timeout"}));
    EXPECT_EQ(dispatch("IT", "\x88").log, Lines{}) << "bits 0x08 and 0x80 select nothing";
    EXPECT_EQ(dispatch("IT", "\x12").bytes, std::string(1, '\0'));
}

TEST_F(CamCommand, HandlersLogTheirOwnLines)
{
    EXPECT_EQ(dispatch("HR").log, Lines{"CAsetHR: RIVEDE says HELLO, I am ready."});
    EXPECT_EQ(dispatch("SU").log, Lines{"CAsetSU: RIVEDE says ready to suspend."});
    EXPECT_EQ(dispatch("SH", "\x05").log, Lines{"CAsetSH: 0x5"});
    EXPECT_EQ(dispatch("cm").log, Lines{"CAgetCM:"});
    EXPECT_EQ(dispatch("xy").log, Lines{"CAgetDefault:"});
    EXPECT_EQ(dispatch("lc", "\x01").log, Lines{}) << "the canvas query is silent";
    EXPECT_EQ(dispatch("se").log, Lines{});
    EXPECT_EQ(dispatch("cm", {}, 39).log, Lines{}) << "handler traces need a level above 39";
}

TEST_F(CamCommand, ModeSettingLogsRedrawsAndReports)
{
    g_canvasChanged = 0;
    Answer a = dispatch("CM", "\xC8");
    EXPECT_EQ(a.log.front(), "CAsetCM: 0xc8");
    EXPECT_EQ(a.bytes, std::string("\x00\xC8", 2));
    EXPECT_EQ(g_caMode, 0xC8);
    EXPECT_EQ(g_canvasChanged, 1u);
}

TEST_F(CamCommand, DebugWordsAreLittleEndianAndShortArgumentsZeroFilled)
{
    g_debug_level = 0x00000010 | kStdout;
    Answer full = dispatch("DB", std::string("\x20\x14\x28\x40\x00\x00\x00\x30", 8), 0x10);
    EXPECT_LT(full.length, 0) << "never answered";
    EXPECT_EQ(g_debug_level, 0x40281420u);
    EXPECT_EQ(g_debug, 0x30000000u);
    EXPECT_EQ(full.log, (Lines{"CAsetDB: g_debug_level = 0x40000010 -> 0x40281420",
                               "CAsetDB: g_debug       = 0x30000000 -> 0x30000000"}));

    dispatch("DB", std::string("\x21\x00\x00\x40\xAA", 5), 0x10);
    EXPECT_EQ(g_debug_level, 0x40000021u);
    EXPECT_EQ(g_debug, 0x000000AAu);
    dispatch("DB", {}, 0x10);
    EXPECT_EQ(g_debug_level, 0u);
    EXPECT_EQ(g_debug, 0u);
}

TEST_F(CamCommand, DebugWordsLineFollowsTheNewLevel)
{
    // The first line is judged by the old level (0x10: written), the second
    // by the new one (level 0x05: not written).
    Answer a = dispatch("DB", std::string("\x05\x00\x00\x40\x01\x00\x00\x00", 8), 0x10);
    EXPECT_EQ(a.log, Lines{"CAsetDB: g_debug_level = 0x40000010 -> 0x40000005"});
}

TEST_F(CamCommand, LengthsOutsideTheRowAreRefusedWithoutCallingTheHandler)
{
    Answer a = dispatch("CM", "\x01\x02");
    EXPECT_EQ(a.bytes, std::string(1, '\x01'));
    EXPECT_EQ(a.log, Lines{});
    EXPECT_EQ(g_caMode, 0);
    uint8_t resp[4] = {};
    EXPECT_EQ(CAdispatch(resp, sizeof resp, resp, 0, 24), 1);
    EXPECT_EQ(resp[0], 0x01);
    EXPECT_EQ(CAdispatch(resp, sizeof resp, resp, 0, -1), 1);
}

TEST_F(CamCommand, SmallResponseBufferIsNeverOverrun)
{
    uint8_t resp[8];
    memset(resp, 0xA5, sizeof resp);
    const uint8_t arg = 7;
    int n = CAdispatch(resp, 4, &arg, 1, CAcommandIndex(reinterpret_cast<const uint8_t *>("lc")));
    EXPECT_LE(n, 4);
    for (size_t i = 4; i < sizeof resp; ++i)
        EXPECT_EQ(resp[i], 0xA5) << i;
}

// Each report names the function that the check belongs to and that
// function's module, also where a helper checks on its behalf. No
// "/to_kxnet" exists here, so every mailing fails at its open.
TEST_F(CamCommand, ReportsNameTheCheckingFunctionAndItsModule)
{
    auto simulate = [](kxtest::Bytes msg) {
        return [msg]() mutable {
            int len = static_cast<int>(msg.size());
            msg.resize(1500);
            cameraSimulator(reinterpret_cast<uint8_t *>(msg.data()), len, 1500);
        };
    };
    const std::string daemon = "kxRedIro/src/kxRedIro\\.cpp";
    const std::string camera = "kxRedIro/src/camCommand\\.cpp";
    const std::string open = "kxMbox_txopen\\(KXMBOXtoKXNET, &txqToKXnet\\) == 0";
    const kxtest::Bytes noArgument = kxtest::message(
        10, {kxtest::element('A', "cm"), kxtest::element('D', "/to_camera"),
             kxtest::element('C', "/to_kxnet"), kxtest::element(0xEE, {})});
    const struct {
        std::function<void()> body;
        std::string file, function, condition;
    } cases[] = {
        {[] { CAsendLC(); }, camera, "CAsendLC", open},
        {[] { CAsendSU(); }, camera, "CAsendSU", open},
        {simulate(kxtest::command("cm")), daemon, "cameraSimulator", open},
        {simulate(noArgument), daemon, "cameraSimulator", "tlvarg != NULL"},
        {[] {
             uint8_t noCommand[1500] = {0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE};
             sim_and_send(noCommand, 8);
         },
         daemon, "sim_and_send", "tlvcmd != NULL"},
    };
    for (const auto &c : cases)
        kxtest::expectAssertion(c.body, c.file, c.function, c.condition);
}

} // namespace
