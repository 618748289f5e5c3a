#include "journal.h"

#include <array>

namespace kxcam {

namespace {

constexpr std::array<const char *, 6> kActionNames = {"answered", "refused", "delayed",
                                                      "dropped",  "malformed", "ignored"};

// "rule 2" is written as the number 2, so that a test compares numbers.
kxmsg::Json ruleJson(const std::string &decidedBy)
{
    constexpr std::string_view kRule = "rule ";
    if (decidedBy.starts_with(kRule))
        return std::stol(decidedBy.substr(kRule.size()));
    return decidedBy;
}

std::string ruleText(const kxmsg::Json &rule)
{
    return rule.is_number() ? "rule " + std::to_string(rule.get<long>()) : rule.get<std::string>();
}

// Escaped, then filled with blanks to width.
std::string padded(const std::string &text, size_t width)
{
    std::string shown = kxmsg::escapeControls(text);
    return shown.size() < width ? shown + std::string(width - shown.size(), ' ') : shown;
}

} // namespace

const char *actionName(Action action)
{
    return kActionNames[static_cast<size_t>(action)];
}

kxmsg::Json journalJson(const JournalEntry &e)
{
    kxmsg::Json j = {{"time", e.stamp},
                     {"ms", e.ms},
                     {"endpoint", e.endpoint},
                     {"code", kxmsg::escapeControls(e.code)},
                     {"args", kxmsg::toHex(e.args)},
                     {"rule", ruleJson(e.decidedBy)},
                     {"action", actionName(e.action)},
                     {"delay_ms", e.delayMs},
                     {"answer", e.answer ? kxmsg::Json(kxmsg::toHex(*e.answer)) : kxmsg::Json()}};
    if (!e.why.empty())
        j["why"] = e.why;
    return j;
}

std::string journalText(const kxmsg::Json &j)
{
    std::string action = j.value("action", "");
    if (action == "delayed")
        action += " " + std::to_string(j.value("delay_ms", 0L)) + " ms";
    if (j.contains("why"))
        action += " (" + kxmsg::escapeControls(j.value("why", "")) + ")";
    std::string args = j.value("args", "");
    std::string line = j.value("time", "") + "  " + padded(j.value("endpoint", ""), 11) + " " +
                       padded(j.value("code", ""), 2) + " " + (args.empty() ? "-" : args) + "  " +
                       ruleText(j.value("rule", kxmsg::Json("default"))) + "  " + action;
    if (auto answer = j.find("answer"); answer != j.end() && answer->is_string())
        line += "  answer " + answer->get<std::string>();
    return line;
}

} // namespace kxcam
