// Test support: every test program runs in private IPC and mount
// namespaces (entered by its main), so that mailboxes, the log file under
// /tmp and syslog's /dev/log are its own and nothing on the host changes.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kxtest {

// The msg_max that the sandbox sets: room for the 40-message mailboxes.
constexpr int kSandboxMsgMax = 64;

// Moves the calling process into private IPC and mount namespaces (as root,
// or through a user namespace when unprivileged), raises
// fs.mqueue.msg_max there and mounts a private /tmp. The build and source
// trees stay visible. Returns an error text, empty on success.
std::string enterSandbox(int msgMax = kSandboxMsgMax);

// Where the source tree and the build tree of this test program lie.
const char *sourceDir();
const char *binaryDir();

// Sets fs.mqueue.msg_max of the current IPC namespace.
bool setMsgMax(int value);

// What a child process or program did: its exit status and its output.
struct ChildResult {
    bool exited = false;
    int exitCode = -1; // when exited
    std::string out; // standard output
    std::string err; // standard error
};

// Runs body in a forked child with standard output and error captured; the
// child exits 0 when body returns.
ChildResult runChild(const std::function<void()> &body);

// Runs body in a child, with reports on standard output, and expects it to
// end through a failed assertion: exit status 255 and the report naming
// file, function and condition (regular expressions).
void expectAssertion(const std::function<void()> &body, const std::string &file,
                     const std::string &function, const std::string &condition);

// Captures what the process writes to file descriptor 1 (or another one)
// until stop().
class FdCapture {
public:
    explicit FdCapture(int fd = 1);
    ~FdCapture();
    std::string stop();

private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

// One datagram received on /dev/log.
struct SyslogLine {
    int priority = -1;  // facility * 8 + severity
    std::string ident;  // program name
    std::string message;
};

// Binds a datagram socket at /dev/log (on a private /dev) the first time it
// is called in a process, and returns what has arrived since the last call.
std::vector<SyslogLine> syslogDrain(int quietMs = 50);

// Lines of text, split at line ends (a last line without one is kept).
std::vector<std::string> splitLines(const std::string &text);

// The text after the "%b%d %H:%M:%S " timestamp, or "<no timestamp>".
std::string stripStamp(const std::string &line);

// Polls done() until it is true: false when timeoutMs pass first.
bool waitUntil(int timeoutMs, const std::function<bool()> &done);

std::string readFile(const std::string &path);
// All that a file descriptor holds, read from offset 0 (its offset stays).
std::string readFd(int fd);
bool writeFile(const std::string &path, const std::string &content);

} // namespace kxtest
