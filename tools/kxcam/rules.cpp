#include "rules.h"

namespace kxcam {
namespace {

bool matches(const Rule &rule, std::string_view code, const Bytes &args)
{
    return rule.code == code && (!rule.args || *rule.args == args);
}

// n is how many commands the rule has matched, this one included.
bool mayDecide(const Rule &rule, long n)
{
    if (rule.nth)
        return n == *rule.nth;
    return !rule.times || n <= *rule.times;
}

} // namespace

std::optional<size_t> decidingRule(const Scenario &scenario, RuleCounts &counts,
                                   std::string_view code, const Bytes &args)
{
    if (counts.matched.size() < scenario.rules.size())
        counts.matched.resize(scenario.rules.size(), 0);
    for (size_t i = 0; i < scenario.rules.size(); ++i) {
        const Rule &rule = scenario.rules[i];
        if (matches(rule, code, args) && mayDecide(rule, ++counts.matched[i]))
            return i;
    }
    return std::nullopt;
}

} // namespace kxcam
