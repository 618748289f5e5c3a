// The namespace steps of kxctl sandbox and the test programs, each taken in
// a forked child (the test program itself already runs in private IPC and
// mount namespaces, kxtest's): what the child sees is printed and compared
// here.
#include "kxtest.h"
#include "namespaces.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <mqueue.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string msgMax() { return kxtest::readFile("/proc/sys/fs/mqueue/msg_max"); }

// The names in a directory, sorted and separated by blanks; "-" when it
// cannot be read.
std::string listing(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return "-";
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto &name : names)
        text += (text.empty() ? "" : " ") + name;
    return text;
}

// "0 65534 1" from the kernel's aligned columns.
std::string mapOf(const std::string &path)
{
    std::istringstream in(kxtest::readFile(path));
    std::string inside, outside, count;
    in >> inside >> outside >> count;
    return inside + " " + outside + " " + count;
}

TEST(NamespacesDescribe, NamesTheStepAndTheReason)
{
    struct Case {
        kxns::Error error;
        std::string text;
    };
    for (const Case &c : {Case{{"", 0}, ""},
                          Case{{"mount /tmp", ENOENT}, "mount /tmp: No such file or directory"},
                          Case{{"/dev/log", EACCES}, "/dev/log: Permission denied"},
                          Case{{"unshare", EINVAL}, "unshare: Invalid argument"}}) {
        EXPECT_EQ(kxns::failed(c.error), !c.text.empty()) << c.text;
        EXPECT_EQ(kxns::describe(c.error), c.text);
    }
}

// The kernel takes 1 to 65536 (HARD_MSGMAX) and keeps the old value when it
// refuses one.
TEST(NamespacesMsgMax, SetWithinTheKernelsBoundsRefusedOutside)
{
    struct Case {
        int value;
        int code;          // errno, 0 when taken
        std::string after; // what the file then reads
    };
    for (const Case &c : {Case{1, 0, "1\n"}, Case{10, 0, "10\n"}, Case{0, EINVAL, "10\n"},
                          Case{65536, 0, "65536\n"}, Case{65537, EINVAL, "65536\n"},
                          Case{-1, EINVAL, "65536\n"}, Case{64, 0, "64\n"}}) {
        kxns::Error e = kxns::setMsgMax(c.value);
        EXPECT_EQ(e.code, c.code) << c.value;
        EXPECT_EQ(e.step, c.code == 0 ? "" : "raise fs.mqueue.msg_max") << c.value;
        EXPECT_EQ(msgMax(), c.after) << c.value;
    }
}

// A new IPC namespace starts with the kernel's default msg_max (10) and
// mailboxes of its own, which end with it.
TEST(NamespacesEnter, NewIpcNamespaceHasItsOwnMailboxes)
{
    ASSERT_TRUE(kxtest::setMsgMax(kxtest::kSandboxMsgMax));
    auto r = kxtest::runChild([] {
        kxns::Error e = kxns::enterNamespaces(CLONE_NEWIPC);
        mq_attr attr{};
        attr.mq_maxmsg = 4;
        attr.mq_msgsize = 64;
        mqd_t q = mq_open("/kxns-test", O_CREAT | O_RDWR, 0600, &attr);
        printf("%s|%s|%d\n", kxns::describe(e).c_str(), msgMax().c_str(), q >= 0);
    });
    EXPECT_EQ(r.out, "|10\n|1\n") << r.err;
    EXPECT_EQ(msgMax(), "64\n");
    EXPECT_EQ(mq_open("/kxns-test", O_RDONLY), static_cast<mqd_t>(-1));
    EXPECT_EQ(errno, ENOENT);
}

TEST(NamespacesEnter, InvalidFlagIsTheUnsharesError)
{
    auto r = kxtest::runChild([] {
        kxns::Error e = kxns::enterNamespaces(CLONE_PARENT);
        printf("%s|%d\n", e.step.c_str(), e.code);
    });
    EXPECT_EQ(r.out, "unshare|" + std::to_string(EINVAL) + "\n");
}

// Whether this machine lets an ordinary user make a user namespace.
bool userNamespacesForUsers()
{
    for (const char *path : {"/proc/sys/kernel/unprivileged_userns_clone",
                             "/proc/sys/kernel/apparmor_restrict_unprivileged_userns"}) {
        std::string value = kxtest::readFile(path);
        bool off = std::string(path).find("restrict") != std::string::npos ? value == "1\n"
                                                                           : value == "0\n";
        if (off)
            return false;
    }
    return kxtest::readFile("/proc/sys/user/max_user_namespaces") != "0\n";
}

// One thread: the kernel grants a user namespace to no other process (a
// test under qemu-user has the emulator's thread too).
bool singleThreaded()
{
    return kxtest::readFile("/proc/self/status").find("\nThreads:\t1\n") != std::string::npos;
}

// An ordinary user (uid 65534, gid 65533) becomes root of a new user
// namespace mapped to itself, and the namespaces asked for (here a new IPC
// namespace, with the kernel's default msg_max) are entered in it. Root of
// the machine can show it; as itself it could not.
TEST(NamespacesEnter, OrdinaryUserIsMappedToRootInside)
{
    if (!userNamespacesForUsers())
        GTEST_SKIP() << "this machine grants no user namespace to an ordinary user";
    auto r = kxtest::runChild([] {
        if (setgroups(0, nullptr) != 0 || setresgid(65533, 65533, 65533) != 0 ||
            setresuid(65534, 65534, 65534) != 0 || !singleThreaded()) {
            printf("skip\n");
            return;
        }
        prctl(PR_SET_DUMPABLE, 1); // so that our /proc/self stays ours to write
        kxns::Error e = kxns::enterNamespaces(CLONE_NEWIPC | CLONE_NEWNS);
        printf("%s|%d %d|%s|%s|%s%s", kxns::describe(e).c_str(), getuid(), getgid(),
               mapOf("/proc/self/uid_map").c_str(), mapOf("/proc/self/gid_map").c_str(),
               kxtest::readFile("/proc/self/setgroups").c_str(), msgMax().c_str());
    });
    if (r.out == "skip\n")
        GTEST_SKIP() << "not root of the machine, or more than one thread";
    EXPECT_EQ(r.out, "|0 0|0 65534 1|0 65533 1|deny\n10\n") << r.err;
}

// How many mounts stand at prefix or below it (the fifth field of
// mountinfo is where a mount stands).
int mountsAt(const std::string &prefix)
{
    std::istringstream in(kxtest::readFile("/proc/self/mountinfo"));
    int count = 0;
    std::string id, parent, device, root, at, rest;
    while (in >> id >> parent >> device >> root >> at && std::getline(in, rest))
        count += at.rfind(prefix, 0) == 0;
    return count;
}

// A child in a mount namespace of its own lays out /tmp/kxns (b is a
// mount of its own), keeps what it is told, and prints what is then to be
// seen, how many mounts that made, and what a file written through a kept
// directory holds outside.
std::string keptView(const std::vector<std::string> &keep)
{
    auto r = kxtest::runChild([&] {
        if (unshare(CLONE_NEWNS) != 0)
            return;
        for (const char *dir : {"/tmp/kxns", "/tmp/kxns/a", "/tmp/kxns/b", "/tmp/other"})
            mkdir(dir, 0755);
        kxtest::writeFile("/tmp/kxns/a/f", "");
        if (mount("kxns-b", "/tmp/kxns/b", "tmpfs", 0, nullptr) != 0)
            return;
        kxtest::writeFile("/tmp/kxns/b/g", "");
        int before = mountsAt("/tmp/kxns");
        kxns::Error e = kxns::privateTmp(keep);
        kxtest::writeFile("/tmp/kxns/a/through", "kept\n");
        printf("%s|%s|%s|%s|%s|%d", kxns::describe(e).c_str(), listing("/tmp").c_str(),
               listing("/tmp/kxns").c_str(), listing("/tmp/kxns/a").c_str(),
               listing("/tmp/kxns/b").c_str(), mountsAt("/tmp/kxns") - before);
    });
    std::string through = kxtest::readFile("/tmp/kxns/a/through");
    unlink("/tmp/kxns/a/through");
    return r.out + "|" + through;
}

// Kept whole, with the mounts below them; the first directory that cannot
// be kept ends it.
TEST(NamespacesTmp, EmptyButForTheDirectoriesKept)
{
    struct Case {
        std::vector<std::string> keep;
        std::string view; // error|/tmp|/tmp/kxns|a|b|mounts made|written through a
    };
    const std::string none = "keep /tmp/kxns/none: No such file or directory||-|-|-|0|";
    const std::vector<Case> cases = {
        {{}, "||-|-|-|0|"},
        {{"/tmp/kxns"}, "|kxns|a b|f through|g|2|kept\n"},
        {{"/tmp/kxns/a"}, "|kxns|a|f through|-|1|kept\n"},
        {{"/tmp/kxns/a", "/tmp/kxns/a", "/usr", "/tmp", "/tmp/"}, "|kxns|a|f through|-|1|kept\n"},
        {{"/tmp/kxns/a", "/tmp/kxns/b"}, "|kxns|a b|f through|g|2|kept\n"},
        {{"/tmp/kxns/b"}, "|kxns|b|-|g|1|"},
        {{"/tmp/kxns/none"}, none},
        {{"/tmp/kxns/none", "/tmp/kxns/a"}, none},
    };
    for (const auto &c : cases)
        EXPECT_EQ(keptView(c.keep), c.view) << ::testing::PrintToString(c.keep);
}

// What /dev looks like after privateDevLog: the error, the entries left
// out, /dev/log's type and mode, where a few entries lead, and whether a
// datagram sent to /dev/log reaches the socket.
std::string devView()
{
    kxns::DevLog log = kxns::privateDevLog();
    struct stat st {};
    bool socketAt = stat("/dev/log", &st) == 0 && S_ISSOCK(st.st_mode);
    std::string view = kxns::describe(log.error) + "|" + std::to_string(log.leftOut.size()) +
                       "|" + (socketAt ? "socket " : "none ") + std::to_string(st.st_mode & 0777);
    for (const char *name : {"null", "urandom", "fd", ".host"}) {
        char target[256] = "";
        ssize_t n = readlink(("/dev/" + std::string(name)).c_str(), target, sizeof target - 1);
        view += "|" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    int client = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    sendto(client, "hello", 5, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    char got[16] = "";
    ssize_t n = recv(log.fd, got, sizeof got, MSG_DONTWAIT);
    view += "|" + std::string(got, n > 0 ? static_cast<size_t>(n) : 0);
    view += "|" + std::to_string(fcntl(log.fd, F_GETFD) & FD_CLOEXEC);
    return view + "|" + std::to_string(kxtest::writeFile("/dev/null", "x"));
}

// 438 is 0666: anyone in the sandbox may log.
const std::string kDevSeen = "|0|socket 438|.host/null|.host/urandom|.host/fd||hello|1|1";

TEST(NamespacesDev, OwnDevLogAndLinksIntoTheHostsDev)
{
    auto r = kxtest::runChild([] {
        if (unshare(CLONE_NEWNS) == 0)
            printf("%s\n", devView().c_str());
    });
    EXPECT_EQ(r.out, kDevSeen + "\n") << r.err;
    struct stat st {};
    EXPECT_NE(lstat("/dev/.host", &st), 0) << "the test's own /dev is untouched";
}

// Inside a sandbox, the /dev to link into is the outer sandbox's, which has
// a .host of its own: not an entry to link, and no warning.
TEST(NamespacesDev, SandboxInsideASandbox)
{
    auto r = kxtest::runChild([] {
        if (unshare(CLONE_NEWNS) != 0)
            return;
        kxns::DevLog outer = kxns::privateDevLog();
        printf("%s\n", kxns::describe(outer.error).c_str());
        if (unshare(CLONE_NEWNS) == 0)
            printf("%s\n", devView().c_str());
    });
    EXPECT_EQ(r.out, "\n" + kDevSeen + "\n") << r.err;
}

} // namespace
