#include "namespaces.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kxns {

namespace {

// Where the host's /dev waits, briefly, for the empty /dev to cover it.
constexpr char kHostDevAside[] = "/tmp/.kxsandbox-dev";

Error fail(const std::string &step) { return {step, errno}; }

// The host's /dev moves to /dev/.host, below a tmpfs of our own at /dev.
Error coverDev()
{
    if (mkdir(kHostDevAside, 0700) != 0 ||
        mount("/dev", kHostDevAside, nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return fail("bind /dev");
    if (mount("kxdev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        return fail("mount /dev");
    if (mkdir("/dev/.host", 0755) != 0 ||
        mount(kHostDevAside, "/dev/.host", nullptr, MS_MOVE, nullptr) != 0)
        return fail("move /dev to /dev/.host");
    rmdir(kHostDevAside);
    return {};
}

// Links, not bind mounts of single files: a terminal multiplexer's
// /dev/ptmx must find the "pts" beside it. "log" is ours, and ".host" is
// there already when the host's /dev is another sandbox's.
Error linkHostDev(std::vector<Error> &leftOut)
{
    DIR *dir = opendir("/dev/.host");
    if (dir == nullptr)
        return fail("read /dev/.host");
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "log" && name != ".host" &&
            symlink((".host/" + name).c_str(), ("/dev/" + name).c_str()) != 0)
            leftOut.push_back(fail("/dev/" + name + " left out"));
    }
    closedir(dir);
    return {};
}

Error bindDevLog(int &fd)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        chmod(addr.sun_path, 0666) == 0)
        return {};
    Error error = fail("/dev/log");
    if (fd >= 0)
        close(fd);
    fd = -1;
    return error;
}

} // namespace

DevLog privateDevLog()
{
    DevLog log;
    log.error = coverDev();
    if (!failed(log.error))
        log.error = linkHostDev(log.leftOut);
    if (!failed(log.error))
        log.error = bindDevLog(log.fd);
    return log;
}

} // namespace kxns
