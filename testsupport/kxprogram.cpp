#include "kxprogram.h"

#include "kxemulator.h" // KX_TEST_EMULATOR

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kxtest {

namespace {

// The cross build's emulator and its arguments, separated by ';'.
std::vector<std::string> emulator()
{
    std::vector<std::string> parts;
    std::string list = KX_TEST_EMULATOR;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            parts.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string readFrom(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

int waitFor(pid_t pid, int timeoutMs, bool &timedOut)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status;
}

} // namespace

void execCommand(const std::vector<std::string> &line, const std::vector<std::string> &env, int in,
                 int out, int err)
{
    for (auto [from, to] : {std::pair{in, STDIN_FILENO}, {out, STDOUT_FILENO}, {err, STDERR_FILENO}})
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

std::vector<std::string> commandLine(const std::string &path, const std::vector<std::string> &args)
{
    std::vector<std::string> line = emulator();
    line.push_back(path);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

ProgramResult runProgram(const std::string &path, const std::vector<std::string> &args,
                         const std::string &input, const std::vector<std::string> &env,
                         int timeoutMs)
{
    // Files, not pipes: nothing can block on a full pipe.
    int in = memfd_create("program-in", MFD_CLOEXEC);
    int out = memfd_create("program-out", MFD_CLOEXEC);
    int err = memfd_create("program-err", MFD_CLOEXEC);
    if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        perror("program input");
    lseek(in, 0, SEEK_SET);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        execCommand(commandLine(path, args), env, in, out, err);
    ProgramResult result;
    int status = waitFor(pid, timeoutMs, result.timedOut);
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = readFrom(out);
    result.err = readFrom(err);
    close(in);
    close(out);
    close(err);
    return result;
}

} // namespace kxtest
