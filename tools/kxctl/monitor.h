// The verbs that watch the daemon's traffic through its trace: monitor,
// trace (switches the trace on and off) and decode.
#pragma once

#include "verbs.h"

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kxctl {

struct MonitorOptions {
    std::string source; // a log file, "-" for standard input; empty: the sandbox's syslog
    long count = 0;     // stop after this many; 0 never
    double quiet = 0;   // stop after this many quiet seconds; 0 never
    std::vector<std::string> codes; // only these command codes
    std::string pcap;               // also write a capture here
};

struct TraceOptions {
    SendOptions send;
    std::string state;      // "on" or "off"
    bool simulator = false; // the daemon's mode, which "DB" rewrites too
    bool relay = false;
    bool headTail = false; // dumps of head and tail only
    bool logFile = false;  // also into the daemon's log file
};

int runMonitor(const OutputOptions &out, const MonitorOptions &options);
int runTrace(const OutputOptions &out, const TraceOptions &options);

using VerbRunner = std::function<int(const OutputOptions &)>;

// Defines decode, monitor and trace; chosen tells which one runs.
void addTraceVerbs(CLI::App &app, const std::function<void(VerbRunner)> &chosen);

} // namespace kxctl
