// Endpoints between the daemon's side and the real-time side, checked
// through the library and, for input the library would refuse to produce
// (oversized or empty datagrams, leftover files), through raw sockets.
// Every test has a private /tmp and an endpoint directory of its own.
#include "kxipc.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool readable(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval zero{};
    return select(fd + 1, &set, nullptr, nullptr, &zero) == 1;
}

// An outside socket: sends a datagram to path, or with len < 0 binds path
// and goes away without removing the file, as a killed process would.
void rawSocket(const std::string &path, const void *data, int len)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    if (len < 0)
        EXPECT_EQ(bind(fd, sa, sizeof a), 0);
    else
        EXPECT_EQ(sendto(fd, data, static_cast<size_t>(len), 0, sa, sizeof a), len);
    close(fd);
}

mode_t modeOf(const std::string &path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

void expectNotOpen(kxIpcHdl &h)
{
    unsigned char buf[KXIPC_MSG_MAX];
    buf[0] = 0x5A;
    EXPECT_LT(kxIpcGetFd(&h), 0);
    EXPECT_LT(kxIpcSend(&h, "AB", 2), 0);
    EXPECT_EQ(kxIpcReceive(&h, buf), 0);
    EXPECT_EQ(buf[0], 0x5A);
    kxIpcClose(&h); // harmless
}

long msSince(std::chrono::steady_clock::time_point t0)
{
    auto d = std::chrono::steady_clock::now() - t0;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

class Ipc : public testing::Test {
protected:
    void SetUp() override { setenv(KXIPC_DIR_ENV, dir.c_str(), 1); }
    void openPair(const char *name = "wifibt")
    {
        ASSERT_EQ(kxIpcInit(name, &lx), 0);
        ASSERT_EQ(kxIpcRtInit(name, &rt), 0);
    }
    std::string dir = "/tmp/ipc-test";
    kxIpcHdl lx{}, rt{};
    unsigned char buf[KXIPC_MSG_MAX + 100];
};

using kxipcMessages = Ipc;
using kxipcSetup = Ipc;

TEST_F(kxipcMessages, TravelBothWaysWholeInOrderAndOnTheirOwnEndpoint)
{
    openPair();
    kxIpcHdl wcRt{};
    ASSERT_EQ(kxIpcRtInit("wifi_ctrl", &wcRt), 0);
    ASSERT_EQ(kxIpcSend(&lx, "abc", 3), 3);
    ASSERT_EQ(kxIpcSend(&lx, "hello", 5), 5);
    EXPECT_FALSE(readable(kxIpcGetFd(&wcRt)));
    EXPECT_FALSE(readable(kxIpcGetFd(&lx))) << "nothing comes back to the sender";
    ASSERT_EQ(kxIpcReceive(&rt, buf), 3);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
    ASSERT_EQ(kxIpcReceive(&rt, buf), 5);
    EXPECT_EQ(memcmp(buf, "hello", 5), 0);

    unsigned char big[KXIPC_MSG_MAX];
    for (size_t i = 0; i < sizeof big; ++i)
        big[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_EQ(kxIpcSend(&rt, big, KXIPC_MSG_MAX), KXIPC_MSG_MAX);
    ASSERT_EQ(kxIpcReceive(&lx, buf), KXIPC_MSG_MAX);
    EXPECT_EQ(memcmp(buf, big, sizeof big), 0);
}

TEST_F(kxipcMessages, LengthsOutsideOneTo1500AreRefusedBothWays)
{
    openPair();
    unsigned char big[KXIPC_MSG_MAX + 1];
    memset(big, 0x11, sizeof big);
    for (int len : {0, -1, KXIPC_MSG_MAX + 1})
        EXPECT_LT(kxIpcSend(&lx, big, len), 0) << len;
    EXPECT_FALSE(readable(kxIpcGetFd(&rt)));

    memset(buf, 0xA5, sizeof buf);
    rawSocket(dir + "/wifibt.linux", big, KXIPC_MSG_MAX + 1);
    rawSocket(dir + "/wifibt.linux", "", 0);
    EXPECT_EQ(kxIpcReceive(&lx, buf), 0);
    EXPECT_EQ(errno, EMSGSIZE);
    for (size_t i = KXIPC_MSG_MAX; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 0xA5) << "written past the message buffer at " << i;
    EXPECT_EQ(kxIpcReceive(&lx, buf), 0);
    ASSERT_EQ(kxIpcSend(&rt, "next", 4), 4);
    ASSERT_EQ(kxIpcReceive(&lx, buf), 4);
    EXPECT_EQ(memcmp(buf, "next", 4), 0);
}

TEST_F(kxipcMessages, DescriptorReadableExactlyWhileMessagesWait)
{
    openPair();
    int fd = kxIpcGetFd(&lx);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_FALSE(readable(fd));
    ASSERT_EQ(kxIpcSend(&rt, "1", 1), 1);
    ASSERT_EQ(kxIpcSend(&rt, "2", 1), 1);
    EXPECT_TRUE(readable(fd));
    ASSERT_EQ(kxIpcReceive(&lx, buf), 1);
    EXPECT_TRUE(readable(fd)) << "the second message still waits";
    ASSERT_EQ(kxIpcReceive(&lx, buf), 1);
    EXPECT_EQ(buf[0], '2');
    EXPECT_FALSE(readable(fd));
}

TEST_F(kxipcMessages, SendFailsWithoutPeerAndWaitsAreBounded)
{
    ASSERT_EQ(kxIpcInit("wifibt", &lx), 0);
    EXPECT_LT(kxIpcSend(&lx, "x", 1), 0) << "no peer file";
    rawSocket(dir + "/wifibt.rtos", nullptr, -1);
    EXPECT_LT(kxIpcSend(&lx, "x", 1), 0) << "peer file left behind";
    ASSERT_EQ(kxIpcRtInit("wifibt", &rt), 0);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kxIpcReceive(&lx, buf), 0) << "nothing was sent";
    EXPECT_GE(msSince(t0), KXIPC_WAIT_MS * 9 / 10);
    EXPECT_LT(msSince(t0), KXIPC_WAIT_MS * 3);
    int sent = 0, rc = 0;
    for (; sent < 100000 && (rc = kxIpcSend(&lx, buf, KXIPC_MSG_MAX)) > 0; ++sent)
        t0 = std::chrono::steady_clock::now();
    ASSERT_LT(rc, 0) << "a peer that never reads fills up";
    EXPECT_GE(msSince(t0), KXIPC_WAIT_MS * 9 / 10);
    EXPECT_LT(msSince(t0), KXIPC_WAIT_MS * 3);
    ASSERT_EQ(kxIpcReceive(&rt, buf), KXIPC_MSG_MAX);
    EXPECT_EQ(kxIpcSend(&lx, "again", 5), 5) << "room again after one read";
}

TEST_F(kxipcSetup, DirectoryCreatedPrivateWhenMissingDefaultWhenUnset)
{
    openPair();
    EXPECT_EQ(modeOf(dir), S_IFDIR | 0700);
    EXPECT_EQ(modeOf(dir + "/wifibt.linux"), S_IFSOCK | 0600);
    EXPECT_EQ(modeOf(dir + "/wifibt.rtos"), S_IFSOCK | 0600);
    kxIpcHdl h;
    setenv(KXIPC_DIR_ENV, (dir + "/no/parent").c_str(), 1);
    EXPECT_LT(kxIpcInit("wifibt", &h), 0);
    EXPECT_EQ(modeOf(dir + "/no"), 0u) << "parents are not created";
    expectNotOpen(h);

    unsetenv(KXIPC_DIR_ENV);
    ASSERT_EQ(kxIpcInit("helper_task", &h), 0);
    EXPECT_EQ(modeOf("/tmp/kxipc/helper_task.linux"), S_IFSOCK | 0600);
    setenv(KXIPC_DIR_ENV, "", 1);
    ASSERT_EQ(kxIpcRtInit("helper_task", &h), 0);
    EXPECT_EQ(modeOf("/tmp/kxipc/helper_task.rtos"), S_IFSOCK | 0600);
}

TEST_F(kxipcSetup, LeftoverFileReplacedAndCloseLeavesTheNewerOne)
{
    std::string path = dir + "/wifibt.linux";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(close(creat(path.c_str(), 0644)), 0);
    ASSERT_EQ(kxIpcRtInit("wifibt", &rt), 0);
    // A plain file, then the socket of a process gone without clean-up.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kxIpcInit("wifibt", &lx), 0) << round;
        EXPECT_EQ(modeOf(path), S_IFSOCK | 0600);
        ASSERT_EQ(kxIpcSend(&rt, "hi", 2), 2);
        EXPECT_EQ(kxIpcReceive(&lx, buf), 2);
        if (round == 0)
            close(kxIpcGetFd(&lx));
    }
    kxIpcHdl newer;
    ASSERT_EQ(kxIpcInit("wifibt", &newer), 0);
    kxIpcClose(&lx);
    expectNotOpen(lx);
    ASSERT_EQ(kxIpcSend(&rt, "n", 1), 1) << "the newer endpoint's file stays";
    EXPECT_EQ(kxIpcReceive(&newer, buf), 1);
    kxIpcClose(&newer);
    EXPECT_EQ(modeOf(path), 0u) << "close removes its own file";
}

TEST_F(kxipcSetup, UnusableDirectoryFailsCleanly)
{
    kxIpcHdl h;
    memset(&h, 0xFF, sizeof h); // whatever an uninitialised object holds
    ASSERT_EQ(close(creat(dir.c_str(), 0644)), 0);
    EXPECT_EQ(kxIpcInit("wifibt", &h), -ENOTDIR);
    expectNotOpen(h);
    kxIpcHdl never{};
    expectNotOpen(never);

    // Writable by others, or reached through a link: refused.
    std::string loose = dir + "w", good = dir + "g", link = dir + "l";
    ASSERT_EQ(mkdir(loose.c_str(), 0700), 0);
    ASSERT_EQ(chmod(loose.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    for (const std::string &d : {loose, link}) {
        setenv(KXIPC_DIR_ENV, d.c_str(), 1);
        EXPECT_EQ(kxIpcRtInit("wifibt", &h), -EPERM) << d;
        expectNotOpen(h);
    }
    EXPECT_EQ(modeOf(loose + "/wifibt.rtos") | modeOf(good + "/wifibt.rtos"), 0u);
}

TEST_F(kxipcSetup, HostileOrOverlongNamesAreRefused)
{
    kxIpcHdl h;
    for (const char *name : {"", "a/b", "/wifibt", "x..y", "wifibt/"}) {
        EXPECT_EQ(kxIpcInit(name, &h), -EINVAL) << name;
        expectNotOpen(h);
        EXPECT_EQ(kxIpcRtInit(name, &h), -EINVAL) << name;
    }
    EXPECT_LT(kxIpcInit(nullptr, &h), 0);
    EXPECT_EQ(modeOf(dir), 0u) << "nothing is touched for a refused name";

    // "DIR/NAME.linux" and its NUL may fill a socket address exactly.
    std::string name(sizeof(sockaddr_un::sun_path) - dir.size() - strlen("/.linux") - 1, 'n');
    openPair(name.c_str());
    ASSERT_EQ(kxIpcSend(&rt, "ok", 2), 2);
    EXPECT_EQ(kxIpcReceive(&lx, buf), 2);
    name += 'n';
    EXPECT_EQ(kxIpcInit(name.c_str(), &h), -ENAMETOOLONG);
    expectNotOpen(h);
    EXPECT_EQ(kxIpcRtInit(name.c_str(), &h), -ENAMETOOLONG) << "both sides take the same names";
}

} // namespace
