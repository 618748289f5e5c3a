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
using kxtest::toHex;

int pixelCount(const Bytes &canvas)
{
    int n = 0;
    for (unsigned char b : canvas)
        n += std::popcount(b);
    return n;
}

// The camera's own "LC" command: type 10, code, the canvas, from "/to_wif".
Bytes expectCanvasCommand(const Bytes &msg, int pixels)
{
    EXPECT_EQ(msg.size(), 642u);
    EXPECT_EQ(toHex(msg.substr(0, 4)), "02 82 00 0A");
    EXPECT_EQ(toHex(msg.substr(msg.size() - 4)), "00 00 00 EE");
    EXPECT_EQ(kxtest::valueOf(msg, 'A'), "LC");
    EXPECT_EQ(kxtest::valueOf(msg, 'D'), "/to_wif");
    EXPECT_EQ(kxtest::valueOf(msg, 'C'), "/to_kxnet");
    Bytes canvas = kxtest::valueOf(msg, 'B').value_or("");
    EXPECT_EQ(pixelCount(canvas), pixels);
    return canvas;
}

bool syslogHas(const std::string &pattern)
{
    const std::regex re(pattern);
    for (const auto &line : kxtest::syslogDrain())
        if (std::regex_search(line.message, re))
            return true;
    return false;
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

    Bytes next()
    {
        auto msg = kxtest::take("/to_kxnet");
        EXPECT_TRUE(msg) << "no message on /to_kxnet";
        return msg.value_or(Bytes{});
    }
    // Sends a command and returns the response payload.
    Bytes ask(const Bytes &code, const Bytes &argsBytes = {})
    {
        EXPECT_TRUE(kxtest::post("/to_camera", command(code, argsBytes)));
        return kxtest::valueOf(next(), 'E').value_or("none");
    }
    bool quiet(int ms = 200) { return !kxtest::take("/to_kxnet", ms); }

    kxtest::Daemon daemon;
};

TEST_F(Simulator, WorkedExampleThenTheCameraStateAndAStaleBuffer)
{
    ASSERT_TRUE(kxtest::post("/to_camera", hex("00 2D 00 0A 00 00 02 41") + "cm" +
                                               hex("00 00 00 42 00 00 0A 44") + "/to_camera" +
                                               hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE")));
    EXPECT_EQ(toHex(next()), toHex(hex("00 33 00 0B 00 00 02 41") + "cm" + hex("00 00 00 42 00 00 0A 43") +
                                   "/to_camera" + hex("00 00 09 44") + "/to_kxnet" +
                                   hex("00 00 02 45 00 00 00 00 00 EE")));
    Bytes canvas = expectCanvasCommand(next(), 201); // drawn at start-up, still pending
    EXPECT_EQ(toHex(canvas.substr(40 * 8, 8)), "00 00 1F FF FF C0 00 00");
    EXPECT_EQ(toHex(canvas.substr(29 * 8, 8)), "00 00 00 1F C0 00 00 00");

    EXPECT_EQ(ask("CM", hex("07")), hex("00 07"));
    EXPECT_EQ(next().size(), 642u);
    EXPECT_EQ(ask("cm"), hex("00 07"));
    EXPECT_EQ(ask("st"), hex("00 07 00 00 00"));
    EXPECT_EQ(ask("CM", hex("01 02")), hex("01")) << "refused, the mode stays";
    EXPECT_EQ(ask("cm"), hex("00 07"));
    EXPECT_TRUE(quiet()) << "no canvas without a redraw";

    // Power 2 steps the mode 3 -> 4 -> 0, and any mode above 4 to 0.
    const std::tuple<const char *, const char *, int, const char *> steps[] = {
        {"CM", "03", 265, "00 03"}, {"PW", "02", 285, "00 04"}, {"PW", "02", 201, "00 00"},
        {"CM", "C8", 134, "00 C8"}, {"PW", "02", 201, "00 00"},
    };
    for (const auto &[code, arg, pixels, mode] : steps) {
        ask(code, hex(arg));
        canvas = expectCanvasCommand(next(), pixels);
        EXPECT_EQ(ask("cm"), hex(mode)) << code << " " << arg;
    }

    // Power 0: the camera's "SU" first, then the answer; nothing redrawn.
    ASSERT_TRUE(kxtest::post("/to_camera", command("PW", hex("00"))));
    EXPECT_EQ(toHex(next()), toHex(hex("00 2D 00 0A 00 00 02 41") + "SU" + hex("00 00 00 42 00 00 0A 44") +
                                   "/to_camera" + hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE")));
    EXPECT_EQ(kxtest::valueOf(next(), 'E'), hex("00"));
    EXPECT_EQ(ask("lc", hex("07")), hex("00 07") + canvas);
    EXPECT_TRUE(quiet());

    // The answer to "cv" grew in the daemon's buffer; an empty message
    // after it is judged alone, as on a fresh daemon, and ends it.
    ask("cv");
    ASSERT_TRUE(kxtest::post("/to_camera", ""));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(quiet());
    EXPECT_TRUE(syslogHas("^\033\\[31mASSERT:kxRedIro/src/kxRedIro\\.cpp/main:[0-9]+:"
                          "0 == tlv_validate\\(ibuf\\)\n\033\\[0m$"));
}

// "DB" turns the trace of answers on, in full length. A command followed
// by zeros up to 1500 bytes is answered with as many bytes past the
// answer: more than a mailbox takes, which ends the daemon, and the trace
// dumps no more than the buffer holds.
TEST_F(Simulator, DebugWordsTurnTheTraceOnAndAnOverlongAnswerEndsTheDaemon)
{
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 17 28 80 00 00 80 30"))));
    EXPECT_TRUE(quiet()) << "never answered";
    std::vector<std::string> words;
    for (const auto &line : kxtest::syslogDrain())
        if (line.message.find("CAsetDB: g_debug") != std::string::npos)
            words.push_back(line.message.substr(line.message.rfind("CAsetDB:")));
    EXPECT_EQ(words, (std::vector<std::string>{"CAsetDB: g_debug_level = 0x80281420 -> 0x80281720\n",
                                               "CAsetDB: g_debug       = 0x30000000 -> 0x30800000\n"}));

    Bytes lc = command("lc", hex("07"));
    ASSERT_EQ(lc.size(), 46u);
    ASSERT_TRUE(kxtest::post("/to_camera", lc + Bytes(1500 - lc.size(), '\0')));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(quiet());
    bool lastLine = false, beyond = false, reported = false;
    for (const auto &line : kxtest::syslogDrain()) {
        lastLine |= line.message.rfind("        <RT 000005d0  ", 0) == 0;
        beyond |= line.message.rfind("        <RT 000005e0  ", 0) == 0;
        reported |= std::regex_match(line.message, std::regex("\033\\[31mASSERT:libkxCommon/src/kxMbox\\.cpp/"
                                                              "kxMbox_send:[0-9]+:len <= KXMSG_MAX\n\033\\[0m"));
    }
    EXPECT_TRUE(lastLine && !beyond) << "the dump ends with the buffer";
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
    EXPECT_EQ(ask("cm"), hex("00 00"));
    expectCanvasCommand(next(), 201);
    EXPECT_FALSE(camera.receive(200));

    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 14 28 00 00 00 00 30"))));
    ASSERT_TRUE(kxtest::post("/to_camera", command("st")));
    EXPECT_EQ(camera.receive(), command("st"));
    EXPECT_TRUE(quiet());
}

} // namespace
