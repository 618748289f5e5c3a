// The daemon binary from its command line to its open mailboxes, run in the
// test's private namespaces with syslog received on a private /dev/log.
#include "kxdaemon.h"
#include "kxprogram.h"
#include "kxtest.h"
#include "kxwire.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <unistd.h>

namespace {

using kxtest::Daemon;

// The usage text, after "Usage " and the program name.
const std::string kUsageTail = " [OPTION]\n\nOptional Debug flags:\n"
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
    void SetUp() override { ipcEnv = "KXIPC_DIR=" + kxtest::freshIpcDir(); }
    Daemon daemon;
    std::string ipcEnv;
};

// Standard error holds only what getopt_long itself says, if anything.
TEST_F(Startup, UsageForHelpAndBadOptionsOnStandardOutput)
{
    const std::pair<std::vector<std::string>, std::string> lines[] = {
        {{"-h", "x"}, ""}, {{"--help"}, ""}, {{"-hs"}, ""}, {{"-s", "--help"}, ""},
        {{"-h"}, "option requires an argument -- 'h'"},
        {{"--simulator=1"}, "'--simulator' doesn't allow an argument"},
        {{"-z"}, "invalid option -- 'z'"},
    };
    for (const auto &[args, err] : lines) {
        Daemon d;
        EXPECT_EQ(d.start(args, {ipcEnv}), 0) << args[0];
        EXPECT_EQ(d.out(), "Usage " + kxtest::daemonPath() + kUsageTail) << args[0];
        if (err.empty()) {
            EXPECT_EQ(d.err(), "") << args[0];
        } else {
            EXPECT_NE(d.err().find(err), std::string::npos) << d.err();
        }
        EXPECT_EQ(d.pid(), 0) << "no daemon for " << args[0];
    }
}

// Letters that do nothing and an operand: a plain start, which logs its
// start-up line and no error.
TEST_F(Startup, PlainStartDetachesMakesTheMailboxesAndLogsNoError)
{
    kxtest::syslogDrain(0);
    std::vector<std::string> args = {"-n", "-a", "-d", "-t", "-m", "-e", "-w", "-i", "-o", "o"};
    ASSERT_EQ(daemon.start(args, {ipcEnv}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    const pid_t pid = daemon.pid();
    ASSERT_GT(pid, 0) << "the detached daemon lives on";
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
    EXPECT_EQ(syslogMessages(), std::vector<std::string>{"Starting kxRedIro daemon \n"});
    EXPECT_EQ(daemon.err(), "");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), "/");
    EXPECT_EQ(getsid(pid), pid);
    std::string status = kxtest::readFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("Umask:\t0000\n"), std::string::npos);
}

// Endpoints that cannot be opened are logged, each call by its own line,
// and passed over.
TEST_F(Startup, SimulatorTwiceWithoutEndpointsLogsEachFailure)
{
    kxtest::syslogDrain(0);
    ASSERT_TRUE(kxtest::writeFile("/tmp/not-a-dir", "x"));
    ASSERT_EQ(daemon.start({"-s", "-s"}, {"KXIPC_DIR=/tmp/not-a-dir"}), 0);
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    auto lines = syslogMessages();
    ASSERT_EQ(lines.size(), 9u) << ::testing::PrintToString(lines);
    const std::string option = R"(^\[     get_options:\s*\d+\] get_options: g_debug_level = )";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(option + "0x00281420 -> 0x80281420$")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(option + "0x80281420 -> 0x80281420$")));
    EXPECT_EQ(lines[2], "Starting kxRedIro daemon camera simulator\n");
    const std::regex error(R"(^\[            main:\s*(\d+)\] Error )"
                           R"((initializing Lindenvale IPC|fetching file descriptor)\n\n$)");
    std::set<std::string> lineNumbers;
    for (size_t i = 3; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, error)) << lines[i];
        EXPECT_EQ(m[2] == "fetching file descriptor", i % 2 == 0) << "init, then fd, per endpoint";
        lineNumbers.insert(m[1]);
    }
    EXPECT_EQ(lineNumbers.size(), 6u) << "each call tells itself apart by its line";
}

// Without endpoints (their descriptors negative) and with the mailboxes on
// descriptors 0, 54 and 55, the only ones free below 64 (no /dev/log here,
// so syslog takes none): every mailbox is served, and only they are. A
// negative descriptor must not be looked up in the ready set, where -9
// would read as descriptor 55.
TEST_F(Startup, MailboxesOnAnyDescriptorAreServedWithoutEndpoints)
{
    ASSERT_TRUE(kxtest::writeFile("/tmp/not-a-dir", "x"));
    auto started = kxtest::runChild([] {
        int null = open("/dev/null", O_RDONLY);
        for (int fd = 3; fd < 64; ++fd)
            if (fd != 54 && fd != 55)
                dup2(null, fd); // open ones too: they may close at exec
        close(0), close(54), close(55);
        kxtest::execCommand(kxtest::commandLine(kxtest::daemonPath(), {"-s"}),
                            {"KXIPC_DIR=/tmp/not-a-dir"}, -1, -1, -1);
    });
    ASSERT_EQ(started.exitCode, 0) << started.err;
    ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    const std::string fds = "/proc/" + std::to_string(daemon.pid()) + "/fd/";
    for (const char *fd : {"0", "54", "55"})
        EXPECT_TRUE(std::filesystem::read_symlink(fds + fd).string().starts_with("/to_")) << fd;
    // "/to_csi", on descriptor 55, first: the others are not answered when
    // the daemon has ended after answering it.
    bool first = true;
    for (const char *mailbox : {"/to_csi", "/to_wif", "/to_camera"}) {
        ASSERT_TRUE(kxtest::post(mailbox, kxtest::command("cm", {}, mailbox)));
        auto answer = kxtest::take("/to_kxnet").value_or("");
        EXPECT_EQ(kxtest::valueOf(answer, 'E'), kxtest::hex("00 00")) << mailbox;
        if (std::exchange(first, false)) { // the canvas drawn at start-up follows
            EXPECT_EQ(kxtest::take("/to_kxnet").value_or("").size(), 642u);
        }
    }
}

TEST_F(Startup, MailboxLimitTooLowEndsTheDaemonAtTheFirstLargeMailbox)
{
    kxtest::syslogDrain(0);
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
}

} // namespace
