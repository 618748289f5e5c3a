// The verbs of kxctl: for each verb, what its command line fills in and the
// function that runs it. Each verb (or family of verbs) lives in a file of
// its own; commandline.cpp adds them all to the command line, in one table.
// A verb's function returns the exit status or throws Failure /
// OutputClosed (see failure.h).
#pragma once

#include "options.h"
#include "output.h"

#include <string>
#include <vector>

namespace kxctl {

// exchange.cpp: call, send, db and canvas.
struct CallOptions {
    SendOptions send;
    CommandWords command;
    double timeout = 5;
    bool answerOnly = false; // print the response alone
};

struct DbOptions {
    SendOptions send;
    std::string level;
    std::string debug;
};

struct CanvasOptions {
    SendOptions send;
    double timeout = 5;
    std::string file;
    int scale = 1;
};

int runCall(const OutputOptions &out, const CallOptions &o);
int runSend(const OutputOptions &out, const CallOptions &o);
int runDb(const OutputOptions &out, const DbOptions &o);
int runCanvas(const OutputOptions &out, const CanvasOptions &o);

// listen.cpp
struct ListenOptions {
    std::string mailbox = "/to_kxnet";
    long count = 0;   // stop after this many; 0 never
    double quiet = 0; // stop after this many quiet seconds; 0 never
};

int runListen(const OutputOptions &out, const ListenOptions &o);

// camera.cpp: the camera's side (camera/side.cpp) and the steering of a
// running one.
int runCameraSend(const OutputOptions &out, const CommandWords &words);
int runCameraDown(const OutputOptions &out, const long &ms);
int runCameraLoad(const OutputOptions &out, const std::string &file);
int runCameraJournal(const OutputOptions &out);

// decode.cpp: FILE, or standard input when empty.
int runDecode(const OutputOptions &out, const std::string &file);

// monitor.cpp
struct MonitorOptions {
    std::string source; // a log file, "-" for standard input; empty: the sandbox's syslog
    long count = 0;     // stop after this many; 0 never
    double quiet = 0;   // stop after this many quiet seconds; 0 never
    std::vector<std::string> codes; // only these command codes
    std::string pcap;               // also write a capture here
};

int runMonitor(const OutputOptions &out, const MonitorOptions &o);

// trace.cpp
struct TraceOptions {
    SendOptions send;
    std::string state;      // "on" or "off"
    bool simulator = false; // the daemon's mode, which "DB" rewrites too
    bool headTail = false;  // dumps of head and tail only
    bool logFile = false;   // also into the daemon's log file
};

int runTrace(const OutputOptions &out, const TraceOptions &o);

// mailboxes.cpp, codes.cpp
int runMailboxes(const OutputOptions &out);
int runCodes(const OutputOptions &out);

// status.cpp
struct StatusOptions {
    double waitSeconds = 0; // --wait: how long to wait for a serving daemon
};

int runStatus(const OutputOptions &out, const StatusOptions &options);

// sandbox.cpp
struct SandboxOptions {
    int msgMax = 64;
    std::vector<std::string> keep; // folders under /tmp that stay visible inside
    std::vector<std::string> command;
};

// Ends the process with the command's status; returns only by throwing.
[[noreturn]] int runSandbox(const SandboxOptions &options);

// Inside a sandbox: the file that keeps the daemon's syslog lines, where
// monitor reads them by default.
inline constexpr char kSyslogEnv[] = "KX_SYSLOG_FILE";

} // namespace kxctl
