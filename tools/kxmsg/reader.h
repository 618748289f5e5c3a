// Messages out of any recording that comes off a board or a bug report,
// read as a stream, in memory bounded by the longest line or block:
// - the daemon's trace and error dumps, in its log file, in syslog files
//   and in what logread and journalctl print: other lines are passed over,
//   the lines of one dump are put together, and each message keeps the
//   log's time and the dump's label (">RT", "<RT", "ERROR");
// - kxctl's own JSON lines (monitor, decode, listen, call);
// - plain hex (blanks, ':', ',' or '-' between bytes, "0x" prefixes
//   allowed), cut into messages by the totals in their headers; a blank
//   line ends a message; lines starting with '#' are comments;
// - a pcapng capture of kxctl monitor --pcap or kxctl camera --pcap.
// Each message is handed out as soon as it is complete, so that a log
// being written can be followed.
#pragma once

#include "dumplog.h"
#include "hextext.h"
#include "stream.h"
#include "traced.h"

#include <cstdio>
#include <functional>
#include <string>

namespace kxmsg {

struct ReadEvents {
    std::function<void(const Traced &)> message;
    // A line passed over for what it is (a JSON line that is no message, a
    // line too long): the text says which line and why.
    std::function<void(const std::string &)> refused;
};

// Longer lines are refused: no line of a log or of kxctl's output comes
// near it, and the reader's memory stays bounded.
inline constexpr size_t kLongestLine = 16 << 20;

// Reads the input to its end. A capture that breaks its format ends the
// read with Error after the messages before the fault were handed out.
void readRecording(FILE *in, const ReadEvents &events);

// The text reader, line by line, for a caller with lines of its own.
struct TextReader {
    const ReadEvents &events;
    LogReader log;
    HexGather hex;
    long lineNumber = 0;
};

void textLine(TextReader &r, std::string_view line);
void textEnd(TextReader &r);

} // namespace kxmsg
