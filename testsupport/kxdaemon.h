// Runs the real daemon binary from a test: the test process becomes the
// subreaper of what it starts, so the detached daemon stays its child and
// can be found, waited for and stopped.
#pragma once

#include <mqueue.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kxtest {

// The daemon built next to this test program.
std::string daemonPath();

class Daemon {
public:
    Daemon();
    ~Daemon();

    // Starts the daemon with args (without the program name); the extra
    // environment entries are NAME=VALUE. Waits for the first process to
    // exit and returns its exit status (-1 when it did not exit).
    int start(const std::vector<std::string> &args, const std::vector<std::string> &env = {});

    // The detached process of the last start; 0 when there is none.
    pid_t pid();

    // Waits up to timeoutMs for the detached process to end: its exit
    // status, or -1 when it is still running (or was signalled).
    int waitExit(int timeoutMs);

    // Ends the detached process, if it runs.
    void stop();

    // What the daemon wrote to standard output and error so far.
    std::string out() const;
    std::string err() const;

private:
    int out_ = -1;
    int err_ = -1;
    pid_t pid_ = 0;
    bool known_ = false; // pid_ is what start or an end left
};

// Waits until the mailbox exists; false on time-out.
bool waitForMailbox(const std::string &name, int timeoutMs = 5000);

// The attributes of an existing mailbox.
std::optional<mq_attr> mailboxAttr(const std::string &name);

// Makes a fresh directory for the IPC endpoints below the private /tmp.
std::string freshIpcDir();

} // namespace kxtest
