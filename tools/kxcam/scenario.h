// A scenario: how the camera side misbehaves on purpose. Read from a TOML
// file of this form (every key is documented in kxctl(1)):
//
//   default = "simulate"     # unmatched commands: "simulate", "refuse", "drop"
//   [[rule]]                 # the first rule that matches decides; file order
//   code = "PW"              # required: two characters, exactly (PW is not pw)
//   args = "00"              # argument bytes in hex; absent matches any
//   nth = 2                  # only the 2nd command the rule matches (1-based)
//   times = 3                # only the first 3 it matches
//   status = 1               # answer with this status byte alone
//   payload = "00 07"        # the whole response payload, status byte first
//   delay_ms = 1500          # answer this much later
//   drop = true              # no answer at all
//   malformed = true         # an answer whose total claims more than it carries
//   before = [{ code = "SU", args = "01" }]   # camera commands before the answer
//   after = [{ code = "LC" }]                 # and after it
//   [[at]]                   # a timeline from the camera's start
//   time_ms = 5000
//   send = { code = "SU", args = "02" }      # a camera command then, or
//   down_ms = 3000                            # every endpoint unbound so long
//
// Loading checks everything before the camera binds anything: a file that
// is not TOML, an unknown key, a value of the wrong kind or range, and
// keys that contradict each other are refused with where and why.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxcam {

using kxmsg::Bytes;

enum class Fallback { simulate, refuse, drop };

// A command the camera sends of its own. LC without arguments carries the
// canvas as it is when it is sent.
struct CameraCommand {
    std::string code;              // two characters
    std::optional<Bytes> args;     // absent: none (LC: the canvas)
};

struct Rule {
    std::string code;
    std::optional<Bytes> args;     // absent matches any arguments
    std::optional<long> nth;       // 1-based
    std::optional<long> times;
    std::optional<uint8_t> status; // the answer is this byte alone
    std::optional<Bytes> payload;  // the answer's payload, status byte first
    long delayMs = 0;
    bool drop = false;
    bool malformed = false;
    std::vector<CameraCommand> before;
    std::vector<CameraCommand> after;
};

struct TimedEvent {
    long timeMs = 0;
    std::optional<CameraCommand> send; // exactly one of send and downMs
    std::optional<long> downMs;
};

struct Scenario {
    Fallback fallback = Fallback::simulate;
    std::vector<Rule> rules;
    std::vector<TimedEvent> timeline; // in time order
};

// Why a scenario was refused: "FILE:LINE:COLUMN: what" for a TOML error,
// "FILE:LINE:COLUMN: rule 2: key: what was expected" for the rest.
struct ScenarioError {
    std::string message;
};

// The largest delay, down time and timeline time a file may give (a day),
// so that no sum of them overflows.
inline constexpr long kLongestMs = 86'400'000;

// Parses the text of a scenario file named name (used in messages only).
// Never throws.
[[nodiscard]] bool parseScenario(std::string_view text, const std::string &name,
                                 Scenario &scenario, ScenarioError &error);

// Reads and parses the file; a file that cannot be read is an error too.
[[nodiscard]] bool loadScenario(const std::string &path, Scenario &scenario,
                                ScenarioError &error);

} // namespace kxcam
