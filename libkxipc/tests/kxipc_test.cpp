// Endpoints between the daemon's side and the real-time side, checked
// through the library and, for what the library would refuse to produce
// (oversized or empty datagrams, leftover files), through raw sockets.
// Every test has a private /tmp and an endpoint directory of its own.
#include "kxipc.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const std::string kDir = "/tmp/ipc-test";

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// A datagram from outside; with len < 0 a socket bound at path and left
// behind, as by a killed process.
void rawSocket(const std::string &path, const void *data, int len)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{AF_UNIX, {}};
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    EXPECT_EQ(len < 0 ? bind(fd, sa, sizeof a) : sendto(fd, data, size_t(len), 0, sa, sizeof a),
              std::max(len, 0));
    close(fd);
}

mode_t modeOf(const std::string &path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

void expectNotOpen(kxIpcHdl &h)
{
    unsigned char buf[KXIPC_MSG_MAX] = {0x5A};
    EXPECT_EQ(kxIpcGetFd(&h), -EBADF);
    EXPECT_EQ(kxIpcSend(&h, "AB", 2), -EBADF);
    EXPECT_EQ(kxIpcReceive(&h, buf), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(buf[0], 0x5A);
    kxIpcClose(&h); // harmless
}

class kxipc : public testing::Test {
protected:
    void SetUp() override { setenv(KXIPC_DIR_ENV, kDir.c_str(), 1); }
    void openPair(const char *name = "wifibt")
    {
        ASSERT_EQ(kxIpcInit(name, &lx), 0);
        ASSERT_EQ(kxIpcRtInit(name, &rt), 0);
    }
    void expectTravels(kxIpcHdl &from, kxIpcHdl &to, const void *msg, int len)
    {
        ASSERT_EQ(kxIpcSend(&from, msg, len), len);
        ASSERT_EQ(kxIpcReceive(&to, buf), len);
        EXPECT_EQ(memcmp(buf, msg, size_t(len)), 0);
    }
    kxIpcHdl lx{}, rt{};
    unsigned char buf[KXIPC_MSG_MAX + 100];
};

// Lengths outside 1 to 1500 are refused both ways; an oversized datagram
// is not written beyond the message buffer, and the next one is intact.
TEST_F(kxipc, MessagesTravelWholeInOrderOnTheirOwnEndpointAndWakeTheDescriptor)
{
    close(STDIN_FILENO); // descriptor 0 is as good as any other
    openPair();
    kxIpcHdl other{};
    ASSERT_EQ(kxIpcRtInit("wifi_ctrl", &other), 0);
    ASSERT_EQ(kxIpcGetFd(&lx), 0);
    EXPECT_EQ(fcntl(0, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ASSERT_EQ(kxIpcSend(&rt, "abc", 3), 3);
    ASSERT_EQ(kxIpcSend(&rt, "hello", 5), 5);
    EXPECT_FALSE(readable(kxIpcGetFd(&other)) || readable(kxIpcGetFd(&rt)));
    for (const char *expected : {"abc", "hello"}) {
        EXPECT_TRUE(readable(0));
        ASSERT_EQ(kxIpcReceive(&lx, buf), int(strlen(expected)));
        EXPECT_EQ(memcmp(buf, expected, strlen(expected)), 0);
    }
    EXPECT_FALSE(readable(0));
    unsigned char big[KXIPC_MSG_MAX + 1];
    for (size_t i = 0; i < sizeof big; ++i)
        big[i] = static_cast<unsigned char>(i * 7 + 1);
    expectTravels(lx, rt, big, KXIPC_MSG_MAX);
    for (int len : {0, -1, KXIPC_MSG_MAX + 1})
        EXPECT_EQ(kxIpcSend(&lx, big, len), len > 0 ? -EMSGSIZE : -EINVAL) << len;
    EXPECT_FALSE(readable(kxIpcGetFd(&rt)));
    memset(buf, 0xA5, sizeof buf);
    rawSocket(kDir + "/wifibt.linux", big, KXIPC_MSG_MAX + 1);
    rawSocket(kDir + "/wifibt.linux", "", 0);
    for (int err : {EMSGSIZE, ENOMSG}) {
        EXPECT_EQ(kxIpcReceive(&lx, buf), 0);
        EXPECT_EQ(errno, err);
    }
    for (size_t i = KXIPC_MSG_MAX; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 0xA5) << "written past the message buffer at " << i;
    expectTravels(rt, lx, "next", 4);
    EXPECT_EQ(kxIpcInit("a/b", &lx), -EINVAL);
    expectNotOpen(lx); // a refused init leaves nothing open in the handle
}

// A receive with nothing sent returns after a bounded wait; leftover files
// are replaced, and a close releases the descriptor and removes only the
// endpoint's own file.
TEST_F(kxipc, WaitsAreBoundedLeftoversReplacedAndCloseRemovesOnlyItsOwn)
{
    std::string path = kDir + "/wifibt.linux";
    ASSERT_EQ(mkdir(kDir.c_str(), 0700) | mkdir(path.c_str(), 0700), 0);
    // The lowest free descriptor, free again after a refusal.
    int free = open("/dev/null", O_RDONLY);
    close(free);
    EXPECT_LT(kxIpcInit("wifibt", &lx), 0) << "a directory is no leftover";
    EXPECT_EQ(open("/dev/null", O_RDONLY), free);
    close(free);
    ASSERT_EQ(rmdir(path.c_str()) | close(creat(path.c_str(), 0644)), 0);
    ASSERT_EQ(kxIpcInit("wifibt", &lx), 0); // over a plain file
    EXPECT_EQ(kxIpcSend(&lx, "x", 1), -ENOENT) << "no peer";
    rawSocket(kDir + "/wifibt.rtos", nullptr, -1);
    EXPECT_EQ(kxIpcSend(&lx, "x", 1), -ECONNREFUSED) << "peer file left behind";
    ASSERT_EQ(kxIpcRtInit("wifibt", &rt), 0); // over a bound socket
    using namespace std::chrono;
    auto t0 = steady_clock::now();
    EXPECT_EQ(kxIpcReceive(&lx, buf), 0);
    auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_TRUE(ms >= KXIPC_WAIT_MS * 9 / 10 && ms < KXIPC_WAIT_MS * 3) << ms;
    kxIpcHdl newer;
    ASSERT_EQ(kxIpcInit("wifibt", &newer), 0);
    int fd = kxIpcGetFd(&lx);
    kxIpcClose(&lx);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed";
    expectNotOpen(lx);
    expectTravels(rt, newer, "n", 1);
    kxIpcClose(&newer);
    EXPECT_EQ(modeOf(path), 0u);
}

// Both sides take the same names and directories: only a private one of
// ours, made when missing (its parent is not), never through a link.
TEST_F(kxipc, InitTakesOnlySafeNamesAndPrivateDirectories)
{
    std::string fits(KXIPC_PATH_MAX - kDir.size() - strlen("/.linux") - 1, 'n');
    std::string over = fits + 'n';
    ASSERT_EQ(mkdir("/tmp/ipc-0777", 0700) | mkdir("/tmp/ipc-0720", 0700), 0);
    chmod("/tmp/ipc-0777", 0777), chmod("/tmp/ipc-0720", 0720);
    close(creat("/tmp/ipc-file", 0644)), symlink(kDir.c_str(), "/tmp/ipc-link");
    struct Row {
        const char *dir, *name;
        int expected;
    } rows[] = {
        {kDir.c_str(), "", -EINVAL}, {kDir.c_str(), "a/b", -EINVAL}, {kDir.c_str(), "x..", -EINVAL},
        {kDir.c_str(), "wifibt/", -EINVAL}, {kDir.c_str(), nullptr, -EINVAL},
        {kDir.c_str(), over.c_str(), -ENAMETOOLONG}, {"/tmp/ipc-0777/no/dir", "wifibt", -ENOENT},
        {"/tmp/ipc-file", "wifibt", -ENOTDIR}, {"/tmp/ipc-0777", "wifibt", -EPERM},
        {"/tmp/ipc-0720", "wifibt", -EPERM}, {"/tmp/ipc-link", "wifibt", -EPERM},
        {kDir.c_str(), fits.c_str(), 0}, {"", "helper_task", 0}, {nullptr, "wifibt", 0},
    };
    for (const Row &row : rows) {
        row.dir ? setenv(KXIPC_DIR_ENV, row.dir, 1) : unsetenv(KXIPC_DIR_ENV);
        memset(&lx, 0xFF, sizeof lx); // whatever an uninitialised object holds
        EXPECT_EQ(kxIpcInit(row.name, &lx), row.expected) << row.dir << " " << (row.name ?: "null");
        EXPECT_EQ(kxIpcRtInit(row.name, &rt), row.expected);
        std::string dir = row.dir && *row.dir ? row.dir : KXIPC_DIR_DEFAULT;
        if (row.expected != 0) {
            expectNotOpen(lx), expectNotOpen(rt);
            EXPECT_EQ(modeOf(kDir) | modeOf("/tmp/ipc-0777/no") | modeOf(dir + "/wifibt.rtos"), 0u);
            continue;
        }
        expectTravels(rt, lx, "ok", 2);
        EXPECT_EQ(modeOf(dir), S_IFDIR | 0700u);
        for (const char *side : {".linux", ".rtos"})
            EXPECT_EQ(modeOf(dir + "/" + row.name + side), S_IFSOCK | 0600u) << side;
        kxIpcClose(&lx), kxIpcClose(&rt);
    }
}

// The directory that every side agrees on, and the three names in order.
TEST_F(kxipc, DirIsTheEnvironmentsUnlessUnsetOrEmpty)
{
    const std::pair<const char *, const char *> rows[] = {
        {"/tmp/ipc-x", "/tmp/ipc-x"}, {"", "/tmp/kxipc"}, {nullptr, "/tmp/kxipc"}};
    for (auto [env, dir] : rows) {
        env ? setenv(KXIPC_DIR_ENV, env, 1) : unsetenv(KXIPC_DIR_ENV);
        EXPECT_STREQ(kxIpcDir(), dir) << (env ?: "unset");
    }
    EXPECT_STREQ(kxIpcEndpointNames[KXIPC_EP_NET], "wifibt");
    EXPECT_STREQ(kxIpcEndpointNames[KXIPC_EP_WC], "wifi_ctrl");
    EXPECT_STREQ(kxIpcEndpointNames[KXIPC_EP_CSI], "helper_task");
}

} // namespace
