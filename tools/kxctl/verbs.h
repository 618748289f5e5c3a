// The verbs of kxctl. Each verb (or family of verbs) lives in a file of
// its own and has a definer there, which adds the verb, its options and
// what it runs to the command line; main.cpp lists the definers in one
// table. What a verb runs returns the exit status or throws Failure /
// OutputClosed (see failure.h).
#pragma once

#include "output.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kxctl {

// The chosen verb's work, set by its definer's callback once the command
// line has been parsed.
using Runner = std::function<int(const OutputOptions &)>;
using VerbDefiner = void (*)(CLI::App &app, Runner &chosen);

void defineCall(CLI::App &app, Runner &chosen);      // exchange.cpp
void defineSend(CLI::App &app, Runner &chosen);      // exchange.cpp
void defineDb(CLI::App &app, Runner &chosen);        // exchange.cpp
void defineCanvas(CLI::App &app, Runner &chosen);    // exchange.cpp
void defineListen(CLI::App &app, Runner &chosen);    // listen.cpp
void defineCamera(CLI::App &app, Runner &chosen);    // camera.cpp
void defineDecode(CLI::App &app, Runner &chosen);    // decode.cpp
void defineMonitor(CLI::App &app, Runner &chosen);   // monitor.cpp
void defineTrace(CLI::App &app, Runner &chosen);     // trace.cpp
void defineMailboxes(CLI::App &app, Runner &chosen); // mailboxes.cpp
void defineCodes(CLI::App &app, Runner &chosen);     // codes.cpp
void defineStatus(CLI::App &app, Runner &chosen);    // status.cpp
void defineSandbox(CLI::App &app, Runner &chosen);   // sandbox.cpp

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

// A verb without options of its own.
inline void runs(CLI::App *verb, Runner &chosen, int (*run)(const OutputOptions &))
{
    verb->callback([&chosen, run] { chosen = run; });
}

// A verb whose options the command line fills in and run reads; shared,
// since both outlive the definer.
template <typename Options>
void runs(CLI::App *verb, Runner &chosen, std::shared_ptr<Options> options,
          int (*run)(const OutputOptions &, const Options &))
{
    verb->callback([&chosen, options, run] {
        chosen = [options, run](const OutputOptions &out) { return run(out, *options); };
    });
}

} // namespace kxctl
