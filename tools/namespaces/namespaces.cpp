#include "namespaces.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxns {

namespace {

Error fail(const std::string &step) { return {step, errno}; }

// For the files of /proc, which exist already and take one write.
bool writeText(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

void makeDirs(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

struct Kept {
    std::string path;
    int fd = -1;
    int code = 0; // errno of a failed open
};

// Opened while the old /tmp is still in view, in our own mount namespace:
// a bind mount takes its source only from there.
std::vector<Kept> openKept(const std::vector<std::string> &keep)
{
    std::vector<Kept> kept;
    for (const auto &path : keep) {
        bool seen = false;
        for (const auto &k : kept)
            seen = seen || k.path == path;
        if (seen || path.size() <= 5 || path.rfind("/tmp/", 0) != 0)
            continue;
        int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        kept.push_back({path, fd, fd < 0 ? errno : 0});
    }
    return kept;
}

void closeKept(const std::vector<Kept> &kept)
{
    for (const auto &k : kept)
        if (k.fd >= 0)
            close(k.fd);
}

Error bindKept(const Kept &k)
{
    if (k.fd < 0)
        return {"keep " + k.path, k.code};
    std::string from = "/proc/self/fd/" + std::to_string(k.fd);
    makeDirs(k.path);
    if (mount(from.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("keep " + k.path);
    return {};
}

} // namespace

std::string describe(const Error &e)
{
    return failed(e) ? e.step + ": " + strerror(e.code) : std::string();
}

Error enterNamespaces(int flags)
{
    if (unshare(flags) == 0)
        return {};
    if (errno != EPERM)
        return fail("unshare");
    std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | flags) != 0)
        return fail("unshare with a user namespace");
    if (!writeText("/proc/self/setgroups", "deny") ||
        !writeText("/proc/self/uid_map", "0 " + uid + " 1") ||
        !writeText("/proc/self/gid_map", "0 " + gid + " 1"))
        return fail("user namespace mapping");
    return {};
}

Error makeMountsPrivate()
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("make mounts private");
    return {};
}

Error setMsgMax(int value)
{
    if (!writeText("/proc/sys/fs/mqueue/msg_max", std::to_string(value)))
        return fail("raise fs.mqueue.msg_max");
    return {};
}

void raiseQueueBytes()
{
    constexpr rlim_t kWanted = 16u << 20;
    struct rlimit limit {};
    if (getrlimit(RLIMIT_MSGQUEUE, &limit) != 0 || limit.rlim_cur >= kWanted)
        return;
    struct rlimit raised = {kWanted, std::max(limit.rlim_max, kWanted)};
    if (setrlimit(RLIMIT_MSGQUEUE, &raised) != 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_MSGQUEUE, &limit);
    }
}

Error privateTmp(const std::vector<std::string> &keep)
{
    std::vector<Kept> kept = openKept(keep);
    Error error;
    if (mount("kxsandbox", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        error = fail("mount /tmp");
    for (size_t i = 0; i < kept.size() && !failed(error); ++i)
        error = bindKept(kept[i]);
    closeKept(kept);
    return error;
}

} // namespace kxns
