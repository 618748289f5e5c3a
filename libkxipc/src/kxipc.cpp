// Camera IPC endpoints on the host: each side of an endpoint is a Unix
// datagram socket bound in the endpoint directory, and a message is one
// datagram sent to the other side's path. Datagrams keep message
// boundaries, and a bound socket's descriptor is readable exactly while a
// datagram is queued on it, which is what the daemon's select loop needs.
#include "kxipc.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

static_assert(KXIPC_PATH_MAX == sizeof(sockaddr_un::sun_path),
              "handle paths must be exactly as long as a socket address allows");

namespace {

// Marks an open handle. Neither a zero-filled object nor a handle that
// init has cleared carries it.
constexpr unsigned kLive = 0x6B784950u;

constexpr const char *kLinuxSuffix = ".linux";
constexpr const char *kRtosSuffix = ".rtos";

// The state of a handle that is not open; every operation refuses it.
void clearHandle(kxIpcHdl *hdl)
{
    memset(hdl, 0, sizeof *hdl);
    hdl->fd = -1;
}

bool isOpen(const kxIpcHdl *hdl)
{
    return hdl != nullptr && hdl->live == kLive && hdl->fd >= 0;
}

// A name becomes part of a path: it must stay one entry of the endpoint
// directory, whoever supplies it.
bool nameIsSafe(const char *name)
{
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr &&
           strstr(name, "..") == nullptr;
}


// False when the path would not fit a socket address whole: a shortened
// path would silently name another endpoint.
bool composePath(char (&out)[KXIPC_PATH_MAX], const char *dir, const char *name,
                 const char *suffix)
{
    int n = snprintf(out, sizeof out, "%s/%s%s", dir, name, suffix);
    return n > 0 && static_cast<size_t>(n) < sizeof out;
}

// Whoever may write to the directory could bind the peer's name before the
// peer does and read or forge its messages.
int checkDir(const char *dir)
{
    struct stat st;
    if (lstat(dir, &st) != 0)
        return -errno;
    if (S_ISLNK(st.st_mode))
        return -EPERM; // its target can be changed under us
    if (!S_ISDIR(st.st_mode))
        return -ENOTDIR;
    bool ownerOk = st.st_uid == geteuid() || st.st_uid == 0;
    if (!ownerOk || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return -EPERM;
    return 0;
}

// Only the last component is created: a missing parent means a mistyped
// directory more often than one that should be made.
int ensureDir(const char *dir)
{
    int err = checkDir(dir);
    if (err != -ENOENT)
        return err;
    if (mkdir(dir, 0700) != 0 && errno != EEXIST)
        return -errno;
    return checkDir(dir);
}

socklen_t fillAddr(sockaddr_un &addr, const char *path)
{
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path); // fits: composePath has checked it
    memcpy(addr.sun_path, path, len + 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
}

// A peer that stops reading, or a caller that receives when nothing comes,
// must not hang its process for good.
bool setWaits(int fd)
{
    timeval tv{};
    tv.tv_sec = KXIPC_WAIT_MS / 1000;
    tv.tv_usec = (KXIPC_WAIT_MS % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// Binds a new socket at path, replacing a file left there. The socket's
// mode is set before bind, which creates the file with it: there is no
// moment in which others may send. Returns the descriptor or -errno.
int bindAt(const char *path, struct stat *bound)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    sockaddr_un addr;
    socklen_t alen = fillAddr(addr, path);
    bool bound_ok = fchmod(fd, 0600) == 0 && setWaits(fd) &&
                    (unlink(path) == 0 || errno == ENOENT) &&
                    bind(fd, reinterpret_cast<sockaddr *>(&addr), alen) == 0 &&
                    lstat(path, bound) == 0;
    if (bound_ok)
        return fd;
    // A failure that left errno at 0 must still read as one: the caller
    // would otherwise take the handle as bound and read *bound unset.
    int err = errno != 0 ? -errno : -EIO;
    close(fd);
    return err;
}

// Both sides check both paths, so that they accept exactly the same names.
int openEndpoint(const char *name, kxIpcHdl *hdl, const char *own, const char *other)
{
    if (hdl == nullptr)
        return -EINVAL;
    clearHandle(hdl);
    if (!nameIsSafe(name))
        return -EINVAL;
    const char *dir = kxIpcDir();
    char self[KXIPC_PATH_MAX];
    char peer[KXIPC_PATH_MAX];
    if (!composePath(self, dir, name, own) || !composePath(peer, dir, name, other))
        return -ENAMETOOLONG;
    int err = ensureDir(dir);
    if (err != 0)
        return err;
    struct stat st{};
    int fd = bindAt(self, &st);
    if (fd < 0)
        return fd;
    memcpy(hdl->self, self, sizeof self);
    memcpy(hdl->peer, peer, sizeof peer);
    hdl->dev = st.st_dev;
    hdl->ino = st.st_ino;
    hdl->fd = fd;
    hdl->live = kLive;
    return 0;
}

} // namespace

extern "C" const char *const kxIpcEndpointNames[KXIPC_ENDPOINTS] = {"wifibt", "wifi_ctrl",
                                                                    "helper_task"};

extern "C" const char *kxIpcDir(void)
{
    const char *dir = getenv(KXIPC_DIR_ENV);
    return (dir != nullptr && dir[0] != '\0') ? dir : KXIPC_DIR_DEFAULT;
}

extern "C" int kxIpcInit(const char *name, kxIpcHdl *hdl)
{
    return openEndpoint(name, hdl, kLinuxSuffix, kRtosSuffix);
}

extern "C" int kxIpcRtInit(const char *name, kxIpcHdl *hdl)
{
    return openEndpoint(name, hdl, kRtosSuffix, kLinuxSuffix);
}

extern "C" int kxIpcGetFd(kxIpcHdl *hdl)
{
    return isOpen(hdl) ? hdl->fd : -EBADF;
}

// Interrupted sends are repeated: a stop and continue of the process
// interrupts a send that has a time limit even without signal handlers.
extern "C" int kxIpcSend(kxIpcHdl *hdl, const void *msg, int len)
{
    if (!isOpen(hdl))
        return -EBADF;
    // An empty datagram would read as a failed receive at the peer.
    if (msg == nullptr || len < 1)
        return -EINVAL;
    if (len > KXIPC_MSG_MAX)
        return -EMSGSIZE;
    sockaddr_un addr;
    socklen_t alen = fillAddr(addr, hdl->peer);
    ssize_t n;
    do {
        n = sendto(hdl->fd, msg, static_cast<size_t>(len), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr *>(&addr), alen);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : static_cast<int>(n);
}

// The kernel copies at most the buffer's size and flags a longer datagram
// as truncated; such a datagram is gone, and the next one is intact.
// Descriptors passed along with a datagram are refused by the missing
// control buffer: the kernel closes them.
extern "C" int kxIpcReceive(kxIpcHdl *hdl, void *buf)
{
    if (!isOpen(hdl) || buf == nullptr) {
        errno = buf == nullptr ? EINVAL : EBADF;
        return 0;
    }
    iovec iov{buf, KXIPC_MSG_MAX};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(hdl->fd, &mh, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return 0;
    if ((mh.msg_flags & MSG_TRUNC) != 0) {
        errno = EMSGSIZE;
        return 0;
    }
    if (n == 0)
        errno = ENOMSG;
    return static_cast<int>(n);
}

// A newer endpoint may have replaced our file (init replaces leftovers);
// ours is still bound, so its inode cannot have been reused meanwhile.
extern "C" void kxIpcClose(kxIpcHdl *hdl)
{
    if (!isOpen(hdl))
        return;
    struct stat st;
    if (lstat(hdl->self, &st) == 0 && st.st_dev == hdl->dev && st.st_ino == hdl->ino)
        unlink(hdl->self);
    close(hdl->fd);
    clearHandle(hdl);
}
