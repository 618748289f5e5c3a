// kxctl's view of the daemon and its mailboxes, and its exit statuses,
// which scripts rely on: 0 success, 1 failure, 2 usage, 3 mailbox missing or
// nobody reading it, 4 timeout, 5 refused by the camera; and the sandbox.
#include "kxctltest.h"

#include <algorithm>
#include <mqueue.h>
#include <regex>

namespace {

using namespace kxctltest;

class KxctlStatus : public KxctlTest {};

TEST_F(KxctlStatus, UsageErrorsAreTwoWithAHintAndHelpIsZero)
{
    // Refusals, most with what was probably meant.
    const std::vector<std::pair<Args, std::string>> wrong = {
        {{}, ""},
        {{"canvas", "-o", "x.gif"}, ""},
        {{"camera", "--echo", "--silent"}, ""},
        {{"cal", "cv"}, "unknown verb \"cal\"; did you mean \"call\"?"},
        {{"call", "CM", "7"}, "write 07 for the byte 7"},
        {{"call", "UM", "abc"}, "--hex abc"},
        {{"call", "UM", "hi"}, "--string hi"},
        {{"call", "TM", "01", "02", "03"}, "TM takes 7 argument bytes, got 3"},
        {{"send", "XX"}, "XX is not a code of the camera's table"},
        {{"send", "cm", "-m", "to_kxnet"}, "/to_kxnet is the network daemon's mailbox"},
        {{"call", "cv", "-t", "-1"}, "seconds from 0 (for ever) to 86400, not -1"},
    };
    for (const auto &[args, hint] : wrong) {
        auto r = kxctl(args);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
        EXPECT_TRUE(!r.err.empty() && r.err.find(hint) != std::string::npos) << r.err;
    }
    EXPECT_EQ(kxctl({"--version"}).out.rfind("kxctl 1.", 0), 0u);
    for (const char *verb : {"call", "send", "db", "listen", "camera", "canvas", "decode",
                             "monitor", "trace", "mailboxes", "codes", "status", "sandbox"}) {
        auto r = kxctl({verb, "--help"});
        bool usage = r.out.find("Usage: kxctl " + std::string(verb)) != std::string::npos;
        EXPECT_TRUE(r.exitCode == 0 && usage) << r.out;
    }
}

TEST_F(KxctlStatus, NoDaemonServingTheMailboxesIsThree)
{
    for (const Args &args : {Args{"call", "cv"}, Args{"send", "cv"}, Args{"listen"},
                             Args{"canvas"}, Args{"listen", "/to_nowhere"}})
        EXPECT_EQ(kxctl(args).exitCode, 3) << testing::PrintToString(args);
    EXPECT_NE(kxctl({"call", "cv"}).err.find("/to_kxnet: no such mailbox"), std::string::npos);
    EXPECT_FALSE(kxtest::mailboxAttr("/to_kxnet")) << "kxctl creates no mailbox";

    // Mailboxes outlive the daemon: here nobody takes the command.
    mq_attr attr{0, 40, 1500, 0, {}};
    for (const char *name : {"/to_camera", "/to_kxnet"})
        mq_close(mq_open(name, O_RDONLY | O_CREAT, 0600, &attr));
    auto r = kxctl({"call", "cv", "-t", "0.3"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("no kxRedIro runs"), std::string::npos) << r.err;
    // A send warns when the answers have little room left, and refuses
    // when one answer and a canvas would not fit.
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(kxtest::post("/to_kxnet", kxtest::command("LC")));
    auto warned = kxctl({"send", "cm"});
    EXPECT_EQ(warned.exitCode, 0);
    EXPECT_NE(warned.err.find("warning: /to_kxnet holds 30 of 40"), std::string::npos);
    for (int i = 30; i < 39; ++i)
        ASSERT_TRUE(kxtest::post("/to_kxnet", kxtest::command("LC")));
    EXPECT_EQ(kxctl({"send", "cm"}).exitCode, 3);
    EXPECT_EQ(kxctl({"send", "cm", "--force"}).exitCode, 0);
}

// The daemon's mailboxes, inbound ones first, with their capacities.
const std::pair<const char *, int> kMailboxes[] = {
    {"/to_camera", 10}, {"/to_wif", 40}, {"/to_csi", 2},  {"/to_kxnet", 40},
    {"/to_ath", 10},    {"/to_udp", 10}, {"/to_pla", 10}, {"/to_ble", 40},
};

// What mailboxes shows of each: name, exists, capacity, expected capacity,
// message size, messages; nothing of one that does not exist.
Args mailboxRows(bool exist)
{
    Args rows;
    for (auto [name, capacity] : kMailboxes) {
        std::string n = std::to_string(capacity), held = name == std::string("/to_ath") ? "2" : "0";
        rows.push_back(name + (exist ? " true " + n + " " + n + " 1500 " + held
                                     : " false null " + n + " null null"));
    }
    return rows;
}

TEST_F(KxctlStatus, MailboxesAndStatusSeeTheDaemonRunningStoppedAndKilled)
{
    auto none = kxctl({"--json", "mailboxes"});
    EXPECT_EQ(none.exitCode, 3);
    const std::vector<const char *> keys = {"name", "exists",   "capacity", "expected_capacity",
                                            "size", "messages"};
    EXPECT_EQ(summary(jsonLines(none.out), keys), mailboxRows(false));

    startDaemon({"-s"});
    // Nobody reads "/to_ath": what is put there stays.
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(kxtest::post("/to_ath", kxtest::command("HR", {}, "/to_ath", "/to_ath")));
    auto rows = kxctl({"--json", "mailboxes"});
    EXPECT_EQ(rows.exitCode, 0) << rows.err;
    EXPECT_EQ(summary(jsonLines(rows.out), keys), mailboxRows(true));

    auto running = kxctl({"--json", "status"});
    EXPECT_EQ(running.exitCode, 0) << running.err;
    json s = jsonLines(running.out).at(0);
    EXPECT_EQ(s["daemon"]["pid"], daemon.pid());
    EXPECT_EQ(s["daemon"]["simulator"], true);
    EXPECT_EQ(s["mailboxes"][3]["name"], "/to_kxnet");
    EXPECT_EQ(s["endpoints"][0],
              json({{"name", "wifibt"}, {"daemon_side", true}, {"camera_side", false}}));

    kill(daemon.pid(), SIGSTOP);
    siginfo_t info{}; // the daemon is our child: wait until it has stopped
    waitid(P_PID, static_cast<id_t>(daemon.pid()), &info, WSTOPPED | WNOWAIT);
    auto stopped = kxctl({"--json", "status"});
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_EQ(jsonLines(stopped.out).at(0)["daemon"]["stopped"], true);

    kill(daemon.pid(), SIGKILL);
    daemon.waitExit(5000);
    auto killed = kxctl({"--json", "status"});
    EXPECT_EQ(killed.exitCode, 3);
    EXPECT_EQ(jsonLines(killed.out).at(0)["daemon"]["running"], false);
    EXPECT_EQ(jsonLines(killed.out).at(0)["mailboxes"][3]["exists"], true) << "they outlive it";
}

// A script starts the daemon, whose parent returns before the mailboxes
// exist, and waits with status --wait before its first call.
TEST_F(KxctlStatus, WaitEndsWhenADaemonServesAllEightOrIsThree)
{
    EXPECT_EQ(kxctl({"status", "--wait", "0.2"}).exitCode, 3) << "none comes";
    Background waiting({"--json", "status", "--wait", "10"});
    usleep(300 * 1000); // it is waiting by now, before any mailbox exists
    startDaemon({"-s"});
    EXPECT_EQ(waiting.wait(), 0);
    json s = jsonLines(kxtest::readFd(waiting.out)).at(0);
    EXPECT_EQ(s["daemon"]["pid"], daemon.pid());
    for (const json &box : s["mailboxes"])
        EXPECT_EQ(box["exists"], true) << box;
    EXPECT_EQ(kxctl({"status", "--wait", "-1"}).exitCode, 2);
}

TEST_F(KxctlStatus, RefusalIsFiveAndTimeoutFour)
{
    startDaemon({"-s"});
    auto refused = kxctl({"call", "tm"});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_EQ(refused.out.find("\033["), std::string::npos) << "no colour into a file";
    EXPECT_EQ(kxctl({"listen", "-C", "1"}).exitCode, 0) << "the start-up canvas";
    EXPECT_EQ(kxctl({"listen", "-t", "0.3"}).exitCode, 4);
    // "DB" takes both words little-endian; it switches the simulator off,
    // and the camera side answers nothing.
    auto camera = startCamera({"--silent"});
    auto db = kxctl({"-v", "db", "0x00281420", "0x30000000"});
    EXPECT_NE(db.out.find("arguments    20 14 28 00 00 00 00 30"), std::string::npos) << db.out;
    auto late = kxctl({"call", "cv", "-t", "0.5"});
    EXPECT_EQ(late.exitCode, 4);
    EXPECT_NE(late.err.find("no response to cv within 0.5 s"), std::string::npos) << late.err;
}

// The malformed command and the daemon's report of it, as monitor showed
// them, when the daemon ends on a command that claims 16 bytes more than it
// has. The filter passes the command itself (the trace dumps it before the
// check); the report comes whatever the filter.
std::vector<json> reportOfAMalformedCommand(kxtest::Daemon &daemon)
{
    auto monitor = followLog("--simulator", {"--code", "cv"});
    Bytes malformed = kxtest::command("cv");
    malformed[1] = static_cast<char>(malformed.size() + 16);
    EXPECT_TRUE(kxtest::post("/to_camera", malformed));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    EXPECT_TRUE(kxtest::waitUntil(5000, [&] {
        return kxtest::readFd(monitor->out).find("assertion") != std::string::npos;
    }));
    monitor->stop();
    return jsonLines(kxtest::readFd(monitor->out));
}

// A malformed command in "/to_camera" ends the daemon through its check of
// the message; its clients see only time-outs, so monitor shows the report
// as it is logged ("%b%d %H:%M:%S" stamp, then "ASSERT:file/function:line:
// condition" in red) and status shows it once the daemon is gone.
TEST_F(KxctlStatus, TheAssertionThatEndedTheDaemonIsShownByMonitorAndStatus)
{
    ASSERT_EQ(system("mkdir -p /tmp/fuse_d"), 0);
    unlink(kLogFile);
    startDaemon({"-s"});
    auto seen = reportOfAMalformedCommand(daemon);
    ASSERT_EQ(summary(seen, {"kind", "trace", "code"}),
              Args({"command >RT cv", "assertion null null"}));
    const json &report = seen[1];
    const std::string condition = "0 == tlv_validate\\(ibuf\\)";
    EXPECT_TRUE(std::regex_match(report["report"].get<std::string>(),
                                 std::regex("ASSERT:.+/main:[0-9]+:" + condition)))
        << report;
    EXPECT_EQ(kxtest::stripStamp(report["line"]), report["report"]) << "the stamp, the report";
    EXPECT_TRUE(report["time"].is_number()) << report;

    auto status = kxctl({"status"});
    EXPECT_EQ(status.exitCode, 3);
    EXPECT_EQ(kxtest::splitLines(status.out).at(0),
              "daemon       not running; last assertion logged: " +
                  report["line"].get<std::string>());
    auto asJson = kxctl({"--json", "status"});
    EXPECT_EQ(asJson.exitCode, 3);
    EXPECT_EQ(jsonLines(asJson.out).at(0)["daemon"],
              json({{"running", false}, {"assertion", report["line"]}}));
}

// A syslog file grows for as long as the machine runs: status reads its
// last MiB only, so a report further back is not shown.
TEST_F(KxctlStatus, OnlyTheLastMebibyteOfTheSyslogFileIsSearched)
{
    unlink(kLogFile);
    const char *file = "/tmp/syslog.txt";
    setenv("KX_SYSLOG_FILE", file, 1);
    // As the sandbox's receiver keeps it: the line end inside the report
    // leaves the colour reset on a line of its own.
    const std::string report = "ASSERT:kxRedIro/src/kxRedIro/main:106:0 == tlv_validate(ibuf)";
    auto logged = [&](const std::string &stamp) {
        return stamp + " kxRedIro: \033[31m" + report + "\n\033[0m\n";
    };
    std::string log = logged("Dec  8 03:40:00");
    while (log.size() < (1u << 20) + 4096)
        log += "Dec  8 03:40:01 kxRedIro: [            main:  80] a line of the trace\n";
    ASSERT_TRUE(kxtest::writeFile(file, log));
    auto before = kxctl({"--json", "status"});
    EXPECT_EQ(jsonLines(before.out).at(0)["daemon"], json({{"running", false}}));

    ASSERT_TRUE(kxtest::writeFile(file, log + logged("Dec  8 03:45:24")));
    auto after = kxctl({"--json", "status"});
    EXPECT_EQ(jsonLines(after.out).at(0)["daemon"]["assertion"],
              "Dec  8 03:45:24 kxRedIro: " + report);
    unsetenv("KX_SYSLOG_FILE");
}

// What `ls /tmp` shows in a sandbox: the names given, and the folder right
// below /tmp that holds the build when it lies there, which the sandbox
// keeps visible for its own programs.
std::string tmpListing(Args names)
{
    std::string build = kxtest::binaryDir();
    if (build.rfind("/tmp/", 0) == 0)
        names.push_back(build.substr(5, build.find('/', 5) - 5));
    std::sort(names.begin(), names.end());
    std::string line;
    for (const auto &name : names)
        line += name + " ";
    return line;
}

TEST(KxctlSandbox, DaemonStartedInsideDetachesAndEndsWithTheSandbox)
{
    ASSERT_EQ(system("mkdir -p /tmp/work/sub && touch /tmp/work/mine"), 0);
    ASSERT_EQ(chdir("/tmp/work/sub"), 0);
    auto r = kxctl({"sandbox", "--", "sh", "-c",
                    "cat /proc/sys/fs/mqueue/msg_max; echo \"$KXIPC_DIR\"; pwd; "
                    "ls -A /tmp | tr '\\n' ' '; echo; ls /tmp/work | tr '\\n' ' '; echo; "
                    // The first process returns when the daemon has detached,
                    // which then makes its mailboxes.
                    "kxRedIro -s && for i in $(seq 500); do "
                    "kxctl mailboxes > /dev/null && break; sleep 0.01; done; "
                    "kxctl --json call cm; exit 7"});
    EXPECT_EQ(r.exitCode, 7) << r.err;
    auto lines = kxtest::splitLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(Args(lines.begin(), lines.begin() + 5),
              Args({"64", "/tmp/kxipc", "/tmp/work/sub", tmpListing({"fuse_d", "work"}),
                    "mine sub "}))
        << "an empty /tmp but for the log's directory and the current one";
    EXPECT_EQ(json::parse(lines.back())["response"], "0000");
    // The test's own namespace never saw them, and the daemon is gone.
    EXPECT_FALSE(kxtest::mailboxAttr("/to_camera"));

    auto r2 = kxctl({"sandbox", "--msg-max", "50", "--", "cat", "/proc/sys/fs/mqueue/msg_max"});
    EXPECT_EQ(r2.out, "50\n") << r2.err;
}

} // namespace
