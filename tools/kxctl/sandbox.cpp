// sandbox: a command (by default a shell) in private IPC, mount and PID
// namespaces, so that kxRedIro and its peers can be tried without touching
// the host: the mailboxes exist only inside, fs.mqueue.msg_max is raised
// there for the 40-message mailboxes, /tmp is an empty tmpfs (the daemon's
// log file and the IPC endpoints in /tmp/kxipc live and die with it), and
// when the command ends every process started inside ends too.
//
// The daemon's syslog lines are kept in a file (KX_SYSLOG_FILE), received
// at a /dev/log of the sandbox's own.
//
// Process 1 of the sandbox is a forked kxctl that only waits: the command
// runs as its child, so that a daemon started from the command sees an
// ordinary parent and detaches (the daemon stays in the foreground when
// its parent is process 1), and the detached daemon is reaped by us.
#include "failure.h"
#include "namespaces.h"
#include "verbs.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxctl {

namespace {

constexpr char kIpcDir[] = "/tmp/kxipc";
constexpr char kLogDir[] = "/tmp/fuse_d";
// The daemon logs to syslog always; inside, a receiver of ours at /dev/log
// keeps those lines here, where kxctl monitor finds them by default.
constexpr char kSyslogFile[] = "/tmp/fuse_d/syslog.txt";

[[noreturn]] void die(const kxns::Error &e)
{
    fprintf(stderr, "kxctl sandbox: %s\n", kxns::describe(e).c_str());
    _exit(kExitFailure);
}

void orDie(const kxns::Error &e)
{
    if (kxns::failed(e))
        die(e);
}

// As root directly; otherwise inside a new user namespace in which we are
// root, mapped to ourselves.
void enterNamespaces()
{
    kxns::Error e = kxns::enterNamespaces(CLONE_NEWIPC | CLONE_NEWNS | CLONE_NEWPID);
    if (kxns::failed(e))
        throw Failure(kExitFailure, kxns::describe(e));
}

// "/tmp/a/b" -> "/tmp/a": the directory below /tmp that holds path, which
// stays visible in the sandbox.
std::string topBelowTmp(const std::string &path)
{
    if (path.rfind("/tmp/", 0) != 0)
        return {};
    size_t end = path.find('/', 5);
    return path.substr(0, end);
}

std::string selfDirectory()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string self(path, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/'));
}

std::string currentDirectory()
{
    char path[4096];
    return getcwd(path, sizeof path) != nullptr ? path : "/";
}

// One line a datagram: without its "<priority>", with one line end.
void keepSyslog(int sock, int file)
{
    std::array<char, 8192> buf;
    for (;;) {
        ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            _exit(kExitFailure);
        std::string_view line(buf.data(), static_cast<size_t>(n));
        if (line.size() > 1 && line[0] == '<' && line.find('>') != std::string_view::npos)
            line.remove_prefix(line.find('>') + 1);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\0'))
            line.remove_suffix(1);
        std::string text = std::string(line) + "\n";
        if (write(file, text.data(), text.size()) < 0)
            _exit(kExitFailure);
    }
}

// The receiver is a child of process 1 and ends with the sandbox.
kxns::Error startSyslog()
{
    kxns::DevLog log = kxns::privateDevLog();
    for (const auto &e : log.leftOut)
        fprintf(stderr, "kxctl sandbox: %s\n", kxns::describe(e).c_str());
    if (log.fd < 0)
        return log.error;
    kxns::Error error;
    int file = open(kSyslogFile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t receiver = file < 0 ? -1 : fork();
    if (receiver == 0)
        keepSyslog(log.fd, file);
    if (receiver < 0)
        error = {file < 0 ? kSyslogFile : "fork", errno};
    close(log.fd);
    if (file >= 0)
        close(file);
    return error;
}

// Process 1's surroundings: our mounts stay ours, a /proc of our own for
// ps and kill, the raised limits, the private /tmp.
void prepareInside(const SandboxOptions &o, const std::vector<std::string> &keep)
{
    orDie(kxns::makeMountsPrivate());
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fprintf(stderr, "kxctl sandbox: no /proc of its own (%s); ps shows the host's processes\n",
                strerror(errno));
    orDie(kxns::setMsgMax(o.msgMax));
    kxns::raiseQueueBytes();
    orDie(kxns::privateTmp(keep));
    mkdir(kLogDir, 0755);
    kxns::Error syslog = startSyslog();
    if (!kxns::failed(syslog))
        setenv(kSyslogEnv, kSyslogFile, 1);
    else
        fprintf(stderr, "kxctl sandbox: no syslog of its own (%s)\n", strerror(syslog.code));
}

void setEnvironment(const std::string &selfDir)
{
    setenv("KXIPC_DIR", kIpcDir, 1);
    const char *path = getenv("PATH");
    if (!selfDir.empty())
        setenv("PATH", (selfDir + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
}

[[noreturn]] void execCommand(const SandboxOptions &o, const std::string &cwd)
{
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    if (chdir(cwd.c_str()) != 0 && chdir("/") != 0)
        die({"chdir", errno});
    std::vector<std::string> line = o.command;
    if (line.empty()) {
        const char *shell = getenv("SHELL");
        line.push_back(shell != nullptr && *shell != '\0' ? shell : "/bin/sh");
        fprintf(stderr,
                "kxctl sandbox: private mailboxes (msg_max %d), /tmp and %s; exit to leave\n",
                o.msgMax, kIpcDir);
        if (getenv(kSyslogEnv) != nullptr)
            fprintf(stderr, "kxctl sandbox: the daemon's syslog goes to %s (%s)\n", kSyslogFile,
                    kSyslogEnv);
    }
    std::vector<char *> argv;
    for (auto &a : line)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "kxctl sandbox: %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

int statusOf(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Read by the signal handlers; 0 until the fork has given them a process.
volatile sig_atomic_t g_command = 0;

void forwardToCommand(int sig)
{
    if (g_command > 0)
        kill(g_command, sig);
}

// Process 1: starts the command, reaps every orphan (the detached daemon
// too) and leaves with the command's status, which ends the namespace and
// every process still in it.
[[noreturn]] void runInit(const SandboxOptions &o, const std::vector<std::string> &keep,
                          const std::string &cwd)
{
    prepareInside(o, keep);
    setEnvironment(selfDirectory());
    // The terminal's signals reach the command directly; SIGTERM and
    // SIGHUP from outside are passed on to it.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTERM, forwardToCommand);
    signal(SIGHUP, forwardToCommand);
    pid_t command = fork();
    if (command < 0)
        die({"fork", errno});
    if (command == 0)
        execCommand(o, cwd);
    g_command = command;
    for (;;) {
        int wstatus = 0;
        pid_t done = waitpid(-1, &wstatus, 0);
        if (done == command)
            _exit(statusOf(wstatus));
        if (done < 0 && errno == ECHILD)
            _exit(kExitFailure);
    }
}

volatile sig_atomic_t g_init = 0;

void forwardToInit(int sig)
{
    if (g_init > 0)
        kill(g_init, sig);
}

} // namespace

int runSandbox(const SandboxOptions &o)
{
    std::string cwd = currentDirectory();
    std::vector<std::string> keep = {topBelowTmp(cwd), topBelowTmp(selfDirectory())};
    keep.insert(keep.end(), o.keep.begin(), o.keep.end());
    enterNamespaces();
    fflush(nullptr);
    pid_t init = fork();
    if (init < 0)
        throw Failure(kExitFailure, std::string("fork: ") + strerror(errno));
    if (init == 0)
        runInit(o, keep, cwd);
    g_init = init;
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTERM, forwardToInit);
    signal(SIGHUP, forwardToInit);
    int wstatus = 0;
    while (waitpid(init, &wstatus, 0) < 0 && errno == EINTR) {
    }
    // Our new children would belong to the PID namespace whose process 1
    // has ended, and no process can be made there any more: leave without
    // the at-exit work that might try (a sanitizer's leak check does).
    fflush(nullptr);
    _exit(statusOf(wstatus));
}

} // namespace kxctl
