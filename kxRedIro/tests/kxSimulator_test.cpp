// The simulated camera, end to end: commands go into "/to_camera" of the
// real daemon, started with -s in the test's private namespaces, and the
// answers are read from "/to_kxnet" as the network daemon reads them.
#include "kxdaemon.h"
#include "kxtest.h"
#include "kxwire.h"

#include <bit>
#include <gtest/gtest.h>
#include <regex>

namespace {

using kxtest::Bytes;
using kxtest::command;
using kxtest::hex;
using kxtest::response;
using kxtest::toHex;

constexpr size_t kCanvasBytes = 600;

int pixelCount(const Bytes &canvas)
{
    int n = 0;
    for (unsigned char b : canvas)
        n += std::popcount(b);
    return n;
}

// The camera's own "LC" command: type 10, code, the canvas, from "/to_wif".
void expectCanvasCommand(const Bytes &msg, int pixels)
{
    ASSERT_EQ(msg.size(), 642u);
    EXPECT_EQ(toHex(msg.substr(0, 4)), "02 82 00 0A");
    EXPECT_EQ(toHex(msg.substr(638)), "00 00 00 EE");
    EXPECT_EQ(kxtest::valueOf(msg, 'A'), "LC");
    EXPECT_EQ(kxtest::valueOf(msg, 'D'), "/to_wif");
    EXPECT_EQ(kxtest::valueOf(msg, 'C'), "/to_kxnet");
    auto canvas = kxtest::valueOf(msg, 'B');
    ASSERT_TRUE(canvas);
    EXPECT_EQ(pixelCount(*canvas), pixels);
}

class Simulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        kxtest::syslogDrain(0);
        std::string ipcDir = kxtest::freshIpcDir();
        setenv("KXIPC_DIR", ipcDir.c_str(), 1); // for the camera side in the test
        ASSERT_EQ(daemon.start(args(), {"KXIPC_DIR=" + ipcDir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    }
    virtual std::vector<std::string> args() { return {"-s"}; }

    // Sends a command and returns the next message on "/to_kxnet".
    Bytes ask(const Bytes &code, const Bytes &argsBytes = {})
    {
        EXPECT_TRUE(kxtest::post("/to_camera", command(code, argsBytes)));
        return next();
    }
    Bytes next()
    {
        auto msg = kxtest::take("/to_kxnet");
        EXPECT_TRUE(msg) << "no message on /to_kxnet";
        return msg.value_or(Bytes{});
    }
    bool quiet(int ms = 200) { return !kxtest::take("/to_kxnet", ms); }
    // The first answer after start-up brings the start-up canvas.
    void takeStartupCanvas()
    {
        ask("pv");
        expectCanvasCommand(next(), 201);
    }

    kxtest::Daemon daemon;
};

TEST_F(Simulator, WorkedModeQueryExampleByteForByte)
{
    Bytes cmd = hex("00 2D 00 0A 00 00 02 41") + "cm" + hex("00 00 00 42 00 00 0A 44") + "/to_camera" +
                hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE");
    ASSERT_EQ(cmd, command("cm"));
    ASSERT_TRUE(kxtest::post("/to_camera", cmd));
    Bytes expected = hex("00 33 00 0B 00 00 02 41") + "cm" + hex("00 00 00 42 00 00 0A 43") +
                     "/to_camera" + hex("00 00 09 44") + "/to_kxnet" + hex("00 00 02 45 00 00") +
                     hex("00 00 00 EE");
    EXPECT_EQ(toHex(next()), toHex(expected));
    expectCanvasCommand(next(), 201); // the start-up canvas is pending
    EXPECT_TRUE(quiet());
}

struct Case {
    const char *code;
    Bytes args;
    Bytes answer;
};

TEST_F(Simulator, EveryCommandAnswersItsBytes)
{
    takeStartupCanvas();
    const Bytes z19(19, '\0');
    const Bytes timings = hex("00 01 00 02 00 20 00 07");
    const std::vector<Case> cases = {
        {"cm", {}, hex("00 00")},
        {"cv", {}, hex("00 02 10 09") + "v01.01.01" + hex("0B") + "LINDEN_VALE"},
        {"pv", {}, hex("00 00")},
        {"se", {}, hex("00 00") + z19 + timings + hex("00 00")},
        {"st", {}, hex("00 00 00 00 00")},
        {"tm", {}, hex("01")},
        {"um", {}, hex("00 01")},
        {"vs", {}, hex("00 02")},
        {"sh", {}, hex("00 00")},
        {"sx", {}, hex("00 00 00 00 00 05") + Bytes(12, '\0') + hex("80 0A 01") + timings + Bytes(27, '\0')},
        {"cc", {}, Bytes(32, '\0')},
        {"PV", hex("09"), hex("00 01")},
        {"TM", hex("01 02 03 04 05 06 07"), hex("00")},
        {"UM", hex("AB"), hex("00 AB")},
        {"SH", hex("05"), hex("00 00")},
        {"PW", hex("01"), hex("00")},
        {"OO", hex("01"), hex("00")},
        {"IT", hex("12"), hex("00")},
        {"HR", {}, hex("00")},
        {"SU", {}, hex("00")},
        {"??", {}, hex("01")},
        {"Cm", {}, hex("01")},
        {"zz", Bytes(300, 'x'), hex("01")},
    };
    for (const auto &c : cases) {
        Bytes answer = ask(c.code, c.args);
        EXPECT_EQ(toHex(answer), toHex(response(c.code, c.args, c.answer))) << c.code;
    }
    EXPECT_EQ(cases[3].answer.size(), 31u);
    EXPECT_EQ(cases[9].answer.size(), 56u);
    EXPECT_EQ(cases[1].answer.size(), 25u);
    EXPECT_TRUE(quiet()) << "no canvas without a redraw";
}

TEST_F(Simulator, CanvasQueryReturnsTheCanvasAfterItsArgument)
{
    Bytes answer = ask("lc", hex("07"));
    auto payload = kxtest::valueOf(answer, 'E');
    ASSERT_TRUE(payload);
    ASSERT_EQ(payload->size(), 2 + kCanvasBytes);
    EXPECT_EQ(toHex(payload->substr(0, 2)), "00 07");
    Bytes canvas = payload->substr(2);
    EXPECT_EQ(pixelCount(canvas), 201);
    EXPECT_EQ(toHex(canvas.substr(40 * 8, 8)), "00 00 1F FF FF C0 00 00");
    EXPECT_EQ(toHex(canvas.substr(29 * 8, 8)), "00 00 00 1F C0 00 00 00");
    // The pending start-up canvas follows, and is the same picture.
    Bytes lc = next();
    expectCanvasCommand(lc, 201);
    EXPECT_EQ(kxtest::valueOf(lc, 'B'), canvas);
}

TEST_F(Simulator, ModeChangesRedrawAndSendTheCanvasOnce)
{
    takeStartupCanvas();
    EXPECT_EQ(kxtest::valueOf(ask("CM", hex("07")), 'E'), hex("00 07"));
    Bytes lc = next();
    ASSERT_EQ(lc.size(), 642u);
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 07"));
    EXPECT_EQ(kxtest::valueOf(ask("st"), 'E'), hex("00 07 00 00 00"));
    EXPECT_EQ(kxtest::valueOf(ask("SH", hex("05")), 'E'), hex("00 07"));
    EXPECT_EQ(kxtest::valueOf(ask("sh"), 'E'), hex("00 00"));
    EXPECT_TRUE(quiet());

    // Power 2 steps the mode 3 -> 4 -> 0, redrawing each time.
    ask("CM", hex("03"));
    expectCanvasCommand(next(), 265);
    EXPECT_EQ(kxtest::valueOf(ask("PW", hex("02")), 'E'), hex("00"));
    expectCanvasCommand(next(), 285);
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 04"));
    ask("PW", hex("02"));
    expectCanvasCommand(next(), 201);
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 00"));
    ask("CM", hex("C8"));
    next();
    ask("PW", hex("02"));
    next();
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 00"));
    EXPECT_TRUE(quiet());
}

TEST_F(Simulator, PowerZeroSendsSuspendBeforeItsAnswer)
{
    takeStartupCanvas();
    Bytes su = ask("PW", hex("00"));
    EXPECT_EQ(toHex(su), toHex(hex("00 2D 00 0A 00 00 02 41") + "SU" + hex("00 00 00 42 00 00 0A 44") +
                                 "/to_camera" + hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE")));
    EXPECT_EQ(toHex(next()), toHex(response("PW", hex("00"), hex("00"))));
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 00"));
    EXPECT_TRUE(quiet()) << "mode and canvas unchanged";
}

TEST_F(Simulator, ArgumentLengthsOutsideTheTableAreRefused)
{
    takeStartupCanvas();
    EXPECT_EQ(kxtest::valueOf(ask("CM", hex("01 02")), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("cm", hex("01")), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("TM", hex("01 02 03 04 05 06")), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("lc"), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("DB", Bytes(9, '\0')), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 00")) << "the refused CM changed nothing";
    EXPECT_TRUE(quiet());
}

TEST_F(Simulator, CodesAreMatchedOnlyAtTheirOwnPositions)
{
    takeStartupCanvas();
    EXPECT_EQ(kxtest::valueOf(ask("vs"), 'E'), hex("00 02")); // first seen across "pv" "se"
    EXPECT_EQ(kxtest::valueOf(ask("tt"), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("ss"), 'E'), hex("01"));
    EXPECT_EQ(kxtest::valueOf(ask("Bc"), 'E'), hex("01"));
}

TEST_F(Simulator, DebugCommandIsNeverAnswered)
{
    takeStartupCanvas();
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 14 28 80 00 00 00 30"))));
    EXPECT_TRUE(quiet());
    // Bit 0x40000000 (standard output) off, level 0x20: the new words are
    // announced on syslog by the old level's rules and then the new one.
    auto lines = kxtest::syslogDrain();
    std::vector<std::string> words;
    for (const auto &line : lines)
        if (line.message.find("CAsetDB: g_debug") != std::string::npos)
            words.push_back(line.message.substr(line.message.rfind("CAsetDB:")));
    EXPECT_EQ(words, (std::vector<std::string>{
                         "CAsetDB: g_debug_level = 0x80281420 -> 0x80281420\n",
                         "CAsetDB: g_debug       = 0x30000000 -> 0x30000000\n"}));
}

// The answer to "cv" grew in the daemon's buffer; an empty message after
// it is judged alone, as on a fresh daemon, and ends it.
TEST_F(Simulator, EmptyMessageAfterACommandEndsTheDaemon)
{
    takeStartupCanvas();
    ask("cv");
    ASSERT_TRUE(kxtest::post("/to_camera", ""));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(quiet());
    const std::regex report("\033\\[31mASSERT:kxRedIro/src/kxRedIro\\.cpp/main:[0-9]+:"
                            "0 == tlv_validate\\(ibuf\\)\n\033\\[0m");
    bool reported = false;
    for (const auto &line : kxtest::syslogDrain())
        reported |= std::regex_match(line.message, report);
    EXPECT_TRUE(reported);
}

class RelayingDaemon : public Simulator {
protected:
    std::vector<std::string> args() override { return {}; }
};

TEST_F(RelayingDaemon, DebugCommandSwitchesSimulatorModeAtRunTime)
{
    kxtest::Camera camera("wifibt");
    ASSERT_TRUE(camera.ok());
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    EXPECT_EQ(camera.receive(), command("cm")) << "relayed while the simulator is off";

    // Little-endian words: level 0x80281420 (simulator on), debug unchanged.
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 14 28 80 00 00 00 30"))));
    EXPECT_EQ(kxtest::valueOf(ask("cm"), 'E'), hex("00 00"));
    expectCanvasCommand(next(), 201);
    EXPECT_FALSE(camera.receive(200));

    // Short arguments: the missing bytes count as zero, so level 0x00281420.
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 14 28"))));
    ASSERT_TRUE(kxtest::post("/to_camera", command("st")));
    EXPECT_EQ(camera.receive(), command("st"));
    EXPECT_TRUE(quiet());
}

} // namespace
