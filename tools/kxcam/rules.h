// Which rule of a scenario decides a command. A rule matches a command of
// its code (and arguments, when it names them); it counts every command it
// matches, and decides only those its nth and times allow: nth = 2 decides
// the second command it matches and no other, times = 3 the first three.
// A rule that matches but may not decide leaves the command to the rules
// after it.
#pragma once

#include "scenario.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kxcam {

// How many commands each rule has matched; starts again with a new
// scenario.
struct RuleCounts {
    std::vector<long> matched; // one a rule, grown as needed
};

// The index of the deciding rule, or nullopt when none decides (then the
// scenario's default, or a replay, answers).
[[nodiscard]] std::optional<size_t> decidingRule(const Scenario &scenario, RuleCounts &counts,
                                                 std::string_view code, const Bytes &args);

} // namespace kxcam
