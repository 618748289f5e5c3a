// The daemon binary from its command line to its open mailboxes, run in the
// test's private namespaces with syslog received on a private /dev/log.
#include "kxdaemon.h"
#include "kxprogram.h"
#include "kxtest.h"
#include "kxwire.h"

#include <csignal>
#include <fcntl.h>
#include <mqueue.h>
#include <sched.h>

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kxtest::Daemon;

const std::string kUsageTail =
    " [OPTION]\n"
    "\n"
    "Optional Debug flags:\n"
    "  -s, --simulator          Enable the Camera Simulator\n"
    "  -h, --help               This output\n";

std::vector<std::string> syslogMessages()
{
    std::vector<std::string> messages;
    for (const auto &line : kxtest::syslogDrain())
        messages.push_back(line.message);
    return messages;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override
    {
        kxtest::syslogDrain(0);
        ipcEnv = "KXIPC_DIR=" + kxtest::freshIpcDir();
    }
    Daemon daemon;
    std::string ipcEnv;
};

TEST_F(Startup, UsageForHelpAndBadOptionsExitsZero)
{
    const std::vector<std::vector<std::string>> lines = {
        {"-h", "x"}, {"--help"}, {"-h"}, {"-hs"}, {"--simulator=1"}, {"-z"}, {"-s", "--help"},
    };
    for (const auto &args : lines) {
        Daemon d;
        EXPECT_EQ(d.start(args, {ipcEnv}), 0) << args[0];
        EXPECT_EQ(d.out(), "Usage " + kxtest::daemonPath() + kUsageTail) << args[0];
        EXPECT_EQ(d.pid(), 0) << "no daemon for " << args[0];
    }
}

TEST_F(Startup, UsageDescriptionsStartAtColumn28)
{
    auto lines = kxtest::splitLines(kUsageTail);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3].find("Enable"), 27u);
    EXPECT_EQ(lines[4].find("This"), 27u);
}

TEST_F(Startup, GetoptDiagnosticForMissingHelpArgument)
{
    Daemon d;
    EXPECT_EQ(d.start({"-h"}, {ipcEnv}), 0);
    EXPECT_NE(d.err().find("option requires an argument -- 'h'"), std::string::npos) << d.err();
}

TEST_F(Startup, DetachesAndCreatesTheEightMailboxes)
{
    ASSERT_EQ(daemon.start({}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    EXPECT_GT(daemon.pid(), 0) << "the detached daemon lives on";
    const std::pair<const char *, long> expected[] = {
        {"/to_camera", 10}, {"/to_wif", 40}, {"/to_csi", 2}, {"/to_kxnet", 40},
        {"/to_ath", 10},    {"/to_udp", 10}, {"/to_pla", 10}, {"/to_ble", 40},
    };
    for (const auto &[name, count] : expected) {
        auto attr = kxtest::mailboxAttr(name);
        ASSERT_TRUE(attr) << name;
        EXPECT_EQ(attr->mq_maxmsg, count) << name;
        EXPECT_EQ(attr->mq_msgsize, 1500) << name;
    }
}

TEST_F(Startup, StartupLineWithAndWithoutSimulator)
{
    ASSERT_EQ(daemon.start({}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    auto plain = syslogMessages();
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(plain[0], "Starting kxRedIro daemon \n"); // the empty second word leaves a blank
    daemon.stop();

    Daemon sim;
    ASSERT_EQ(sim.start({"--simulator"}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    auto lines = syslogMessages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Starting kxRedIro daemon camera simulator\n"),
              lines.end());
}

TEST_F(Startup, SimulatorOptionLoggedEachTimeItIsGiven)
{
    ASSERT_EQ(daemon.start({"-s", "-s"}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    auto lines = syslogMessages();
    ASSERT_GE(lines.size(), 3u);
    const std::regex option(R"(^\[     get_options:\s*\d+\] get_options: g_debug_level = (0x[0-9a-f]{8}) -> (0x[0-9a-f]{8})$)");
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(lines[0], first, option)) << lines[0];
    ASSERT_TRUE(std::regex_match(lines[1], second, option)) << lines[1];
    EXPECT_EQ(first[1], "0x00281420");
    EXPECT_EQ(first[2], "0x80281420");
    EXPECT_EQ(second[1], "0x80281420");
    EXPECT_EQ(second[2], "0x80281420");
    EXPECT_EQ(lines[2], "Starting kxRedIro daemon camera simulator\n");
}

TEST_F(Startup, IgnoredLettersChangeNothing)
{
    ASSERT_EQ(daemon.start({"-n", "-a", "-d", "-t", "-m", "-e", "-w", "-i", "-o", "operand"},
                           {ipcEnv}),
              0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    auto lines = syslogMessages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Starting kxRedIro daemon \n");
}

TEST_F(Startup, UnusableEndpointsAreLoggedAndPassedOver)
{
    ASSERT_TRUE(kxtest::writeFile("/tmp/not-a-dir", "x"));
    ASSERT_EQ(daemon.start({}, {"KXIPC_DIR=/tmp/not-a-dir"}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    EXPECT_GT(daemon.pid(), 0);
    auto lines = syslogMessages();
    const std::regex init(R"(^\[            main:\s*(\d+)\] Error initializing Lindenvale IPC\n\n$)");
    const std::regex fd(R"(^\[            main:\s*(\d+)\] Error fetching file descriptor\n\n$)");
    std::vector<std::string> order;
    std::set<std::string> lineNumbers;
    for (const auto &line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, init))
            order.push_back("init");
        else if (std::regex_match(line, m, fd))
            order.push_back("fd");
        else
            continue;
        lineNumbers.insert(m[1]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"init", "fd", "init", "fd", "init", "fd"}));
    EXPECT_EQ(lineNumbers.size(), 6u) << "each call tells itself apart by its line";
}

TEST_F(Startup, MailboxLimitTooLowEndsTheDaemonAtTheFirstLargeMailbox)
{
    ASSERT_TRUE(kxtest::setMsgMax(10));
    ASSERT_EQ(daemon.start({}, {ipcEnv}), 0);
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(kxtest::mailboxAttr("/to_camera"));
    EXPECT_FALSE(kxtest::mailboxAttr("/to_wif"));
    EXPECT_FALSE(kxtest::mailboxAttr("/to_kxnet"));
    auto lines = syslogMessages();
    ASSERT_FALSE(lines.empty());
    const std::regex report(
        "^\033\\[31mASSERT:kxRedIro/src/kxRedIro[^/]*/main:\\d+:"
        "kxMbox_rxopen\\(KXMBOXtoRTOS, KXMSG_MAX_COUNT_LG, &rxq_to_rtos_wif\\) == 0\n\033\\[0m$");
    EXPECT_TRUE(std::regex_match(lines.back(), report)) << lines.back();
    bool logged = false;
    for (const auto &line : lines)
        logged |= line.find("mbox=/to_wif errno=Invalid argument") != std::string::npos;
    EXPECT_TRUE(logged);
}

// Mailboxes outlive the daemon and are kept as they are: those with
// another message size are named at start-up (another count alone is
// normal), and a response that such a mailbox refuses is logged.
TEST_F(Startup, ForeignMessageSizesAreNamedAndRefusedResponsesLogged)
{
    const std::tuple<const char *, long, long> made[] = {
        {"/to_kxnet", 40, 64}, {"/to_camera", 10, 8192}, {"/to_wif", 10, 1500}};
    for (const auto &[name, count, size] : made) {
        mq_attr attr{};
        attr.mq_maxmsg = count;
        attr.mq_msgsize = size;
        mqd_t q = mq_open(name, O_RDONLY | O_CREAT, 0664, &attr);
        ASSERT_NE(q, static_cast<mqd_t>(-1)) << name;
        mq_close(q);
    }
    ASSERT_EQ(daemon.start({"-s"}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    ASSERT_TRUE(kxtest::post("/to_wif", kxtest::command("cv")));
    const std::string foreign = R"(^\[kxMbox_rxopen_ext:\s*\d+\] mbox=)";
    const std::string lost = R"(^\[     kxMbox_send:\s*\d+\] mbox=/to_kxnet )";
    const std::vector<std::string> expected = {
        foreign + "/to_camera has msgsize=8192 maxmsg=10, not msgsize=1500; remove it: "
                  "rm /dev/mqueue/to_camera\n$",
        foreign + "/to_kxnet has msgsize=64 maxmsg=40, not msgsize=1500; remove it: "
                  "rm /dev/mqueue/to_kxnet\n$",
        lost + "len=74 errno=Message too long\n$", // the answer to "cv"
        lost + "len=642 errno=Message too long\n$", // the start-up canvas after it
    };
    std::vector<std::string> seen;
    for (int i = 0; i < 50 && seen.size() < expected.size(); ++i)
        for (const auto &line : syslogMessages())
            if (line.find("mbox=") != std::string::npos)
                seen.push_back(line);
    ASSERT_EQ(seen.size(), expected.size()) << ::testing::PrintToString(seen);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(std::regex_match(seen[i], std::regex(expected[i]))) << seen[i];
    EXPECT_GT(daemon.pid(), 0) << "kept running";
}

TEST_F(Startup, DetachedDaemonLeavesItsDirectoryAndSession)
{
    ASSERT_EQ(daemon.start({}, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    pid_t pid = daemon.pid();
    ASSERT_GT(pid, 0);
    char cwd[64] = {};
    std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    ASSERT_GT(readlink(link.c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/");
    EXPECT_EQ(getsid(pid), pid);
}

// Run by init (a service), the daemon has parent 1 and must not fork: it
// keeps its process and session. A new PID namespace gives the test its
// own process 1.
void runDaemonUnderInit(const std::string &ipcEnv)
{
    if (unshare(CLONE_NEWPID) != 0) {
        printf("no pid namespace");
        return;
    }
    pid_t init = fork();
    if (init != 0) {
        waitpid(init, nullptr, 0);
        return;
    }
    pid_t daemon = fork();
    if (daemon == 0)
        kxtest::execCommand(kxtest::commandLine(kxtest::daemonPath(), {}), {ipcEnv}, -1, -1, -1);
    bool created = kxtest::waitForMailbox("/to_ble");
    bool stillThere = waitpid(daemon, nullptr, WNOHANG) == 0;
    bool sameSession = getsid(daemon) == getsid(0);
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    printf("%d %d %d %d", getpid(), created, stillThere, sameSession);
    fflush(stdout);
    _exit(0);
}

TEST_F(Startup, UnderInitTheDaemonStaysInItsProcess)
{
    auto child = kxtest::runChild([&] { runDaemonUnderInit(ipcEnv); });
    EXPECT_EQ(child.out, "1 1 1 1") << "pid of the starter, mailboxes made, not detached, same session";
}

} // namespace
