// mailboxes: the eight mailboxes of the daemon, which of them exist and
// what they hold. The daemon never removes them, so their existence says
// that a daemon has run, not that it still runs.
#include "daemon/mailbox.h"
#include "failure.h"
#include "verbs.h"

#include "kxRedIro.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kxctl {

namespace {

nlohmann::ordered_json jsonRow(const kxMailbox_t &e, const MailboxInfo &info)
{
    nlohmann::ordered_json row = {
        {"name", e.name}, {"exists", info.exists}, {"expected_capacity", e.count}};
    bool known = info.exists && info.error == 0;
    row["messages"] =
        known ? nlohmann::ordered_json(info.messages) : nlohmann::ordered_json(nullptr);
    row["capacity"] =
        known ? nlohmann::ordered_json(info.capacity) : nlohmann::ordered_json(nullptr);
    row["size"] = known ? nlohmann::ordered_json(info.size) : nlohmann::ordered_json(nullptr);
    if (info.exists && info.error != 0)
        row["error"] = strerror(info.error);
    return row;
}

// A missing mailbox shows the capacity that the daemon gives it in
// parentheses; an existing one of another capacity says so.
std::string textRow(const kxMailbox_t &e, const MailboxInfo &info)
{
    char line[128];
    if (info.exists && info.error != 0) {
        snprintf(line, sizeof line, "%-11s yes     %s", e.name, strerror(info.error));
        return line;
    }
    std::string capacity = "(" + std::to_string(e.count) + ")";
    std::string messages = "-", size = "-", note;
    if (info.exists) {
        capacity = std::to_string(info.capacity);
        messages = std::to_string(info.messages);
        size = std::to_string(info.size);
        if (info.capacity != e.count)
            note = "  (the daemon makes it " + std::to_string(e.count) + ")";
    }
    snprintf(line, sizeof line, "%-11s %-6s %8s %8s %6s", e.name, info.exists ? "yes" : "no",
             messages.c_str(), capacity.c_str(), size.c_str());
    return line + note;
}

} // namespace

int runMailboxes(const OutputOptions &out)
{
    bool all = true;
    if (!out.json)
        printLine("MAILBOX     EXISTS MESSAGES CAPACITY   SIZE");
    for (const kxMailbox_t &e : kxMailboxes) {
        MailboxInfo info = mailboxInfo(e.name);
        all = all && info.exists;
        printLine(out.json ? jsonRow(e, info).dump() : textRow(e, info));
    }
    flushOutput();
    return all ? kExitOk : kExitNoDaemon;
}

} // namespace kxctl
