#include "kxdaemon.h"

#include "kxprogram.h"

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

std::string readWhole(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return text;
}

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
        if (pid <= 0)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = fopen(path, "r");
        if (f == nullptr)
            continue;
        int ppid = 0;
        char state = 0;
        // pid (comm) state ppid: comm may hold blanks, so skip to ") ".
        char line[512] = {};
        if (fgets(line, sizeof line, f) != nullptr) {
            const char *close = strrchr(line, ')');
            if (close != nullptr)
                sscanf(close + 1, " %c %d", &state, &ppid);
        }
        fclose(f);
        if (ppid == parent && state != 'Z') {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

} // namespace

std::string daemonPath()
{
    return programPath("kxRedIro");
}

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

std::string Daemon::out() const
{
    return readWhole(out_);
}

std::string Daemon::err() const
{
    return readWhole(err_);
}

bool waitForMailbox(const std::string &name, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (mailboxAttr(name))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::optional<mq_attr> mailboxAttr(const std::string &name)
{
    mqd_t q = mq_open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (q == static_cast<mqd_t>(-1))
        return std::nullopt;
    mq_attr attr{};
    int rc = mq_getattr(q, &attr);
    mq_close(q);
    if (rc != 0)
        return std::nullopt;
    return attr;
}

std::string freshIpcDir()
{
    static int serial;
    std::string dir = "/tmp/kxipc-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    mkdir(dir.c_str(), 0700);
    return dir;
}

} // namespace kxtest
