// Messages out of the daemon's traffic trace, as its log lines carry them:
// in its log file (behind "%b%d %H:%M:%S" stamps), in syslog files, and in
// what logread and journalctl print. Lines that are not dump lines are
// passed over; the lines of one dump are put back together, and a message
// is handed out as soon as its last line has been read.
#pragma once

#include "traced.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kxmsg {

// A single line of a dump: its label, its address and its bytes, views
// into the line and a fixed array, for a day's log is millions of lines.
struct DumpLine {
    static constexpr size_t kSlots = 16; // bytes a line shows at most
    std::string_view prefix; // what stands before the label (stamp, syslog fields)
    std::string_view label;
    size_t address = 0;
    std::array<uint8_t, kSlots> byte{};
    size_t count = 0; // 1 to kSlots

    std::span<const uint8_t> bytes() const { return {byte.data(), count}; }
};

std::optional<DumpLine> parseDumpLine(std::string_view line);

// The time in a log prefix: "Dec05 21:29:37", "Dec  5 21:29:37",
// "Sat Dec  5 21:29:37 2026", "2026-12-05T21:29:37". The text found, and
// the time it means (local time; this year, or the last when that would lie
// ahead).
std::pair<std::string, std::optional<WallClock::time_point>>
parseStamp(std::string_view prefix);

struct LogReader {
    std::optional<Traced> pending;
    size_t next = 0; // the address that continues the pending dump

    // Returns true when the line was a dump line. Completed messages are
    // appended to done.
    bool feed(std::string_view line, std::vector<Traced> &done);
    void feed(const DumpLine &line, std::vector<Traced> &done);
    // Hands out a message still waiting for lines (end of input, a pause).
    void flush(std::vector<Traced> &done);
};

} // namespace kxmsg
