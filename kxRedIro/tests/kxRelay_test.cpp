// The daemon end to end, between the network daemon's mailboxes and the
// camera's real-time side of the three IPC endpoints, both played by the
// test: relaying with the simulator off, answering with it on (-s).
#include "kxdaemon.h"
#include "kxtest.h"
#include "kxwire.h"

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <regex>

namespace {

using kxtest::Bytes;
using kxtest::Camera;
using kxtest::command;
using kxtest::hex;
using kxtest::response;
using kxtest::toHex;

bool syslogHas(const std::vector<kxtest::SyslogLine> &lines, const std::string &pattern)
{
    const std::regex re(pattern);
    for (const auto &line : lines)
        if (std::regex_search(line.message, re))
            return true;
    return false;
}

// The report of a failed check of the daemon's module.
std::string report(const std::string &condition, const std::string &function = "main")
{
    return "^\033\\[31mASSERT:kxRedIro/src/kxRedIro\\.cpp/" + function + ":[0-9]+:" + condition +
           "\n\033\\[0m$";
}

class Relay : public ::testing::Test {
public: // for the rows that act on it
    void SetUp() override { kxtest::syslogDrain(0); }
    // The camera side is there before the daemon sends to it.
    void start(const std::vector<std::string> &args = {})
    {
        std::string dir = kxtest::freshIpcDir();
        setenv("KXIPC_DIR", dir.c_str(), 1);
        net = std::make_unique<Camera>("wifibt");
        wc = std::make_unique<Camera>("wifi_ctrl");
        csi = std::make_unique<Camera>("helper_task");
        daemon = std::make_unique<kxtest::Daemon>();
        ASSERT_EQ(daemon->start(args, {"KXIPC_DIR=" + dir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    }
    Bytes next() { return kxtest::take("/to_kxnet").value_or("none"); }
    // Sends a command to the simulator and returns the response payload.
    Bytes ask(const Bytes &code, const Bytes &args = {})
    {
        EXPECT_TRUE(kxtest::post("/to_camera", command(code, args)));
        return kxtest::valueOf(next(), 'E').value_or("none");
    }
    bool quiet(int ms = 200) { return !kxtest::take("/to_kxnet", ms); }
    void expectEnd(const std::string &pattern)
    {
        EXPECT_EQ(daemon->waitExit(5000), 255);
        EXPECT_TRUE(syslogHas(kxtest::syslogDrain(), pattern)) << pattern;
    }

    std::unique_ptr<Camera> net, wc, csi;
    std::unique_ptr<kxtest::Daemon> daemon;
};

TEST_F(Relay, EachMailboxToItsEndpointAndEachEndpointToKxnetUnchanged)
{
    start();
    const std::tuple<const char *, Camera *, Bytes> routes[] = {
        {"/to_camera", net.get(), command("cv")},
        {"/to_wif", wc.get(), command("LC", Bytes(600, '\x55'), "/to_wif")},
        {"/to_csi", csi.get(), command("TM", hex("01 02 03 04 05 06 07"), "/to_csi")},
    };
    for (const auto &[mailbox, camera, msg] : routes) {
        ASSERT_TRUE(kxtest::post(mailbox, msg));
        EXPECT_EQ(toHex(camera->receive().value_or("")), toHex(msg)) << mailbox;
    }
    for (auto *camera : {net.get(), wc.get(), csi.get()})
        EXPECT_FALSE(camera->receive(100)) << "sent once, to its own endpoint only";
    EXPECT_TRUE(quiet());

    Bytes answer = response("cv", {}, hex("00 02 10 09") + "v01.01.01");
    Bytes odd = kxtest::message(0x77, {kxtest::element(0x99, "any"), kxtest::element(0xEE, {})});
    for (auto *camera : {net.get(), wc.get(), csi.get()}) {
        for (const Bytes &msg : {answer, odd}) {
            ASSERT_TRUE(camera->send(msg));
            EXPECT_EQ(toHex(next()), toHex(msg));
        }
    }
}

// A short datagram after a longer, valid message is judged by its own
// bytes, as on a freshly started daemon.
TEST_F(Relay, InvalidEndpointMessagesAreReturnedOrDroppedAndJudgedAlone)
{
    start();
    // The code element claims 3 bytes: the walk misses the end element.
    Bytes bad = hex("00 12 00 0A 00 00 03 41") + "SU" + hex("00 00 00 42 00 00 00 EE");
    Bytes valid = response("st", {}, hex("00 00 00 00 00 00"));
    for (const Bytes &cut : {bad, valid.substr(0, 1), valid.substr(0, 10)}) {
        ASSERT_TRUE(net->send(valid));
        EXPECT_EQ(toHex(next()), toHex(valid));
        ASSERT_TRUE(net->send(cut));
        EXPECT_EQ(toHex(net->receive().value_or("")), toHex(cut));
        EXPECT_TRUE(quiet(100));
    }
    ASSERT_TRUE(wc->send(bad));
    EXPECT_EQ(wc->receive(), bad);
    ASSERT_TRUE(csi->send(bad));
    EXPECT_FALSE(csi->receive(200));
    EXPECT_TRUE(quiet());

    auto lines = kxtest::syslogDrain();
    for (const char *text : {"CAM", "WC", "CSI"})
        EXPECT_TRUE(syslogHas(lines, std::string("^") + text + " ipc validate failed:\n$"));
    Bytes fine = response("pv", {}, hex("00 00"));
    ASSERT_TRUE(csi->send(fine));
    EXPECT_EQ(next(), fine) << "the daemon goes on";
}

TEST_F(Relay, MailboxIsServedBeforeEndpointInTheSameCycle)
{
    start();
    kill(daemon->pid(), SIGSTOP);
    Bytes bad = hex("00 08 00 0A 00 00 00 41"); // no end element: returned
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    ASSERT_TRUE(net->send(bad));
    kill(daemon->pid(), SIGCONT);
    EXPECT_EQ(net->receive(), command("cm"));
    EXPECT_EQ(net->receive(), bad);
}

// Each row on a daemon of its own. A cut message is judged alone, also
// when the tail of an earlier, whole one is still in the daemon's buffer.
TEST_F(Relay, FailedChecksOfTheLoopEndTheDaemon)
{
    const struct {
        std::vector<std::string> args;
        std::function<void(Relay &)> act;
        std::string report;
    } rows[] = {
        {{}, [](Relay &t) {
             ASSERT_TRUE(kxtest::post("/to_camera", command("cv")));
             EXPECT_EQ(t.net->receive(), command("cv"));
             ASSERT_TRUE(kxtest::post("/to_camera", command("cv").substr(0, 10)));
         }, report("0 == tlv_validate\\(ibuf\\)")},
        {{"-s"}, [](Relay &t) { // the answer to "cv" grew in the buffer
             t.ask("cv");
             t.next(); // the canvas drawn at start-up
             ASSERT_TRUE(kxtest::post("/to_camera", ""));
         }, report("0 == tlv_validate\\(ibuf\\)")},
        {{}, [](Relay &) { ASSERT_TRUE(kxtest::post("/to_csi", hex("00 08 00 0A 00 00 00 EE"))); },
         report("tlvcmd != NULL", "sim_and_send")},
        {{}, [](Relay &t) {
             t.csi.reset(); // nobody bound at helper_task.rtos any more
             ASSERT_TRUE(kxtest::post("/to_csi", command("OO", hex("01"), "/to_csi")));
         }, report("kxIpcSend\\(&kxCsiIpcHdl, ibuf, ilen\\) >= 0")},
    };
    for (const auto &row : rows) {
        start(row.args);
        row.act(*this);
        expectEnd(row.report);
        EXPECT_TRUE(quiet(100));
        for (auto *camera : {net.get(), wc.get(), csi.get()})
            EXPECT_FALSE(camera && camera->receive(100)) << "nothing after the end";
    }
}

// The camera's own "LC" command: type 10, the canvas, from "/to_wif".
Bytes canvasOf(const Bytes &msg)
{
    EXPECT_EQ(toHex(msg.substr(0, 4)), "02 82 00 0A");
    EXPECT_EQ(toHex(msg.substr(msg.size() - 4)), "00 00 00 EE");
    EXPECT_EQ(msg.substr(4, 6), kxtest::element('A', "LC"));
    EXPECT_EQ(kxtest::valueOf(msg, 'D'), "/to_wif");
    EXPECT_EQ(kxtest::valueOf(msg, 'C'), "/to_kxnet");
    return kxtest::valueOf(msg, 'B').value_or("");
}

TEST_F(Relay, SimulatorAnswersInPlaceAndSendsTheCanvasAfterARedraw)
{
    start({"-s"});
    const Bytes to = hex("00 00 0A 44") + "/to_camera" + hex("00 00 09 43") + "/to_kxnet";
    const Bytes back = hex("00 00 0A 43") + "/to_camera" + hex("00 00 09 44") + "/to_kxnet";
    ASSERT_TRUE(kxtest::post("/to_camera", hex("00 2D 00 0A 00 00 02 41") + "cm" +
                                               hex("00 00 00 42") + to + hex("00 00 00 EE")));
    EXPECT_EQ(toHex(next()), toHex(hex("00 33 00 0B 00 00 02 41") + "cm" + hex("00 00 00 42") +
                                   back + hex("00 00 02 45 00 00 00 00 00 EE")));
    Bytes canvas = canvasOf(next()); // drawn at start-up, still pending
    EXPECT_EQ(toHex(canvas.substr(40 * 8, 8)), "00 00 1F FF FF C0 00 00");
    EXPECT_EQ(ask("cm"), hex("00 00"));
    EXPECT_TRUE(quiet()) << "no canvas without a redraw";

    EXPECT_EQ(ask("CM", hex("03")), hex("00 03"));
    EXPECT_EQ(toHex(canvasOf(next()).substr(40 * 8, 8)), "00 00 FF FF FF F8 00 00") << "size 3";
    EXPECT_EQ(ask("PW", hex("02")), hex("00"));
    const Bytes mode4 = canvasOf(next());
    // Power 0: the camera's "SU" first, then the answer; nothing redrawn.
    ASSERT_TRUE(kxtest::post("/to_camera", command("PW", hex("00"))));
    EXPECT_EQ(next(), Bytes(kxtest::suCommand().begin(), kxtest::suCommand().end()));
    EXPECT_EQ(kxtest::valueOf(next(), 'E'), hex("00"));
    EXPECT_EQ(ask("lc", hex("07")), hex("00 07") + mode4);
    EXPECT_TRUE(quiet());
    for (auto *camera : {net.get(), wc.get(), csi.get()})
        EXPECT_FALSE(camera->receive(0)) << "nothing reaches the camera side";
}

// "DB" turns the trace of answers on, in full length. A command followed
// by zeros up to 1500 bytes is answered with as many bytes past the
// answer: more than a mailbox takes, which ends the daemon, and the trace
// dumps no more than the buffer holds.
TEST_F(Relay, DebugWordsTurnTheTraceOnAndAnOverlongAnswerEndsTheDaemon)
{
    start({"-s"});
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 17 28 80 00 00 80 30"))));
    EXPECT_TRUE(quiet()) << "never answered";
    auto lines = kxtest::syslogDrain();
    EXPECT_TRUE(syslogHas(lines, "CAsetDB: g_debug_level = 0x80281420 -> 0x80281720\n$"));
    EXPECT_TRUE(syslogHas(lines, "CAsetDB: g_debug       = 0x30000000 -> 0x30800000\n$"));
    Bytes lc = command("lc", hex("07"));
    ASSERT_TRUE(kxtest::post("/to_camera", lc + Bytes(1500 - lc.size(), '\0')));
    EXPECT_EQ(daemon->waitExit(5000), 255);
    EXPECT_TRUE(quiet());
    lines = kxtest::syslogDrain();
    EXPECT_TRUE(syslogHas(lines, "^        <RT 000005d0  "));
    EXPECT_FALSE(syslogHas(lines, "^        <RT 000005e0  ")) << "the dump ends with the buffer";
    EXPECT_TRUE(syslogHas(lines, "ASSERT:libkxCommon/src/kxMbox\\.cpp/kxMbox_send:[0-9]+:"
                                 "len <= KXMSG_MAX\n"));
}

TEST_F(Relay, DebugCommandSwitchesSimulatorModeAtRunTime)
{
    start();
    ASSERT_TRUE(kxtest::post("/to_wif", command("cm")));
    EXPECT_EQ(wc->receive(), command("cm")) << "relayed while the simulator is off";
    // Little-endian words: level 0x80281420 (simulator on), debug unchanged.
    ASSERT_TRUE(kxtest::post("/to_wif", command("DB", hex("20 14 28 80 00 00 00 30"))));
    EXPECT_FALSE(wc->receive(200)) << "taken by the simulator";
    EXPECT_EQ(ask("cm"), hex("00 00"));
    EXPECT_EQ(canvasOf(next()).size(), 600u);
    EXPECT_FALSE(net->receive(200));
    ASSERT_TRUE(kxtest::post("/to_camera", command("DB", hex("20 14 28 00 00 00 00 30"))));
    ASSERT_TRUE(kxtest::post("/to_camera", command("st")));
    EXPECT_EQ(net->receive(), command("st"));
    EXPECT_TRUE(quiet());
}

} // namespace
