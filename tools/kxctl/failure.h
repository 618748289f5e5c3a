// How kxctl ends: the exit statuses that scripts may rely on, and the two
// ways in which a verb gives up early.
#pragma once

#include <stdexcept>
#include <string>

namespace kxctl {

// The same status whatever standard output is (a terminal, a pipe, a file).
enum ExitStatus : int {
    kExitOk = 0,       // done; the camera accepted the command
    kExitFailure = 1,  // anything not listed below (bad input, a system call failed)
    kExitUsage = 2,    // the command line is wrong
    kExitNoDaemon = 3, // a mailbox is missing, or nobody reads it
    kExitTimeout = 4,  // no response in time; listen's quiet period ran out
    kExitRefused = 5,  // the camera answered with a status other than 0x00
};

// Ends the verb: the message goes to standard error, the status is the
// program's exit status.
struct Failure : std::runtime_error {
    int status;
    Failure(int exitStatus, const std::string &message)
        : std::runtime_error(message), status(exitStatus)
    {
    }
};

// Whoever read our standard output has gone away: end quietly, as a
// filter in a pipeline does.
struct OutputClosed {};

} // namespace kxctl
