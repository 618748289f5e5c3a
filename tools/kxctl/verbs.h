// The verbs of kxctl and their options. Each returns the exit status or
// throws Failure / OutputClosed (see status.h).
#pragma once

#include "output.h"

#include <string>
#include <vector>

namespace kxctl {

// Where a command goes and how it is addressed.
struct SendOptions {
    std::string mailbox = "/to_camera";
    std::string source; // the mailbox itself when empty
    std::string destination = "/to_kxnet";
    int type = 10;
    bool force = false; // send what the daemon would refuse or not read
};

struct CallOptions {
    SendOptions send;
    std::string code;
    std::vector<std::string> args; // hex bytes or words
    std::string hex;               // --hex
    std::string text;              // --string
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

struct ListenOptions {
    std::string mailbox = "/to_kxnet";
    long count = 0;   // stop after this many; 0 never
    double quiet = 0; // stop after this many quiet seconds; 0 never
};

enum class CameraAnswer { simulate, echo, silent };

struct CameraOptions {
    CameraAnswer answer = CameraAnswer::simulate;
    bool log = false; // the simulated camera's own log lines on standard output
    std::string pcap; // also write what passes to this capture file
};

struct SandboxOptions {
    int msgMax = 64;
    std::vector<std::string> command;
};

// Inside a sandbox: the file that keeps the daemon's syslog lines, where
// monitor reads them by default.
inline constexpr char kSyslogEnv[] = "KX_SYSLOG_FILE";

int runCall(const OutputOptions &out, const CallOptions &options);
int runSend(const OutputOptions &out, const CallOptions &options);
int runDb(const OutputOptions &out, const DbOptions &options);
int runCanvas(const OutputOptions &out, const CanvasOptions &options);
int runListen(const OutputOptions &out, const ListenOptions &options);
int runCamera(const OutputOptions &out, const CameraOptions &options);
// FILE: a log, kxctl JSON lines, hex or a pcapng capture; "" or "-": stdin.
int runDecode(const OutputOptions &out, const std::string &file);
int runMailboxes(const OutputOptions &out);
int runCodes(const OutputOptions &out);
int runStatus(const OutputOptions &out);
// Ends the process with the command's status; returns only by throwing.
[[noreturn]] int runSandbox(const SandboxOptions &options);

} // namespace kxctl
