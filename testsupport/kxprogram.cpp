#include "kxprogram.h"

#include "kxemulator.h" // KX_TEST_EMULATOR
#include "kxtest.h"

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
    std::string list = std::string(KX_TEST_EMULATOR) + ";";
    for (size_t start = 0, end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
        if (end > start)
            parts.push_back(list.substr(start, end - start));
    return parts;
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

std::string programPath(const std::string &name) { return std::string(KX_BINARY_DIR) + "/bin/" + name; }

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
    result.out = readFd(out);
    result.err = readFd(err);
    close(in);
    close(out);
    close(err);
    return result;
}

} // namespace kxtest
