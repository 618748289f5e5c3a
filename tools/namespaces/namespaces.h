// Private namespaces in which the daemon and its peers run without touching
// the host: mailboxes of their own with room for the 40-message mailboxes,
// a /tmp of their own (the log file, the IPC endpoints) and a /dev/log of
// their own for syslog. `kxctl sandbox` and every test program stand on it;
// each takes the steps it needs, in its own order, and reports failures in
// its own words.
#pragma once

#include <string>
#include <vector>

namespace kxns {

// A step that failed and errno then; an empty step means all went well.
struct Error {
    std::string step;
    int code = 0;
};

[[nodiscard]] inline bool failed(const Error &e) { return !e.step.empty(); }

// "step: reason", the way the callers report a failed step.
[[nodiscard]] std::string describe(const Error &e);

// unshare(flags) (CLONE_NEWIPC, CLONE_NEWNS, CLONE_NEWPID ...) directly
// when we may, as root does; otherwise together with a new user namespace
// in which the caller's user and group are root. The kernel grants that
// only to a single-threaded process.
[[nodiscard]] Error enterNamespaces(int flags);

// Mounts made from now on stay in our mount namespace, and the host's
// reach us no more.
[[nodiscard]] Error makeMountsPrivate();

// fs.mqueue.msg_max of the current IPC namespace (1 to 65536).
[[nodiscard]] Error setMsgMax(int value);

// The bytes of all message queues of a user, in every namespace, count
// against the creating process's RLIMIT_MSGQUEUE (800 KiB by default, some
// three daemons' worth): raised to 16 MiB where we may, for this process
// and its children, so that private mailboxes do not fail because other
// sandboxes of the same user are busy. Where we may not, nothing changes.
void raiseQueueBytes();

// An empty tmpfs at /tmp. Each directory of keep that lies below /tmp
// stays visible at its own path, with the mounts below it: opened before
// the new /tmp hides it and bound back from the descriptor. Other paths are
// not hidden and need nothing. The first that cannot be kept is the error.
[[nodiscard]] Error privateTmp(const std::vector<std::string> &keep);

// Our own /dev, with a datagram socket bound at /dev/log that anyone may
// write to. Every other entry is a link into the host's /dev, kept whole
// (its mounts too) at /dev/.host: a terminal multiplexer's /dev/ptmx finds
// the "pts" beside it, and nothing changes in the host's /dev. Needs a
// private mount namespace and a writable /tmp.
struct DevLog {
    int fd = -1; // the socket, close-on-exec; -1 when error says why
    Error error;
    std::vector<Error> leftOut; // host entries that could not be linked
};
[[nodiscard]] DevLog privateDevLog();

} // namespace kxns
