// kxctl's exit statuses, which scripts rely on: 0 success, 1 failure,
// 2 usage, 3 mailbox missing or nobody reading it, 4 timeout, 5 refused by
// the camera; the same with and without a terminal.
#include "kxctltest.h"

#include <mqueue.h>
#include <poll.h>
#include <pty.h>

namespace {

using namespace kxctltest;

// Runs kxctl with a terminal as its standard output: its exit status and
// what it wrote there.
std::pair<int, std::string> onTerminal(const std::vector<std::string> &args,
                                       const std::vector<std::string> &env = {})
{
    auto line = kxtest::commandLine(kxtest::programPath("kxctl"), args);
    int master = -1;
    fflush(nullptr);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0)
        kxtest::execCommand(line, env, -1, -1, -1);
    std::string out;
    char buf[4096];
    for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 10000) > 0;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class KxctlStatus : public KxctlTest {};

TEST_F(KxctlStatus, UsageErrorsAreTwoAndHelpIsZero)
{
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"call"},
        {"call", "cv", "--bogus"},
        {"call", "CMX"},
        {"call", "TM", "01", "--hex", "02"},
        {"call", "cv", "-t", "soon"},
        {"db", "0x1", "zz"},
        {"canvas", "-o", "x.gif"},
        {"listen", "-C", "0"},
        {"camera", "--echo", "--silent"},
    };
    for (const auto &args : wrong) {
        auto r = kxctl(args);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args) << r.err;
        EXPECT_FALSE(r.err.empty()) << testing::PrintToString(args);
    }
    // Refusals that say what was probably meant.
    const std::vector<std::pair<std::vector<std::string>, std::string>> hinted = {
        {{"cal", "cv"}, "unknown verb \"cal\"; did you mean \"call\"?"},
        {{"call", "CM", "7"}, "write 07 for the byte 7"},
        {{"send", "PW", "2"}, "write 02 for the byte 2"},
        {{"call", "UM", "abc"}, "--hex abc"},
        {{"call", "UM", "hi"}, "--string hi"},
        {{"call", "TM", "01", "02", "03"}, "TM takes 7 argument bytes, got 3"},
        {{"send", "XX"}, "XX is not a code of the camera's table"},
        {{"send", "cm", "-m", "to_kxnet"}, "/to_kxnet is the network daemon's mailbox"},
        {{"call", "cv", "-t", "-1"}, "seconds from 0 (for ever) to 86400, not -1"},
    };
    for (const auto &[args, hint] : hinted) {
        auto r = kxctl(args);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
    }
    auto version = kxctl({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("kxctl 1.", 0), 0u) << version.out;
    for (const char *verb : {"call", "send", "db", "listen", "camera", "canvas", "decode",
                             "mailboxes", "codes", "status", "sandbox"}) {
        auto r = kxctl({verb, "--help"});
        EXPECT_EQ(r.exitCode, 0) << verb;
        EXPECT_NE(r.out.find(std::string("Usage: kxctl ") + verb), std::string::npos) << r.out;
    }
}

TEST_F(KxctlStatus, CompletionAsksKxctlForCodesWithoutTheCompletionPackage)
{
    // kxctl by name, behind the emulator of a cross build.
    std::string wrapper = "exec";
    for (const auto &word : kxtest::commandLine(kxtest::programPath("kxctl"), {}))
        wrapper += " '" + word + "'";
    ASSERT_EQ(mkdir("/tmp/bin", 0700) == 0 || errno == EEXIST, true);
    ASSERT_TRUE(kxtest::writeFile("/tmp/bin/kxctl", "#!/bin/sh\n" + wrapper + " \"$@\"\n"));
    chmod("/tmp/bin/kxctl", 0700);
    std::string script = "PATH=/tmp/bin:$PATH; source " KX_SOURCE_DIR
                         "/tools/kxctl/kxctl.bash-completion; COMP_WORDS=(kxctl call T); "
                         "COMP_CWORD=2; _kxctl; echo \"${COMPREPLY[*]}\"";
    auto r = kxtest::runProgram("/bin/bash", {"--norc", "-c", script}, "", {}, 30000);
    EXPECT_EQ(r.out, "TM\n") << r.err;
}

TEST_F(KxctlStatus, MissingMailboxIsThree)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{"call", "cv"},
                                                 {"send", "cv"},
                                                 {"listen"},
                                                 {"canvas"},
                                                 {"listen", "/to_nowhere"},
                                                 {"mailboxes"}}) {
        auto r = kxctl(args);
        EXPECT_EQ(r.exitCode, 3) << testing::PrintToString(args) << r.err;
    }
    EXPECT_NE(kxctl({"call", "cv"}).err.find("/to_kxnet: no such mailbox"), std::string::npos);
    EXPECT_FALSE(kxtest::mailboxAttr("/to_kxnet")) << "kxctl creates no mailbox";
}

// "/to_camera" and "/to_kxnet" as a daemon that is gone left them.
void makeCommandAndAnswerMailboxes(long capacity)
{
    mq_attr attr{};
    attr.mq_maxmsg = capacity;
    attr.mq_msgsize = 1500;
    for (const char *name : {"/to_camera", "/to_kxnet"})
        mq_close(mq_open(name, O_RDONLY | O_CREAT, 0600, &attr));
}

TEST_F(KxctlStatus, MailboxWithoutReaderIsThree)
{
    // Mailboxes outlive the daemon: here nobody takes the command.
    makeCommandAndAnswerMailboxes(10);
    auto r = kxctl({"call", "cv", "-t", "0.3"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("no kxRedIro runs"), std::string::npos) << r.err;
}

TEST_F(KxctlStatus, SendWarnsWhenTheAnswersHaveLittleRoomLeft)
{
    makeCommandAndAnswerMailboxes(40);
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(kxtest::post("/to_kxnet", kxtest::command("LC")));
    auto warned = kxctl({"send", "cm"});
    EXPECT_EQ(warned.exitCode, 0);
    EXPECT_NE(warned.err.find("warning: /to_kxnet holds 30 of 40"), std::string::npos);
    for (int i = 30; i < 39; ++i)
        ASSERT_TRUE(kxtest::post("/to_kxnet", kxtest::command("LC")));
    EXPECT_EQ(kxctl({"send", "cm"}).exitCode, 3) << "one answer and a canvas would not fit";
    EXPECT_EQ(kxctl({"send", "cm", "--force"}).exitCode, 0);
}

TEST_F(KxctlStatus, StatusSeesTheDaemonRunningStoppedAndKilled)
{
    startDaemon({"-s"});
    auto running = kxctl({"--json", "status"});
    EXPECT_EQ(running.exitCode, 0) << running.err;
    json s = jsonLines(running.out).at(0);
    EXPECT_EQ(s["daemon"]["pid"], daemon.pid());
    EXPECT_EQ(s["daemon"]["simulator"], true);
    EXPECT_EQ(s["mailboxes"][3], json({{"name", "/to_kxnet"}, {"exists", true}, {"messages", 0},
                                       {"capacity", 40}}));
    EXPECT_EQ(s["endpoints"][0],
              json({{"name", "wifibt"}, {"daemon_side", true}, {"camera_side", false}}));

    kill(daemon.pid(), SIGSTOP);
    auto stopped = kxctl({"--json", "status"});
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_EQ(jsonLines(stopped.out).at(0)["daemon"]["stopped"], true);

    pid_t pid = daemon.pid();
    kill(pid, SIGKILL);
    daemon.waitExit(5000);
    auto killed = kxctl({"--json", "status"});
    EXPECT_EQ(killed.exitCode, 3);
    EXPECT_EQ(jsonLines(killed.out).at(0)["daemon"]["running"], false);
    EXPECT_EQ(jsonLines(killed.out).at(0)["mailboxes"][3]["exists"], true) << "they outlive it";
}

TEST_F(KxctlStatus, TimeoutIsFour)
{
    startDaemon({});
    auto camera = startCamera({"--silent"});
    EXPECT_EQ(kxctl({"call", "cm", "-t", "0.3"}).exitCode, 4);
    auto quiet = kxctl({"listen", "-t", "0.3"});
    EXPECT_EQ(quiet.exitCode, 4);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(KxctlStatus, RefusalIsFiveOnATerminalOrNot)
{
    startDaemon({"-s"});
    auto piped = kxctl({"call", "tm"});
    EXPECT_EQ(piped.exitCode, 5);
    EXPECT_EQ(piped.out.find("\033["), std::string::npos) << "no colour into a file";

    auto [status, shown] = onTerminal({"call", "tm"});
    EXPECT_EQ(status, 5);
    EXPECT_NE(shown.find("\033[31mrefused\033[0m"), std::string::npos) << shown;

    auto [plainStatus, plain] = onTerminal({"call", "tm"}, {"NO_COLOR=1"});
    EXPECT_EQ(plainStatus, 5);
    EXPECT_NE(plain.find("refused"), std::string::npos);
    EXPECT_EQ(plain.find("\033["), std::string::npos) << plain;

    EXPECT_EQ(onTerminal({"call", "cm"}).first, 0);
    EXPECT_EQ(onTerminal({"listen", "-t", "0.3"}).first, 4);
}

} // namespace
