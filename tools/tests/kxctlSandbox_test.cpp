// kxctl sandbox: private mailboxes, /tmp and endpoints, and everything
// started inside ends with it.
#include "kxctltest.h"

#include <algorithm>

namespace {

using namespace kxctltest;

// What `ls /tmp | tr '\n' ' '` shows in a sandbox: the names given, and the
// folder right below /tmp that holds the build when it lies there, which
// the sandbox keeps visible for its own programs.
std::string tmpListing(std::vector<std::string> names)
{
    std::string build = KX_BINARY_DIR;
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
    auto r = kxctl({"sandbox", "--", "sh", "-c",
                    "cat /proc/sys/fs/mqueue/msg_max; echo \"$KXIPC_DIR\"; ls -A /tmp | tr '\\n' ' '; echo; "
                    // The first process returns when the daemon has detached,
                    // which then makes its mailboxes.
                    "kxRedIro -s && for i in $(seq 500); do "
                    "kxctl mailboxes > /dev/null && break; sleep 0.01; done; "
                    "kxctl mailboxes > /dev/null; echo mailboxes $?; "
                    "kxctl --json call cm"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = kxtest::splitLines(r.out);
    ASSERT_GE(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "64");
    EXPECT_EQ(lines[1], "/tmp/kxipc");
    EXPECT_EQ(lines[2], tmpListing({"fuse_d"})) << "an empty /tmp but for the log's directory";
    EXPECT_EQ(lines[3], "mailboxes 0");
    EXPECT_EQ(json::parse(lines.back())["response"], "0000");
    // The test's own namespace never saw them, and the daemon is gone.
    EXPECT_FALSE(kxtest::mailboxAttr("/to_camera"));
}

TEST(KxctlSandbox, PassesTheCommandsStatusAndTakesALimit)
{
    EXPECT_EQ(kxctl({"sandbox", "--", "sh", "-c", "exit 7"}).exitCode, 7);
    auto r = kxctl({"sandbox", "--msg-max", "50", "--", "cat", "/proc/sys/fs/mqueue/msg_max"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "50\n");
    EXPECT_EQ(kxctl({"sandbox", "--", "/nonexistent/program"}).exitCode, 127);
}

TEST(KxctlSandbox, CurrentDirectoryBelowTmpStaysVisible)
{
    ASSERT_EQ(system("mkdir -p /tmp/work/sub && touch /tmp/work/mine"), 0);
    ASSERT_EQ(chdir("/tmp/work/sub"), 0);
    auto r = kxctl({"sandbox", "--", "sh", "-c", "pwd; ls /tmp | tr '\\n' ' '; echo; ls /tmp/work"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "/tmp/work/sub\n" + tmpListing({"fuse_d", "work"}) + "\nmine\nsub\n");
}

} // namespace
