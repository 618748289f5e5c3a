#include "kxdaemon.h"

#include "kxprogram.h"
#include "kxtest.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kxtest {

namespace {

using Clock = std::chrono::steady_clock;

// A child of ours other than the one we started directly, i.e. the
// detached daemon that was handed to us as subreaper.
pid_t findChild(pid_t parent)
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    pid_t found = 0;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        // pid (comm) state ppid: comm may hold blanks, so read after the last ")".
        std::string stat = pid > 0 ? readFile("/proc/" + std::to_string(pid) + "/stat") : "";
        size_t close = stat.rfind(')');
        int ppid = 0;
        char state = 0;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
            ppid == parent && state != 'Z') {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

} // namespace

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

int Daemon::start(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    fflush(nullptr);
    pid_t first = fork();
    if (first == 0)
        execCommand(commandLine(daemonPath(), args), env, -1, out_, err_);
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t Daemon::pid()
{
    if (pid_ == 0)
        pid_ = findChild(getpid());
    return pid_;
}

int Daemon::waitExit(int timeoutMs)
{
    // A daemon that has already ended is a zombie that findChild skips:
    // then any child of ours is it.
    pid_t target = pid() > 0 ? pid_ : -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int status = 0;
        pid_t done = waitpid(target, &status, WNOHANG);
        if (done < 0)
            return -1;
        if (done > 0) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void Daemon::stop()
{
    if (pid() > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::string Daemon::out() const { return readFd(out_); }
std::string Daemon::err() const { return readFd(err_); }

bool waitForMailbox(const std::string &name, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!mailboxAttr(name) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return mailboxAttr(name).has_value();
}

std::optional<mq_attr> mailboxAttr(const std::string &name)
{
    mqd_t q = mq_open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (q == static_cast<mqd_t>(-1))
        return std::nullopt;
    mq_attr attr{};
    int rc = mq_getattr(q, &attr);
    mq_close(q);
    return rc == 0 ? std::optional(attr) : std::nullopt;
}

std::string freshIpcDir()
{
    static int serial;
    std::string dir = "/tmp/kxipc-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    mkdir(dir.c_str(), 0700);
    return dir;
}

} // namespace kxtest
