// The relay, end to end: the real daemon (simulator off) between the
// network daemon's mailboxes and the camera's real-time side of the three
// IPC endpoints, both played by the test.
#include "kxdaemon.h"
#include "kxtest.h"
#include "kxwire.h"

#include <csignal>
#include <memory>
#include <gtest/gtest.h>
#include <random>
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

    std::unique_ptr<Camera> net, wc, csi;
    kxtest::Daemon daemon;
};

TEST_F(Relay, EachMailboxGoesToItsEndpointUnchanged)
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
}

TEST_F(Relay, EachEndpointGoesToKxnetUnchanged)
{
    Bytes answer = response("cv", {}, hex("00 02 10 09") + "v01.01.01");
    Bytes odd = kxtest::message(0x77, {kxtest::element(0x99, "any"), kxtest::element(0xEE, {})});
    for (auto *camera : {net.get(), wc.get(), csi.get()}) {
        for (const Bytes &msg : {answer, odd}) {
            ASSERT_TRUE(camera->send(msg));
            EXPECT_EQ(toHex(kxtest::take("/to_kxnet").value_or("")), toHex(msg));
        }
    }
}

TEST_F(Relay, InvalidMessagesFromEndpointsAreReturnedOrDropped)
{
    // The code element claims 3 bytes: the walk misses the end element.
    Bytes bad = hex("00 12 00 0A 00 00 03 41") + "SU" + hex("00 00 00 42 00 00 00 EE");
    ASSERT_TRUE(net->send(bad));
    EXPECT_EQ(net->receive(), bad);
    ASSERT_TRUE(wc->send(bad));
    EXPECT_EQ(wc->receive(), bad);
    ASSERT_TRUE(csi->send(bad));
    EXPECT_FALSE(csi->receive(200));
    EXPECT_TRUE(quietKxnet());

    auto lines = kxtest::syslogDrain();
    EXPECT_TRUE(syslogHas(lines, "^CAM ipc validate failed:\n$"));
    EXPECT_TRUE(syslogHas(lines, "^WC ipc validate failed:\n$"));
    EXPECT_TRUE(syslogHas(lines, "^CSI ipc validate failed:\n$"));
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
TEST_F(Relay, InvalidMailboxMessageEndsTheDaemon)
{
    Bytes cmd = command("cv");
    ASSERT_TRUE(kxtest::post("/to_camera", cmd));
    EXPECT_EQ(toHex(net->receive().value_or("")), toHex(cmd));
    ASSERT_TRUE(kxtest::post("/to_camera", cmd.substr(0, 10)));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    auto lines = kxtest::syslogDrain();
    EXPECT_TRUE(syslogHas(lines, loopAssertion("0 == tlv_validate\\(ibuf\\)")));
    EXPECT_FALSE(net->receive(100));
}

// A short datagram after a longer, valid message is judged by its own
// bytes, as on a freshly started daemon: invalid, and returned.
TEST_F(Relay, BytesOfAnEarlierMessageNeverCompleteALaterOne)
{
    Bytes valid = response("st", {}, hex("00 00 00 00 00 00"));
    ASSERT_EQ(valid.size(), 55u);
    for (size_t cut : {1, 10}) {
        ASSERT_TRUE(net->send(valid));
        EXPECT_EQ(toHex(kxtest::take("/to_kxnet").value_or("")), toHex(valid));
        ASSERT_TRUE(net->send(valid.substr(0, cut)));
        EXPECT_EQ(toHex(net->receive().value_or("")), toHex(valid.substr(0, cut))) << cut;
        EXPECT_TRUE(quietKxnet()) << cut;
    }
}

TEST_F(Relay, MailboxMessageWithoutCommandEndsTheDaemon)
{
    ASSERT_TRUE(kxtest::post("/to_csi", hex("00 08 00 0A 00 00 00 EE")));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(syslogHas(kxtest::syslogDrain(), loopAssertion("tlvcmd != NULL", "sim_and_send")));
}

TEST_F(Relay, UnreachableCameraSideEndsTheDaemon)
{
    csi.reset(); // nobody bound at helper_task.rtos any more
    ASSERT_TRUE(kxtest::post("/to_csi", command("OO", hex("01"), "/to_csi")));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(syslogHas(kxtest::syslogDrain(),
                          loopAssertion("kxIpcSend\\(&kxCsiIpcHdl, ibuf, ilen\\) >= 0")));
}

TEST_F(Relay, FullKxnetEndsTheDaemon)
{
    Bytes msg = response("pv", {}, hex("00 00"));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(net->send(msg));
    ASSERT_TRUE(kxtest::waitForMailbox("/to_kxnet"));
    for (int i = 0; i < 500 && kxtest::mailboxAttr("/to_kxnet")->mq_curmsgs < 40; ++i)
        usleep(10000);
    EXPECT_EQ(kxtest::mailboxAttr("/to_kxnet")->mq_curmsgs, 40);
    ASSERT_TRUE(wc->send(msg));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    auto lines = kxtest::syslogDrain();
    EXPECT_TRUE(syslogHas(lines, "Mailbox Full: mbox=/to_kxnet >= 40 messages\n$"));
    EXPECT_TRUE(syslogHas(lines, "ASSERT:libkxCommon/src/kxMbox\\.cpp/kxMbox_send:[0-9]+:"
                                 "\\(kxattr->attr\\.mq_curmsgs\\) < kxattr->attr\\.mq_maxmsg"));
}

// What the check sees of a datagram in the daemon's one message buffer:
// the datagram and zeros after it, whatever came before, read as far as
// the message's header claims.
bool accepts(const Bytes &datagram)
{
    Bytes buffer = datagram + Bytes(1500 - datagram.size(), '\0');
    int total = static_cast<int16_t>(static_cast<uint8_t>(buffer[0]) << 8 |
                                     static_cast<uint8_t>(buffer[1]));
    return total >= 8 && total <= 1500 && kxtest::wellFormed(buffer.substr(0, static_cast<size_t>(total)));
}

Bytes mutate(std::mt19937 &rng, Bytes msg)
{
    std::uniform_int_distribution<int> byte(0, 255);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    switch (pick(6)) {
    case 0: // flip bytes
        for (size_t i = 0, n = 1 + pick(3); i < n; ++i)
            msg[pick(msg.size())] = static_cast<char>(byte(rng));
        break;
    case 1: // cut
        msg.resize(1 + pick(msg.size()));
        break;
    case 2: // change the total
        msg[1] = static_cast<char>(msg[1] + static_cast<char>(pick(9)) - 4);
        break;
    case 3: // grow
        msg += Bytes(1 + pick(40), static_cast<char>(byte(rng)));
        break;
    case 4: { // random bytes
        Bytes r(1 + pick(1500), '\0');
        for (char &c : r)
            c = static_cast<char>(byte(rng));
        return r;
    }
    default: // unchanged
        break;
    }
    return msg;
}

TEST_F(Relay, RandomAndMutatedDatagramsNeverEndTheDaemon)
{
    std::mt19937 rng(20261205);
    const Bytes seeds[] = {
        response("cm", {}, hex("00 00")),
        response("lc", hex("07"), hex("00 07") + Bytes(600, '\x0F')),
        command("LC", Bytes(600, 'c'), "/to_wif"),
        hex("00 08 00 0A 00 00 00 EE"),
        response("cv", {}, Bytes(1400, 'v')),
    };
    Camera *cameras[] = {net.get(), wc.get(), csi.get()};
    int valid = 0, returned = 0, dropped = 0;
    for (int i = 0; i < 12000; ++i) {
        Camera *camera = cameras[i % 3];
        Bytes datagram = mutate(rng, seeds[i % std::size(seeds)]);
        datagram.resize(std::min<size_t>(datagram.size(), 1500));
        ASSERT_TRUE(camera->send(datagram)) << i;
        if (accepts(datagram)) {
            ++valid;
            ASSERT_EQ(toHex(kxtest::take("/to_kxnet").value_or("none")), toHex(datagram)) << i;
        } else if (camera != csi.get()) {
            ++returned;
            ASSERT_EQ(toHex(camera->receive().value_or("none")), toHex(datagram)) << i;
        } else {
            // Dropped: a valid message behind it on the same endpoint shows
            // that it has been served before the next datagram goes out.
            ++dropped;
            Bytes probe = seeds[0];
            ASSERT_TRUE(csi->send(probe));
            ASSERT_TRUE(accepts(probe));
            ASSERT_EQ(toHex(kxtest::take("/to_kxnet").value_or("none")), toHex(probe)) << i;
        }
    }
    EXPECT_TRUE(quietKxnet());
    EXPECT_GT(daemon.pid(), 0);
    EXPECT_GT(valid, 1000);
    EXPECT_GT(returned, 1000);
    EXPECT_GT(dropped, 500);
    kxtest::syslogDrain(0);
}

} // namespace
