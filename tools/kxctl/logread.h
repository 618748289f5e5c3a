// Messages out of the daemon's traffic trace, as its log lines carry them:
// in its log file (behind "%b%d %H:%M:%S" stamps), in syslog files, and in
// what logread and journalctl print. Lines that are not dump lines are
// passed over; the lines of one dump are put back together, and a message
// is handed out as soon as its last line has been read.
#pragma once

#include "bytes.h"
#include "output.h"
#include "tlvmsg.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kxctl {

// One message of the trace. A dump that shows only the head and the tail
// of a long message (full-length dumps off) leaves a gap: raw then has the
// message's full length, zeros where the log showed nothing, and shown
// says which byte ranges [from, to) are real.
struct Traced {
    std::string stamp; // the log's own time text, empty when it has none
    std::optional<std::chrono::system_clock::time_point> when;
    std::string tag; // the dump's label: ">RT", "<RT", "ERROR", ...
    Bytes raw;
    std::vector<std::pair<size_t, size_t>> shown;

    bool cut() const
    {
        return shown.size() != 1 || shown[0].first != 0 || shown[0].second != raw.size();
    }
};

// A single line of a dump: its label, its address and its bytes.
struct DumpLine {
    std::string_view prefix; // what stands before the label (stamp, syslog fields)
    std::string_view label;
    size_t address = 0;
    Bytes bytes;
};

std::optional<DumpLine> parseDumpLine(std::string_view line);

// The time in a log prefix: "Dec05 21:29:37", "Dec  5 21:29:37",
// "Sat Dec  5 21:29:37 2026", "2026-12-05T21:29:37". The text found, and
// the time it means (local time; this year, or the last when that would lie
// ahead).
std::pair<std::string, std::optional<std::chrono::system_clock::time_point>>
parseStamp(std::string_view prefix);

struct LogReader {
    std::optional<Traced> pending;
    size_t next = 0; // the address that continues the pending dump

    // Returns true when the line was a dump line. Completed messages are
    // appended to done.
    bool feed(std::string_view line, std::vector<Traced> &done);
    // Hands out a message still waiting for lines (end of input, a pause).
    void flush(std::vector<Traced> &done);
};

// The message as far as the trace shows it. In a cut one the walk stops at
// the first element whose header lies in the gap, a value reaching into it
// keeps the bytes shown, and check is 0: what is not there is not judged.
Message tracedMessage(const Traced &t);

// With the log's time and the dump's label in place of kxctl's own; the
// JSON form carries the bytes ("hex", or "parts" of a cut message) so that
// decode can read it back.
nlohmann::ordered_json tracedJson(const Traced &t);
void printTraced(const OutputOptions &out, const Traced &t);

// A line of kxctl's JSON output (monitor, decode, listen, call) read back.
std::optional<Traced> tracedFromJson(std::string_view line);

} // namespace kxctl
