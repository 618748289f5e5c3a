#include "kxtest.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kxtest {

namespace {

std::string errorText(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

bool mkdirs(const std::string &path)
{
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string enterNamespaces()
{
    constexpr int kFlags = CLONE_NEWIPC | CLONE_NEWNS;
    if (unshare(kFlags) == 0)
        return {};
    if (errno != EPERM)
        return errorText("unshare");
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | kFlags) != 0)
        return errorText("unshare with a user namespace");
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return errorText("user namespace mapping");
    return {};
}

// Mounts an empty /tmp; the build and source trees, when they lie below
// /tmp, are bound back in at the same paths.
std::string privateTmp()
{
    std::vector<std::pair<std::string, int>> keep;
    for (const char *dir : {KX_SOURCE_DIR, KX_BINARY_DIR}) {
        std::string path = dir;
        if (path.rfind("/tmp/", 0) == 0)
            keep.emplace_back(path, open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return errorText("mount /tmp");
    for (auto &[path, fd] : keep) {
        std::string from = "/proc/self/fd/" + std::to_string(fd);
        if (fd < 0 || !mkdirs(path) ||
            mount(from.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return errorText(("keep " + path).c_str());
        close(fd);
    }
    return {};
}

// An empty /dev with the few devices that programs expect, so that a
// socket can be bound at /dev/log without touching the host's /dev.
std::string privateDev()
{
    const std::string host = "/tmp/.kxtest-hostdev";
    if (!mkdirs(host) || mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return errorText("bind /dev");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return errorText("mount /dev");
    for (const char *dev : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string to = std::string("/dev/") + dev;
        std::string from = host + "/" + dev;
        int fd = open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            close(fd);
        mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr);
    }
    if (symlink("/proc/self/fd", "/dev/fd") != 0)
        return errorText("/dev/fd");
    return {};
}

// Receives syslog datagrams on a thread of its own: a datagram queue holds
// only a few messages, and a process that logs must never wait for the
// test. The thread only calls recv() into preallocated slots and publishes
// them with one atomic store, so that it holds no lock that a fork() in the
// test could copy into a child in the locked state.
class SyslogReceiver {
public:
    static SyslogReceiver &get()
    {
        static SyslogReceiver receiver;
        return receiver;
    }

    // Everything this process (or a child it has waited for) logged before
    // the call is queued ahead of a marker sent now: waiting for the marker,
    // not for a quiet spell alone, keeps a receiver thread that the
    // scheduler runs late from losing lines. quietMs then waits for
    // processes that log on their own time.
    std::vector<SyslogLine> drain(int quietMs)
    {
        using namespace std::chrono;
        std::string mark = kMark + std::to_string(++marks_);
        sendto(fd_, mark.data(), mark.size(), 0, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_);
        std::vector<SyslogLine> lines;
        bool marked = false;
        auto start = steady_clock::now(), quietSince = start;
        for (;;) {
            size_t now = written_.load(std::memory_order_acquire);
            for (; read_ < now; ++read_, quietSince = steady_clock::now()) {
                std::string text(slots_[read_ % kSlots].data, slots_[read_ % kSlots].len);
                marked |= text == mark;
                if (text.rfind(kMark, 0) != 0)
                    lines.push_back(parse(text));
            }
            auto t = steady_clock::now();
            if ((marked || t - start > seconds(10)) && t - quietSince >= milliseconds(quietMs))
                return lines;
            std::this_thread::sleep_for(milliseconds(2));
        }
    }

private:
    static constexpr size_t kSlots = 8192;
    static constexpr size_t kSlotSize = 2048;
    struct Slot {
        size_t len;
        char data[kSlotSize];
    };

    SyslogReceiver() : slots_(new Slot[kSlots])
    {
        std::string err = privateDev();
        if (!err.empty()) {
            fprintf(stderr, "kxtest: %s\n", err.c_str());
            abort();
        }
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr_.sun_family = AF_UNIX;
        strcpy(addr_.sun_path, "/dev/log");
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0) {
            perror("kxtest: /dev/log");
            abort();
        }
        std::thread([this] { receive(); }).detach();
        while (!running_.load(std::memory_order_acquire))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    [[noreturn]] void receive()
    {
        running_.store(true, std::memory_order_release);
        for (;;) {
            size_t next = written_.load(std::memory_order_relaxed);
            Slot &slot = slots_[next % kSlots];
            ssize_t n = recv(fd_, slot.data, kSlotSize, 0);
            if (n < 0)
                continue;
            slot.len = static_cast<size_t>(n);
            written_.store(next + 1, std::memory_order_release);
        }
    }

    static SyslogLine parse(const std::string &text)
    {
        static const std::regex header(R"(^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^:]*): )");
        SyslogLine line;
        std::smatch m;
        if (std::regex_search(text, m, header)) {
            line.priority = std::stoi(m[1]);
            line.ident = m[2];
            line.message = m.suffix();
        } else {
            line.message = text;
        }
        return line;
    }

    static constexpr const char *kMark = "kxtest-mark-";
    int fd_ = -1;
    sockaddr_un addr_{};
    size_t marks_ = 0;
    Slot *slots_;
    std::atomic<size_t> written_{0};
    std::atomic<bool> running_{false};
    size_t read_ = 0;
};

} // namespace

bool writeFile(const std::string &path, const std::string &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

std::string readFd(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

std::string readFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text = fd < 0 ? "" : readFd(fd);
    close(fd);
    return text;
}

bool setMsgMax(int value) { return writeFile("/proc/sys/fs/mqueue/msg_max", std::to_string(value)); }

std::string enterSandbox(int msgMax)
{
    std::string err = enterNamespaces();
    if (err.empty() && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        err = errorText("make mounts private");
    if (err.empty() && !setMsgMax(msgMax))
        err = errorText("fs.mqueue.msg_max");
    if (err.empty())
        err = privateTmp();
    return err;
}

ChildResult runChild(const std::function<void()> &body)
{
    ChildResult result;
    // Files rather than pipes: the child may write more than a pipe holds
    // before the parent reads.
    int out = memfd_create("child-out", MFD_CLOEXEC);
    int err = memfd_create("child-err", MFD_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        body();
        fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = readFd(out);
    result.err = readFd(err);
    close(out);
    close(err);
    return result;
}

FdCapture::FdCapture(int fd) : fd_(fd)
{
    fflush(nullptr);
    file_ = memfd_create("capture", MFD_CLOEXEC);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

FdCapture::~FdCapture()
{
    if (saved_ >= 0)
        stop();
}

std::string FdCapture::stop()
{
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::string text = readFd(file_);
    close(file_);
    return text;
}

std::vector<SyslogLine> syslogDrain(int quietMs) { return SyslogReceiver::get().drain(quietMs); }

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string stripStamp(const std::string &line)
{
    static const std::regex stamp(R"(^[A-Z][a-z]{2}\d\d \d\d:\d\d:\d\d )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp))
        return "<no timestamp>";
    return m.suffix();
}

} // namespace kxtest
