// The relay, end to end: the real daemon (simulator off) between the
// network daemon's mailboxes and the camera's real-time side of the three
// IPC endpoints, both played by the test.
#include "kxdaemon.h"
#include "kxtest.h"
#include "kxwire.h"

#include <csignal>
#include <memory>
#include <gtest/gtest.h>
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

// A daemon report for a failed check of the daemon's module (by default,
// of the forwarding loop).
std::string loopAssertion(const std::string &condition, const std::string &function = "main")
{
    return "^\033\\[31mASSERT:kxRedIro/src/kxRedIro\\.cpp/" + function + ":[0-9]+:" + condition +
           "\n\033\\[0m$";
}

class Relay : public ::testing::Test {
protected:
    void SetUp() override
    {
        kxtest::syslogDrain(0);
        std::string dir = kxtest::freshIpcDir();
        setenv("KXIPC_DIR", dir.c_str(), 1);
        // The camera side is there before the daemon sends to it.
        net = std::make_unique<Camera>("wifibt");
        wc = std::make_unique<Camera>("wifi_ctrl");
        csi = std::make_unique<Camera>("helper_task");
        for (auto *camera : {net.get(), wc.get(), csi.get()})
            ASSERT_TRUE(camera->ok());
        ASSERT_EQ(daemon.start({}, {"KXIPC_DIR=" + dir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    }
    bool quietKxnet(int ms = 200) { return !kxtest::take("/to_kxnet", ms); }
    // The daemon ends with a report that matches pattern.
    void expectEnd(const std::string &pattern)
    {
        EXPECT_EQ(daemon.waitExit(5000), 255);
        EXPECT_TRUE(syslogHas(kxtest::syslogDrain(), pattern));
    }

    std::unique_ptr<Camera> net, wc, csi;
    kxtest::Daemon daemon;
};

TEST_F(Relay, EachMailboxToItsEndpointAndEachEndpointToKxnetUnchanged)
{
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
    EXPECT_TRUE(quietKxnet());

    Bytes answer = response("cv", {}, hex("00 02 10 09") + "v01.01.01");
    Bytes odd = kxtest::message(0x77, {kxtest::element(0x99, "any"), kxtest::element(0xEE, {})});
    for (auto *camera : {net.get(), wc.get(), csi.get()}) {
        for (const Bytes &msg : {answer, odd}) {
            ASSERT_TRUE(camera->send(msg));
            EXPECT_EQ(toHex(kxtest::take("/to_kxnet").value_or("")), toHex(msg));
        }
    }
}

// A short datagram after a longer, valid message is judged by its own
// bytes, as on a freshly started daemon.
TEST_F(Relay, InvalidEndpointMessagesAreReturnedOrDroppedAndJudgedAlone)
{
    // The code element claims 3 bytes: the walk misses the end element.
    Bytes bad = hex("00 12 00 0A 00 00 03 41") + "SU" + hex("00 00 00 42 00 00 00 EE");
    Bytes valid = response("st", {}, hex("00 00 00 00 00 00"));
    ASSERT_EQ(valid.size(), 55u);
    for (const Bytes &cut : {bad, valid.substr(0, 1), valid.substr(0, 10)}) {
        ASSERT_TRUE(net->send(valid));
        EXPECT_EQ(toHex(kxtest::take("/to_kxnet").value_or("")), toHex(valid));
        ASSERT_TRUE(net->send(cut));
        EXPECT_EQ(toHex(net->receive().value_or("")), toHex(cut));
        EXPECT_TRUE(quietKxnet(100));
    }
    ASSERT_TRUE(wc->send(bad));
    EXPECT_EQ(wc->receive(), bad);
    ASSERT_TRUE(csi->send(bad));
    EXPECT_FALSE(csi->receive(200));
    EXPECT_TRUE(quietKxnet());

    auto lines = kxtest::syslogDrain();
    for (const char *text : {"CAM", "WC", "CSI"})
        EXPECT_TRUE(syslogHas(lines, std::string("^") + text + " ipc validate failed:\n$")) << text;
    EXPECT_TRUE(syslogHas(lines, "^ERROR      00000000  00120{2}0a 00000341 53550000 00420000  \\.\\.\\.\\.\\.\\.\\.ASU\\.\\.\\.B\\.\\.\n$"));

    Bytes fine = response("pv", {}, hex("00 00"));
    ASSERT_TRUE(csi->send(fine));
    EXPECT_EQ(kxtest::take("/to_kxnet"), fine) << "the daemon goes on";
}

TEST_F(Relay, MailboxIsServedBeforeEndpointInTheSameCycle)
{
    ASSERT_GT(daemon.pid(), 0);
    kill(daemon.pid(), SIGSTOP);
    Bytes cmd = command("cm");
    Bytes bad = hex("00 08 00 0A 00 00 00 41"); // no end element: returned
    ASSERT_TRUE(kxtest::post("/to_camera", cmd));
    ASSERT_TRUE(net->send(bad));
    kill(daemon.pid(), SIGCONT);
    EXPECT_EQ(net->receive(), cmd);
    EXPECT_EQ(net->receive(), bad);
}

// Also when the tail of the earlier, whole command is still in the
// daemon's buffer: the cut one is judged alone.
TEST_F(Relay, TruncatedMailboxMessageEndsTheDaemon)
{
    Bytes cmd = command("cv");
    ASSERT_TRUE(kxtest::post("/to_camera", cmd));
    EXPECT_EQ(toHex(net->receive().value_or("")), toHex(cmd));
    ASSERT_TRUE(kxtest::post("/to_camera", cmd.substr(0, 10)));
    expectEnd(loopAssertion("0 == tlv_validate\\(ibuf\\)"));
    EXPECT_FALSE(net->receive(100));
}

TEST_F(Relay, MailboxMessageWithoutCommandEndsTheDaemon)
{
    ASSERT_TRUE(kxtest::post("/to_csi", hex("00 08 00 0A 00 00 00 EE")));
    expectEnd(loopAssertion("tlvcmd != NULL", "sim_and_send"));
}

TEST_F(Relay, UnreachableCameraSideEndsTheDaemon)
{
    csi.reset(); // nobody bound at helper_task.rtos any more
    ASSERT_TRUE(kxtest::post("/to_csi", command("OO", hex("01"), "/to_csi")));
    expectEnd(loopAssertion("kxIpcSend\\(&kxCsiIpcHdl, ibuf, ilen\\) >= 0"));
}

TEST_F(Relay, FullKxnetEndsTheDaemon)
{
    Bytes msg = response("pv", {}, hex("00 00"));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(net->send(msg));
    for (int i = 0; i < 500 && kxtest::mailboxAttr("/to_kxnet")->mq_curmsgs < 40; ++i)
        usleep(10000);
    EXPECT_EQ(kxtest::mailboxAttr("/to_kxnet")->mq_curmsgs, 40);
    ASSERT_TRUE(wc->send(msg));
    expectEnd("Mailbox Full: mbox=/to_kxnet >= 40 messages\n$");
}

} // namespace
