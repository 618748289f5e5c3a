// libFuzzer target for scenario files: any bytes as the text of one. A
// file is refused with where and why, or gives a scenario that holds what
// the loader promises the camera (two-character codes, bounded byte
// strings, no contradicting keys, times in range, a sorted timeline), and
// whose rules decide commands without fault.
#include "kxFuzz.h"
#include "rules.h"
#include "scenario.h"

#include <algorithm>

namespace {

constexpr size_t kLargestHex = 4096;

void checkCommand(const kxcam::CameraCommand &c)
{
    check(c.code.size() == 2);
    check(!c.args || c.args->size() <= kLargestHex);
}

void checkRule(const kxcam::Rule &r)
{
    check(r.code.size() == 2);
    check(!r.args || r.args->size() <= kLargestHex);
    check(!r.payload || (!r.payload->empty() && r.payload->size() <= kLargestHex));
    check(!(r.nth && r.times) && !(r.status && r.payload));
    check(!r.drop || (!r.status && !r.payload && !r.malformed));
    check(r.delayMs >= 0 && r.delayMs <= kxcam::kLongestMs);
    check(r.nth.value_or(1) >= 1 && r.times.value_or(1) >= 1);
    std::for_each(r.before.begin(), r.before.end(), checkCommand);
    std::for_each(r.after.begin(), r.after.end(), checkCommand);
}

void checkEvent(const kxcam::TimedEvent &e)
{
    check(e.timeMs >= 0 && e.timeMs <= kxcam::kLongestMs);
    check(e.send.has_value() != e.downMs.has_value());
    check(!e.downMs || (*e.downMs >= 1 && *e.downMs <= kxcam::kLongestMs));
    if (e.send)
        checkCommand(*e.send);
}

// Every rule's own command, twice, through the deciding rules.
void decideEach(const kxcam::Scenario &s)
{
    kxcam::RuleCounts counts;
    for (int round = 0; round < 2; ++round)
        for (const kxcam::Rule &r : s.rules) {
            auto index = kxcam::decidingRule(s, counts, r.code, r.args.value_or(kxcam::Bytes{}));
            check(!index || *index < s.rules.size());
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    kxcam::Scenario s;
    kxcam::ScenarioError error;
    if (!kxcam::parseScenario(text, "fuzz.toml", s, error)) {
        check(error.message.starts_with("fuzz.toml:"));
        return 0;
    }
    std::for_each(s.rules.begin(), s.rules.end(), checkRule);
    std::for_each(s.timeline.begin(), s.timeline.end(), checkEvent);
    check(std::is_sorted(s.timeline.begin(), s.timeline.end(),
                         [](const auto &a, const auto &b) { return a.timeMs < b.timeMs; }));
    decideEach(s);
    return 0;
}
