// The simulated camera's command table, called directly: lookup, argument
// bounds, response bytes and log lines of every row, and the reports of
// the checks that the simulator makes on behalf of named functions.
#include "camCommand.h"
#include "kxLog.h"
#include "kxRedIro.h"
#include "kxtest.h"
#include "kxwire.h"

#include <functional>
#include <gtest/gtest.h>
#include <regex>

namespace {

using kxtest::Bytes;
using kxtest::hex;
using Lines = std::vector<std::string>;

struct Answer {
    int length;
    Bytes bytes;
    Lines log; // standard output, without timestamp and location
};

// Runs a command through the table at log level 40 (handler lines on).
Answer dispatch(const Bytes &code, const Bytes &arg = {}, uint32_t level = 40)
{
    g_debug_level = level | KX_DBG_STDOUT;
    uint8_t resp[1500];
    kxtest::FdCapture cap;
    int n = CAdispatch(resp, sizeof resp, reinterpret_cast<const uint8_t *>(arg.data()),
                       static_cast<unsigned>(arg.size()),
                       CAcommandIndex(reinterpret_cast<const uint8_t *>(code.data())));
    Answer a{n, n > 0 ? Bytes(reinterpret_cast<char *>(resp), static_cast<size_t>(n)) : "", {}};
    static const std::regex location(R"(^\S+ \S+ \[\s*\w+:\s*\d+\] )");
    for (const auto &line : kxtest::splitLines(cap.stop()))
        a.log.push_back(std::regex_replace(line, location, ""));
    return a;
}

class CamCommand : public ::testing::Test {
protected:
    void SetUp() override { kxtest::syslogDrain(0); }
    void TearDown() override
    {
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_debug = KX_DEBUG_INIT;
        g_caMode = 0;
    }
};

struct Row {
    const char *code;
    unsigned minLen; // the valid argument is maxLen bytes long
    Bytes arg;
    Bytes answer; // empty: none at all
    Lines log;
};

// In table order; "CM" sets the mode 7 that "SH" then reports. The "lc"
// row answers with the canvas as it is after DrawTarget(0).
std::vector<Row> tableRows()
{
    const Bytes timings = hex("00 01 00 02 00 20 00 07");
    DrawTarget(0);
    const Bytes canvas(reinterpret_cast<const char *>(g_canvas), KX_CANVAS_SIZE);
    return {
        {"DB", 0, hex("30 00 00 40 01 00 00 00"), {},
         {"CAsetDB: g_debug_level = 0x40000028 -> 0x40000030",
          "CAsetDB: g_debug       = 0x30000000 -> 0x00000001"}},
        {"cm", 0, {}, hex("00 00"), {"CAgetCM:"}},
        {"cv", 0, {}, hex("00 02 10 09") + "v01.01.01" + hex("0B") + "LINDEN_VALE", {"CAgetCV:"}},
        {"lc", 1, hex("07"), hex("00 07") + canvas, {}},
        {"pv", 0, {}, hex("00 00"), {"CAgetPV:"}},
        {"se", 0, {}, hex("00 00") + Bytes(19, '\0') + timings + hex("00 00"), {}},
        {"st", 0, {}, hex("00 00 00 00 00"), {"CAgetST:"}},
        {"tm", 0, {}, hex("01"), {"CAgetTM:"}},
        {"um", 0, {}, hex("00 01"), {"CAgetUM:"}},
        {"vs", 0, {}, hex("00 02"), {"CAgetVS:"}},
        {"sh", 0, {}, hex("00 00"), {"CAgetSH:"}},
        {"sx", 0, {}, hex("00 00 00 00 00 05") + Bytes(12, '\0') + hex("80 0A 01") + timings +
                          Bytes(27, '\0'), {"CAgetSX:"}},
        {"cc", 0, {}, Bytes(32, '\0'), {"CAgetCC:"}},
        {"CM", 1, hex("07"), hex("00 07"), {"CAsetCM: 0x7"}},
        {"PV", 1, hex("09"), hex("00 01"), {"CAsetPV:"}},
        {"TM", 7, hex("01 02 03 04 05 06 07"), hex("00"), {"CAsetTM:"}},
        {"UM", 1, hex("AB"), hex("00 AB"), {"CAsetUM:"}},
        {"SH", 1, hex("05"), hex("00 07"), {"CAsetSH: 0x5"}},
        {"PW", 1, hex("01"), hex("00"), {"CAsetPW:"}},
        {"OO", 1, hex("01"), hex("00"), {"CAsetOO:"}},
        {"IT", 1, hex("44"), hex("00"), {}},
        {"HR", 0, {}, hex("00"), {"CAsetHR: RIVEDE says HELLO, I am ready."}},
        {"SU", 0, {}, hex("00"), {"CAsetSU: RIVEDE says ready to suspend."}},
        {"??", 0, Bytes(1500, 'x'), hex("01"), {"CAgetDefault:"}},
    };
}

TEST_F(CamCommand, EveryRowOfTheTable)
{
    const std::vector<Row> rows = tableRows();
    ASSERT_EQ(rows.size(), size_t{KX_CA_COMMANDS});
    for (int i = 0; i < KX_CA_COMMANDS; ++i) {
        const Row &r = rows[i];
        SCOPED_TRACE(r.code);
        EXPECT_EQ(CAcommandIndex(reinterpret_cast<const uint8_t *>(r.code)), i);
        // Lengths outside the row are refused before the handler runs.
        Answer tooLong = dispatch(r.code, r.arg + "x");
        EXPECT_EQ(tooLong.bytes, hex("01"));
        EXPECT_EQ(tooLong.log, Lines{});
        if (r.minLen > 0) {
            EXPECT_EQ(dispatch(r.code, r.arg.substr(0, r.minLen - 1)).bytes, hex("01"));
        }
        Answer a = dispatch(r.code, r.arg);
        EXPECT_EQ(kxtest::toHex(a.bytes), kxtest::toHex(r.answer));
        EXPECT_EQ(a.length < 0, r.answer.empty());
        EXPECT_EQ(a.log, r.log);
    }
    EXPECT_EQ(g_caMode, 7) << "refused CM changed nothing";
    EXPECT_EQ(g_debug, 1u);
}

TEST_F(CamCommand, KeysOutsideTheTableAndAnIndexPastIt)
{
    for (const char *unknown : {"Bc", "tt", "ss", "Cm"}) // "tt", "ss" straddle two codes
        EXPECT_EQ(CAcommandIndex(reinterpret_cast<const uint8_t *>(unknown)), 23) << unknown;
    const uint8_t shortKey[] = {'c', 0}; // a zero ends the key
    EXPECT_EQ(CAcommandIndex(shortKey), 1);
    uint8_t resp[4] = {};
    EXPECT_EQ(CAdispatch(resp, sizeof resp, resp, 0, 24), 1);
    EXPECT_EQ(resp[0], 0x01);
}

// Two selectors of three bits, TCP in the low nibble: 4 unchanged, else 2
// long, else 1 short. The second line of "DB" is judged by the new level.
TEST_F(CamCommand, TimeoutSelectorsAndDebugWordsAreLoggedInTheirOrder)
{
    const std::pair<const char *, Lines> cases[] = {
        {"\x12", {"CAsetIT: TCP long timeout", "CAsetIT: UDP short timeout"}},
        {"\x21", {"CAsetIT: TCP short timeout", "CAsetIT: UDP long timeout"}},
        {"\x03", {"CAsetIT: TCP long timeout"}},
        {"\x44", {}},
    };
    for (const auto &[arg, log] : cases)
        EXPECT_EQ(dispatch("IT", arg).log, log) << int(arg[0]);
    EXPECT_EQ(dispatch("cm", {}, 39).log, Lines{}) << "handler lines need a level above 39";
    Answer a = dispatch("DB", hex("05 00 00 40 01 02 03 04"), 0x10);
    EXPECT_EQ(a.log, Lines{"CAsetDB: g_debug_level = 0x40000010 -> 0x40000005"});
    EXPECT_EQ(g_debug, 0x04030201u);
}

// Each report names the function that the check belongs to and that
// function's module. No "/to_kxnet" exists here, so every mailing fails at
// its open. An element whose type byte is void is not found.
TEST_F(CamCommand, ReportsNameTheCheckingFunctionAndItsModule)
{
    auto simulate = [](size_t voidAt, unsigned size = 1500) {
        return [voidAt, size] {
            Bytes msg = kxtest::command("cm"); // type bytes: B 13, D 17, C 31
            int len = static_cast<int>(msg.size());
            if (voidAt != 0)
                msg[voidAt] = 'W';
            msg.resize(1500);
            cameraSimulator(reinterpret_cast<uint8_t *>(msg.data()), len, size);
        };
    };
    const std::string daemon = "kxRedIro/src/kxRedIro\\.cpp";
    const std::string open = "kxMbox_txopen\\(KXMBOXtoKXNET, &txqToKXnet\\) == 0";
    const struct {
        std::function<void()> body;
        std::string file, function, condition;
    } cases[] = {
        {[] { CAsendSU(); }, "kxRedIro/src/camCommand\\.cpp", "CAsendSU", open},
        {simulate(0), daemon, "cameraSimulator", open},
        {simulate(13), daemon, "cameraSimulator", "tlvarg != NULL"},
        {simulate(17), daemon, "cameraSimulator", "tlvsrc != NULL"},
        {simulate(31), daemon, "cameraSimulator", "tlvdst != NULL"},
        // Room for the response element (45 - 4 + 6) but not for the end.
        {simulate(0, 48), daemon, "cameraSimulator", "0 == tlv_validate\\(ibuf\\)"},
    };
    for (const auto &c : cases)
        kxtest::expectAssertion(c.body, c.file, c.function, c.condition);
}

} // namespace
