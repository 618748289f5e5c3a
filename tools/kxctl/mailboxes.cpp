// mailboxes: the eight mailboxes of the daemon, which of them exist and
// what they hold. The daemon never removes them, so their existence says
// that a daemon has run, not that it still runs.
#include "mailbox.h"
#include "status.h"
#include "verbs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kxctl {

namespace {

nlohmann::ordered_json jsonRow(const DaemonMailbox &e, const MailboxInfo &info)
{
    nlohmann::ordered_json row = {
        {"name", e.name}, {"exists", info.exists}, {"expected_capacity", e.capacity}};
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
std::string textRow(const DaemonMailbox &e, const MailboxInfo &info)
{
    if (info.exists && info.error != 0)
        return std::string(e.name) + std::string(12 - std::min<size_t>(strlen(e.name), 11), ' ') +
               "yes     " + strerror(info.error);
    std::string capacity = "(" + std::to_string(e.capacity) + ")";
    std::string messages = "-", size = "-", note;
    if (info.exists) {
        capacity = std::to_string(info.capacity);
        messages = std::to_string(info.messages);
        size = std::to_string(info.size);
        if (info.capacity != e.capacity)
            note = "  (the daemon makes it " + std::to_string(e.capacity) + ")";
    }
    char line[128];
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
    for (const DaemonMailbox &e : kDaemonMailboxes) {
        MailboxInfo info = mailboxInfo(e.name);
        all = all && info.exists;
        printLine(out.json ? jsonRow(e, info).dump() : textRow(e, info));
    }
    flushOutput();
    return all ? kExitOk : kExitNoDaemon;
}

} // namespace kxctl
