// Is a daemon serving the mailboxes that kxctl sees, and what is bound on
// the endpoints: what /proc tells about the processes of our IPC
// namespace, without asking the daemon (which answers nothing of the kind).
#pragma once

#include "assertion.h"

#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kxctl {

struct DaemonProcess {
    pid_t pid = 0;
    bool stopped = false;       // SIGSTOP or a debugger: it reads nothing meanwhile
    time_t started = 0;         // 0 when unknown
    bool startedWithS = false;  // -s on its command line ("DB" may have changed it since)
    bool foreign = false;       // another user's: its mailboxes cannot be looked at
};

// The process that holds this IPC namespace's inbound mailboxes open, as
// only the daemon does; a process named kxRedIro that we may not look into
// counts too (foreign).
std::optional<DaemonProcess> findDaemon();

struct EndpointState {
    std::string name;
    bool daemonSide = false; // NAME.linux bound
    bool cameraSide = false; // NAME.rtos bound
};

// The three endpoints in the directory that kxctl camera and the daemon use
// (kxIpcDir()).
std::vector<EndpointState> endpointStates();

// The last assertion report in the daemon's logs (its log file, a syslog
// file), so that a daemon that is gone can still say why. Each file is read
// no further back than its last MiB: a day's trace is far larger, and a
// report is among the last lines that a daemon writes. Files that cannot
// be read count as holding none. Of two files, the later report by its
// stamp; the first file's on a tie or when a stamp is missing.
std::optional<kxmsg::Assertion> lastAssertionLogged(const std::vector<std::string> &files);

} // namespace kxctl
