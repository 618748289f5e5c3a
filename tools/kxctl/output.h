// Printing messages: decoded text for people, or one JSON object a line
// for programs; flushed after every message so that a reader at the other
// end of a pipe sees each one as it comes.
#pragma once

#include "bytes.h"

#include <chrono>
#include <string>

namespace kxctl {

struct OutputOptions {
    bool json = false;
    bool verbose = false; // add a hex dump (text) or the raw bytes (JSON)
    bool colour = false;
};

// What a message read by call is to the call: its answer, or something
// else that arrived meanwhile (the camera's own commands, leftovers).
enum class Role { none, answer, meanwhile };

// Where a message was seen: a mailbox, an endpoint or "stdin"; outgoing
// for what kxctl itself sent.
struct Origin {
    std::string channel;
    bool outgoing = false;
    bool stamped = true; // show the time (not for decoded input)
    Role role = Role::none;
};

using WallClock = std::chrono::system_clock;

// Seconds since the epoch, to the microsecond, as JSON lines carry time.
double epochSeconds(WallClock::time_point when);

// Whether a time read from outside, in seconds since the epoch, is one that
// the clock holds: it counts nanoseconds in 64 bits, about 292 years either
// way of 1970. False for NaN too.
bool onClock(double seconds);

// Colour only on a terminal and only when NO_COLOR is unset or empty.
OutputOptions makeOutputOptions(bool json, bool verbose);

// Prints one message. With pictureOnly a text rendering shows just the
// canvas picture, when the message carries one.
void printMessage(const OutputOptions &options, const Bytes &raw, const Origin &origin,
                  bool pictureOnly = false);

// Prints a JSON value or a text line as one line.
void printLine(const std::string &line);

// Flushes standard output; throws OutputClosed when its reader is gone.
void flushOutput();

} // namespace kxctl
