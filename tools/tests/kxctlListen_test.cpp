// kxctl listen: every message of a mailbox as it comes, a given number of
// them, or until it is quiet; a closed pipe ends it quietly.
#include "kxctltest.h"

namespace {

using namespace kxctltest;
using kxtest::command;

class KxctlListen : public KxctlTest {
protected:
    void SetUp() override
    {
        KxctlTest::SetUp();
        startDaemon({"-s"});
    }
};

TEST_F(KxctlListen, CountTakesThatManyAndLeavesTheRest)
{
    // On "/to_kxnet": the answer to cm, the start-up canvas, the answer to pv.
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    ASSERT_TRUE(kxtest::post("/to_camera", command("pv")));
    ASSERT_TRUE(kxtest::waitForMailbox("/to_kxnet"));
    auto r = kxctl({"listen", "-C", "2", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["code"], "cm");
    EXPECT_EQ(lines[0]["channel"], "/to_kxnet");
    EXPECT_EQ(lines[1]["code"], "LC");
    auto rest = kxtest::take("/to_kxnet");
    ASSERT_TRUE(rest);
    EXPECT_EQ(kxtest::valueOf(*rest, 'A'), "pv");
}

TEST_F(KxctlListen, ListensOnAnyMailboxAndShowsEachMessageAsItComes)
{
    auto listener =
        std::make_unique<Background>(std::vector<std::string>{"listen", "to_ath", "--json"});
    ASSERT_TRUE(kxtest::post("/to_ath", command("HR", {}, "/to_ath", "/to_ath")));
    // Flushed at once: the line is there while kxctl still runs.
    std::string out;
    for (int i = 0; i < 500 && out.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        out = Background::read(listener->out);
    }
    auto lines = jsonLines(out);
    ASSERT_EQ(lines.size(), 1u) << out;
    EXPECT_EQ(lines[0]["channel"], "/to_ath");
    EXPECT_EQ(lines[0]["code"], "HR");
    EXPECT_EQ(listener->stop(), 0) << "SIGTERM ends it normally";
}

struct Ended {
    int status = 0;
    std::string err;
};

// Runs kxctl with standard output into a pipe whose reader has gone.
Ended withClosedPipe(const std::vector<std::string> &args, const std::string &input = {})
{
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    int in = memfd_create("in", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    auto line = kxtest::commandLine(kxtest::programPath("kxctl"), args);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        kxtest::execCommand(line, {}, in, pipeFds[1], err);
    close(pipeFds[1]);
    Ended ended;
    waitpid(pid, &ended.status, 0);
    ended.err = Background::read(err);
    close(in);
    close(err);
    return ended;
}

TEST_F(KxctlListen, ClosedPipeEndsItQuietlyWithoutTakingAMessage)
{
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    Ended listen = withClosedPipe({"listen"});
    ASSERT_TRUE(WIFEXITED(listen.status)) << "not killed by SIGPIPE";
    EXPECT_EQ(WEXITSTATUS(listen.status), 0);
    EXPECT_EQ(listen.err, "");
    auto kept = kxtest::take("/to_kxnet");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kxtest::valueOf(*kept, 'A'), "cm");

    // A verb that writes at once meets the closed pipe in its write.
    Ended decode = withClosedPipe({"decode"}, kxtest::toHex(command("cv")));
    ASSERT_TRUE(WIFEXITED(decode.status)) << "not killed by SIGPIPE";
    EXPECT_EQ(WEXITSTATUS(decode.status), 0);
    EXPECT_EQ(decode.err, "");
}

} // namespace
