// The daemon's report of a failed assertion, as its logs carry it: behind
// the log file's stamp or the syslog fields, in red
// ("\033[31mASSERT:file/function:line:condition\n\033[0m"). The line end
// inside the report puts the colour reset at the start of the next line,
// or a syslog file keeps it trailing; either way the report ends before
// it. After it the daemon has exited, so a client that waited for an
// answer learns why from here only.
#pragma once

#include "clock.h"

#include <optional>
#include <string>
#include <string_view>

namespace kxmsg {

struct Assertion {
    std::string line;   // the line as logged, without colour codes or line end
    std::string report; // "ASSERT:" up to the end of the line
    std::string stamp;  // the log's own time text, empty when it has none
    std::optional<WallClock::time_point> when;
};

// The text without its SGR colour codes (ESC '[' digits and ';' 'm'); any
// other escape stays, for whoever shows the text to deal with.
std::string withoutColour(std::string_view text);

// A report is a line with "ASSERT:" right behind a colour code, or right
// behind the prefix of a log line (a stamp alone, or a stamp with a syslog
// tag such as "kxRedIro:" and at most one word before it, as logread and
// journalctl add). A line that only mentions ASSERT among other text is
// none.
std::optional<Assertion> parseAssertion(std::string_view line);

// The last report among the lines of a text.
std::optional<Assertion> lastAssertion(std::string_view text);

} // namespace kxmsg
