// Printing messages: decoded text for people, or one JSON object a line
// for programs; flushed after every message so that a reader at the other
// end of a pipe sees each one as it comes. The forms themselves are
// kxmsg's; kxctl is a front end over it.
#pragma once

#include "assertion.h"
#include "error.h"
#include "render.h"
#include "traced.h"

#include <string>

namespace kxctl {

using namespace kxmsg;

using OutputOptions = RenderOptions;

// Colour only on a terminal and only when NO_COLOR is unset or empty.
OutputOptions makeOutputOptions(bool json, bool verbose);

// Whether each message is flushed as it is printed: always, but for a
// recording read from a file, whose reader waits for nothing (a million
// packets are a million writes otherwise).
enum class Flush { each, atEnd };

// Prints one message. With pictureOnly a text rendering shows just the
// canvas picture, when the message carries one.
void printMessage(const OutputOptions &options, const Bytes &raw, const Origin &origin,
                  bool pictureOnly = false, Flush flush = Flush::each);

// A message of a recording, with its time and label.
void printTraced(const OutputOptions &options, const Traced &t, Flush flush = Flush::each);

// The daemon's assertion report out of its log: "ASSERT  " and the line
// (red when colour is on), or a JSON object of kind "assertion" with the
// log's time as messages carry it, the line and the report.
void printAssertion(const OutputOptions &options, const Assertion &a);

// Prints a JSON value or a text line as one line.
void printLine(const std::string &line);

// Flushes standard output; throws OutputClosed when its reader is gone.
void flushOutput();

} // namespace kxctl
