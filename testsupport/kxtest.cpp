#include "kxtest.h"

#include "kxLog.h"
#include "kxdaemon.h"
#include "kxemulator.h" // KX_TEST_EMULATOR
#include "kxprogram.h"
#include "namespaces.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kxtest {

namespace {

using namespace std::chrono;

// A process's state letter from /proc/PID/stat ('Z' for a zombie), 0 when
// it is gone. comm may hold blanks, so the state is read after the last ")".
char processState(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    char state = 0;
    if (close != std::string::npos)
        sscanf(stat.c_str() + close + 1, " %c", &state);
    return state;
}

// Our children, ended ones among them (a daemon that failed at once is a
// zombie we still have to reap).
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = atoi(entry.path().filename().c_str());
        // pid (comm) state ppid: comm may hold blanks, so read after the last ")".
        std::string stat = pid > 0 ? readFile(entry.path() / "stat") : "";
        size_t close = stat.rfind(')');
        int ppid = 0;
        char state = 0;
        if (close != std::string::npos &&
            sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            children.push_back(pid);
    }
    return children;
}

// Receives syslog datagrams on a thread of its own: a datagram queue holds
// only a few messages, and a process that logs must never wait for the
// test. The thread only calls recv() into preallocated slots and publishes
// them with one atomic store, so that it holds no lock that a fork() in the
// test could copy into a child in the locked state.
struct SyslogReceiver {
    static constexpr size_t kSlots = 8192, kSlotSize = 2048;
    static constexpr const char *kMark = "kxtest-mark-";
    struct Slot {
        size_t len;
        char data[kSlotSize];
    };
    int fd = -1;
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    Slot *slots = new Slot[kSlots];
    std::atomic<size_t> written{0};
    size_t read = 0, marks = 0;
};

// Never freed: its thread runs until the process ends.
SyslogReceiver &receiver()
{
    static SyslogReceiver *r = [] {
        auto *r = new SyslogReceiver;
        kxns::DevLog log = kxns::privateDevLog();
        if (log.fd < 0) {
            fprintf(stderr, "kxtest: %s\n", kxns::describe(log.error).c_str());
            abort();
        }
        r->fd = log.fd;
        std::thread([r] {
            for (size_t next = 0;; next = r->written.load(std::memory_order_relaxed)) {
                SyslogReceiver::Slot &slot = r->slots[next % SyslogReceiver::kSlots];
                ssize_t n = recv(r->fd, slot.data, SyslogReceiver::kSlotSize, 0);
                slot.len = static_cast<size_t>(n);
                if (n >= 0)
                    r->written.store(next + 1, std::memory_order_release);
            }
        }).detach();
        return r;
    }();
    return *r;
}

SyslogLine parseSyslog(const std::string &text)
{
    static const std::regex header(R"(^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^:]*): )");
    std::smatch m;
    if (!std::regex_search(text, m, header))
        return {-1, "", text};
    return {std::stoi(m[1]), m[2], m.suffix()};
}

} // namespace

// Polls done() until it is true: false when timeoutMs pass first.
bool waitUntil(int timeoutMs, const std::function<bool()> &done)
{
    for (auto deadline = steady_clock::now() + milliseconds(timeoutMs); !done();) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

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

bool setMsgMax(int value) { return !kxns::failed(kxns::setMsgMax(value)); }

const char *sourceDir()
{
    return KX_SOURCE_DIR;
}

const char *binaryDir()
{
    return KX_BINARY_DIR;
}

// The build and source trees stay visible where they lie below /tmp.
std::string enterSandbox(int msgMax)
{
    kxns::Error e = kxns::enterNamespaces(CLONE_NEWIPC | CLONE_NEWNS);
    if (!kxns::failed(e))
        e = kxns::makeMountsPrivate();
    if (!kxns::failed(e))
        e = kxns::setMsgMax(msgMax);
    kxns::raiseQueueBytes();
    if (!kxns::failed(e))
        e = kxns::privateTmp({KX_SOURCE_DIR, KX_BINARY_DIR});
    return kxns::describe(e);
}

// Everything this process (or a child it has waited for) logged before the
// call is queued ahead of a marker sent now: waiting for the marker, not for
// a quiet spell alone, keeps a receiver thread that the scheduler runs late
// from losing lines. quietMs then waits for processes that log on their own
// time.
std::vector<SyslogLine> syslogDrain(int quietMs)
{
    SyslogReceiver &r = receiver();
    std::string mark = SyslogReceiver::kMark + std::to_string(++r.marks);
    sendto(r.fd, mark.data(), mark.size(), 0, reinterpret_cast<sockaddr *>(&r.addr), sizeof r.addr);
    std::vector<SyslogLine> lines;
    bool marked = false;
    auto start = steady_clock::now(), quietSince = start;
    for (;;) {
        for (size_t now = r.written.load(std::memory_order_acquire); r.read < now; ++r.read) {
            const SyslogReceiver::Slot &slot = r.slots[r.read % SyslogReceiver::kSlots];
            std::string text(slot.data, slot.len);
            marked |= text == mark;
            if (!text.starts_with(SyslogReceiver::kMark))
                lines.push_back(parseSyslog(text));
            quietSince = steady_clock::now();
        }
        auto t = steady_clock::now();
        if ((marked || t - start > seconds(10)) && t - quietSince >= milliseconds(quietMs))
            return lines;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

// Files rather than pipes: the child may write more than a pipe holds
// before the parent reads.
ChildResult runForked(const std::function<void(int out, int err)> &child, int timeoutMs)
{
    int out = memfd_create("child-out", MFD_CLOEXEC);
    int err = memfd_create("child-err", MFD_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        child(out, err);
        fflush(nullptr);
        _exit(0);
    }
    ChildResult r;
    int status = 0;
    if (!waitUntil(timeoutMs, [&] { return waitpid(pid, &status, WNOHANG) != 0; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.exited = WIFEXITED(status);
    r.exitCode = r.exited ? WEXITSTATUS(status) : -1;
    r.out = readFd(out);
    r.err = readFd(err);
    close(out);
    close(err);
    return r;
}

ChildResult runChild(const std::function<void()> &body)
{
    return runForked(
        [&](int out, int err) {
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            body();
        },
        120000);
}

void expectAssertion(const std::function<void()> &body, const std::string &file,
                     const std::string &function, const std::string &condition)
{
    ChildResult r = runChild([&] {
        g_debug_level |= KX_DBG_STDOUT;
        body();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    std::regex report("\x1b\\[31mASSERT:" + file + "/" + function + ":[0-9]+:" + condition +
                      "\n\x1b\\[0m");
    EXPECT_TRUE(std::regex_search(r.out, report)) << r.out;
}

void execCommand(const std::vector<std::string> &line, const std::vector<std::string> &env, int in,
                 int out, int err)
{
    for (auto [from, to] :
         {std::pair{in, STDIN_FILENO}, {out, STDOUT_FILENO}, {err, STDERR_FILENO}})
        if (from >= 0)
            dup2(from, to);
    std::vector<char *> argv;
    for (const auto &a : line)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : env)
        putenv(const_cast<char *>(e.c_str()));
    execvp(argv[0], argv.data());
    perror(argv[0]);
    _exit(127);
}

std::string programPath(const std::string &name)
{
    return std::string(KX_BINARY_DIR) + "/bin/" + name;
}

// Behind the cross build's emulator and its arguments, separated by ';'.
std::vector<std::string> commandLine(const std::string &path, const std::vector<std::string> &args)
{
    std::vector<std::string> line;
    std::string list = std::string(KX_TEST_EMULATOR) + ";";
    for (size_t start = 0, end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
        if (end > start)
            line.push_back(list.substr(start, end - start));
    line.push_back(path);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

ProgramResult runProgram(const std::string &path, const std::vector<std::string> &args,
                         const std::string &input, const std::vector<std::string> &env,
                         int timeoutMs)
{
    int in = memfd_create("program-in", MFD_CLOEXEC);
    // pwrite leaves the offset at 0, where the program starts reading.
    if (pwrite(in, input.data(), input.size(), 0) != static_cast<ssize_t>(input.size()))
        perror("program input");
    auto line = commandLine(path, args);
    ProgramResult r =
        runForked([&](int out, int err) { execCommand(line, env, in, out, err); }, timeoutMs);
    close(in);
    return r;
}

std::string daemonPath() { return programPath("kxRedIro"); }

Daemon::Daemon()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    out_ = memfd_create("daemon-out", MFD_CLOEXEC);
    err_ = memfd_create("daemon-err", MFD_CLOEXEC);
}

Daemon::~Daemon()
{
    stop();
    close(out_);
    close(err_);
}

// The detached daemon is the child that was not there before: the process
// started directly has ended by then, and its child was handed to us as
// subreaper. Other children (a kxctl in the background) are no daemon.
int Daemon::start(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    if (pid_ > 0)
        stop(); // one daemon at a time: a second would read the first's mailboxes
    auto line = commandLine(daemonPath(), args);
    std::vector<pid_t> before = childrenOf(getpid());
    pid_ = 0;
    known_ = true;
    int status = runForked([&](int, int) { execCommand(line, env, -1, out_, err_); }, 60000).exitCode;
    for (pid_t child : childrenOf(getpid()))
        if (std::find(before.begin(), before.end(), child) == before.end())
            pid_ = child;
    return status;
}

// A daemon a test started on its own (to give it odd descriptors) is found
// as the child that has not ended, unless one was started or ended here.
pid_t Daemon::pid()
{
    if (!std::exchange(known_, true))
        for (pid_t child : childrenOf(getpid()))
            if (processState(child) != 'Z')
                pid_ = child;
    return pid_;
}

int Daemon::waitExit(int timeoutMs)
{
    pid_t done = 0;
    int status = 0;
    if (pid() <= 0)
        return -1;
    waitUntil(timeoutMs, [&] { return (done = waitpid(pid_, &status, WNOHANG)) != 0; });
    if (done <= 0)
        return -1;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Daemon::stop()
{
    if (pid() > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
}

std::string Daemon::out() const { return readFd(out_); }
std::string Daemon::err() const { return readFd(err_); }

bool waitForMailbox(const std::string &name, int timeoutMs)
{
    return waitUntil(timeoutMs, [&] { return mailboxAttr(name).has_value(); });
}

std::optional<mq_attr> mailboxAttr(const std::string &name)
{
    mqd_t q = mq_open(name.c_str(), O_RDONLY | O_NONBLOCK);
    mq_attr attr{};
    bool ok = q != static_cast<mqd_t>(-1) && mq_getattr(q, &attr) == 0;
    mq_close(q);
    return ok ? std::optional(attr) : std::nullopt;
}

std::string freshIpcDir()
{
    static int serial;
    std::string dir = "/tmp/kxipc-test-" + std::to_string(getpid()) + "-" +
                      std::to_string(++serial);
    mkdir(dir.c_str(), 0700);
    return dir;
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
    return std::regex_search(line, m, stamp) ? std::string(m.suffix()) : "<no timestamp>";
}

} // namespace kxtest

// main of every test program: enter the sandbox, then run the tests.
int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string err = kxtest::enterSandbox();
    if (!err.empty()) {
        fprintf(stderr, "cannot enter the test sandbox: %s\n", err.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
