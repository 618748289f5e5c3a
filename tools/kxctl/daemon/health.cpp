#include "health.h"

#include "kxRedIro.h"
#include "kxipc.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <unistd.h>

namespace kxctl {

namespace {

std::string linkOf(const std::string &path)
{
    char target[512];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<pid_t> processes()
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return pids;
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid > 0 && *end == '\0' && pid != getpid())
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

// The mailboxes that the process holds open; nullopt when we may not look.
std::optional<std::set<std::string>> openMailboxes(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = opendir(dir.c_str());
    if (fds == nullptr)
        return std::nullopt;
    std::set<std::string> names;
    while (dirent *e = readdir(fds))
        if (std::string target = linkOf(dir + "/" + e->d_name); target.rfind("/to_", 0) == 0)
            names.insert(target);
    closedir(fds);
    return names;
}

time_t bootTime()
{
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;)
        if (long long btime = 0; key == "btime" && in >> btime)
            return static_cast<time_t>(btime);
    return 0;
}

// State letter and start time (clock ticks after boot) from /proc/PID/stat.
void readStat(pid_t pid, DaemonProcess &d)
{
    std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return;
    std::istringstream in(stat.substr(paren + 1));
    std::vector<std::string> f{std::istream_iterator<std::string>(in), {}};
    if (f.size() < 20)
        return;
    d.stopped = f[0] == "T" || f[0] == "t"; // f[0] is field 3, f[19] field 22
    d.started = bootTime() + static_cast<time_t>(std::stoll(f[19]) / sysconf(_SC_CLK_TCK));
}

// -s or --simulator among its arguments.
bool startedWithS(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string arg;
    bool first = true;
    while (std::getline(in, arg, '\0')) {
        if (!first && (arg == "-s" || arg == "--simulator"))
            return true;
        first = false;
    }
    return false;
}

constexpr off_t kLogTail = 1 << 20;

// The last kLogTail bytes of a file, from the first whole line on.
std::string logTail(const std::string &path)
{
    // Not to wait at a FIFO for a writer that may never come.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    off_t size = lseek(fd, 0, SEEK_END); // -1 for what is no file, such as a pipe
    off_t from = size > kLogTail ? size - kLogTail : 0;
    std::string text(size > 0 ? static_cast<size_t>(size - from) : 0, '\0');
    ssize_t n = text.empty() ? 0 : pread(fd, text.data(), text.size(), from);
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (size_t first = text.find('\n'); from > 0 && first != std::string::npos)
        text.erase(0, first + 1); // the line the cut fell into
    return text;
}

} // namespace

std::optional<kxmsg::Assertion> lastAssertionLogged(const std::vector<std::string> &files)
{
    std::optional<kxmsg::Assertion> last;
    for (const std::string &path : files) {
        if (path.empty())
            continue;
        auto found = kxmsg::lastAssertion(logTail(path));
        if (found && (!last || (found->when && last->when && *found->when > *last->when)))
            last = std::move(found);
    }
    return last;
}

std::optional<DaemonProcess> findDaemon()
{
    const std::string ours = linkOf("/proc/self/ns/ipc");
    for (pid_t pid : processes()) {
        std::string base = "/proc/" + std::to_string(pid);
        auto held = openMailboxes(pid);
        bool named = firstLine(base + "/comm") == "kxRedIro";
        bool serves = held && held->count(KXMBOXtoCAMERA) && held->count(KXMBOXtoRTOS) &&
                      linkOf(base + "/ns/ipc") == ours;
        bool foreign = named && !held;
        if (!serves && !foreign)
            continue;
        DaemonProcess d;
        d.pid = pid;
        d.foreign = foreign;
        readStat(pid, d);
        d.startedWithS = startedWithS(pid);
        return d;
    }
    return std::nullopt;
}

std::vector<EndpointState> endpointStates()
{
    // Bound names of Unix sockets are the last field of /proc/net/unix.
    std::set<std::string> bound;
    std::ifstream in("/proc/net/unix");
    for (std::string line; std::getline(in, line);)
        if (size_t at = line.rfind(' '); at != std::string::npos && line[at + 1] == '/')
            bound.insert(line.substr(at + 1));
    std::vector<EndpointState> states;
    for (const char *name : kxIpcEndpointNames) {
        std::string path = std::string(kxIpcDir()) + "/" + name;
        states.push_back({name, bound.count(path + ".linux") > 0, bound.count(path + ".rtos") > 0});
    }
    return states;
}

} // namespace kxctl
