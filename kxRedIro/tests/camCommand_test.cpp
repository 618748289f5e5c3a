// The simulated camera's command table, called directly: lookup, argument
// bounds, response bytes and log lines of every row, and the reports of
// the checks that the simulator makes on behalf of named functions.
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

using kxtest::Bytes;
using kxtest::hex;
using Lines = std::vector<std::string>;

constexpr uint32_t kStdout = 0x40000000;

struct Answer {
    int length;
    Bytes bytes;
    Lines log; // standard output, without timestamp and location
};

// Runs a command through the table at log level 40 (handler lines on).
Answer dispatch(const Bytes &code, const Bytes &arg = {}, uint32_t level = 40)
{
    g_debug_level = level | kStdout;
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

TEST_F(CamCommand, EveryRowOfTheTable)
{
    const Bytes timings = hex("00 01 00 02 00 20 00 07");
    DrawTarget(0);
    const Bytes canvas(reinterpret_cast<const char *>(g_canvas), KX_CANVAS_SIZE);
    // In table order; "CM" sets the mode 7 that "SH" then reports.
    const Row rows[] = {
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
    static_assert(std::size(rows) == KX_CA_COMMANDS);
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
        // A small response buffer is never overrun.
        uint8_t small[8];
        memset(small, 0xA5, sizeof small);
        EXPECT_LE(CAdispatch(small, 4, reinterpret_cast<const uint8_t *>(r.arg.data()),
                             static_cast<unsigned>(r.arg.size()), i), 4);
        EXPECT_EQ(Bytes(reinterpret_cast<char *>(small) + 4, 4), Bytes(4, '\xA5'));
    }
    EXPECT_EQ(g_caMode, 7) << "refused CM changed nothing";
    EXPECT_EQ(g_debug, 1u);
    for (const char *unknown : {"Bc", "tt", "ss", "mc", "Cm", "xx", "cM"})
        EXPECT_EQ(CAcommandIndex(reinterpret_cast<const uint8_t *>(unknown)), 23) << unknown;
    const uint8_t shortKey[] = {'c', 0}; // a zero ends the key
    EXPECT_EQ(CAcommandIndex(shortKey), 1);
    uint8_t resp[4] = {};
    EXPECT_EQ(CAdispatch(resp, sizeof resp, resp, 0, 24), 1);
    EXPECT_EQ(resp[0], 0x01);
}

TEST_F(CamCommand, TimeoutSelectorsAreLoggedTcpFirst)
{
    const std::pair<const char *, Lines> cases[] = {
        {"\x12", {"CAsetIT: TCP long timeout", "CAsetIT: UDP short timeout"}},
        {"\x21", {"CAsetIT: TCP short timeout", "CAsetIT: UDP long timeout"}},
        {"\x03", {"CAsetIT: TCP long timeout"}},
        {"\x30", {"CAsetIT: UDP long timeout"}},
        {"\x44", {}},
        {"\x88", {}},
    };
    for (const auto &[arg, log] : cases)
        EXPECT_EQ(dispatch("IT", arg).log, log) << int(arg[0]);
    EXPECT_EQ(dispatch("cm", {}, 39).log, Lines{}) << "handler lines need a level above 39";
}

TEST_F(CamCommand, DebugWordsAreLittleEndianAndTheSecondLineFollowsTheNewLevel)
{
    Answer a = dispatch("DB", hex("05 00 00 40 01 02 03 04"), 0x10);
    EXPECT_EQ(a.log, Lines{"CAsetDB: g_debug_level = 0x40000010 -> 0x40000005"});
    EXPECT_EQ(g_debug, 0x04030201u);
    dispatch("DB", hex("21 00 00 40 AA"), 0x10); // missing bytes count as zero
    EXPECT_EQ(g_debug_level, 0x40000021u);
    EXPECT_EQ(g_debug, 0x000000AAu);
}

// Each report names the function that the check belongs to and that
// function's module, also where a helper checks on its behalf. No
// "/to_kxnet" exists here, so every mailing fails at its open.
TEST_F(CamCommand, ReportsNameTheCheckingFunctionAndItsModule)
{
    auto simulate = [](Bytes msg, unsigned size = 1500) {
        return [msg, size]() mutable {
            int len = static_cast<int>(msg.size());
            msg.resize(1500);
            cameraSimulator(reinterpret_cast<uint8_t *>(msg.data()), len, size);
        };
    };
    auto without = [](uint8_t type) {
        std::vector<Bytes> elements = {kxtest::element('A', "cm"), kxtest::element('B', {}),
                                       kxtest::element('D', "/to_camera"),
                                       kxtest::element('C', "/to_kxnet"), kxtest::element(0xEE, {})};
        std::erase_if(elements, [type](const Bytes &e) { return static_cast<uint8_t>(e[3]) == type; });
        return kxtest::message(10, elements);
    };
    const std::string daemon = "kxRedIro/src/kxRedIro\\.cpp";
    const std::string camera = "kxRedIro/src/camCommand\\.cpp";
    const std::string open = "kxMbox_txopen\\(KXMBOXtoKXNET, &txqToKXnet\\) == 0";
    const struct {
        std::function<void()> body;
        std::string file, function, condition;
    } cases[] = {
        {[] { CAsendLC(); }, camera, "CAsendLC", open},
        {[] { CAsendSU(); }, camera, "CAsendSU", open},
        {simulate(kxtest::command("cm")), daemon, "cameraSimulator", open},
        {simulate(without('B')), daemon, "cameraSimulator", "tlvarg != NULL"},
        {simulate(without('D')), daemon, "cameraSimulator", "tlvsrc != NULL"},
        {simulate(without('C')), daemon, "cameraSimulator", "tlvdst != NULL"},
        // Room for the response element (45 - 4 + 6) but not for the end.
        {simulate(kxtest::command("cm"), 48), daemon, "cameraSimulator", "0 == tlv_validate\\(ibuf\\)"},
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
