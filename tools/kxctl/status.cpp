// status: whether a daemon serves the mailboxes, how full they are, and
// what is bound on the endpoints. Mailboxes outlive the daemon, so that
// they exist says only that one has run.
#include "daemon/health.h"
#include "daemon/mailbox.h"
#include "failure.h"
#include "output.h"
#include "verbs.h"

#include "kxRedIro.h"
#include "kxipc.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kxctl {

namespace {

using json = nlohmann::ordered_json;

std::string clockTime(time_t when)
{
    struct tm local {};
    localtime_r(&when, &local);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string daemonText(const std::optional<DaemonProcess> &d)
{
    if (!d)
        return "not running";
    std::string text = std::string(d->stopped ? "stopped (it reads nothing until SIGCONT)"
                                              : "running") +
                       ", pid " + std::to_string(d->pid);
    if (d->started != 0)
        text += ", since " + clockTime(d->started);
    if (d->foreign)
        return text + ", another user's: whether it serves these mailboxes cannot be seen";
    return text + (d->startedWithS ? ", started as simulator (-s)"
                                   : ", started as relay (no -s)") +
           "; DB may have switched it since";
}

json daemonJson(const std::optional<DaemonProcess> &d)
{
    if (!d)
        return {{"running", false}};
    return {{"running", !d->stopped},       {"stopped", d->stopped},
            {"pid", d->pid},                {"since", d->started},
            {"simulator", d->startedWithS}, {"foreign", d->foreign}};
}

std::string mailboxText(const char *name, const MailboxInfo &info)
{
    char line[128];
    if (!info.exists)
        snprintf(line, sizeof line, "  %-11s missing", name);
    else if (info.error != 0)
        snprintf(line, sizeof line, "  %-11s %s", name, strerror(info.error));
    else
        snprintf(line, sizeof line, "  %-11s %ld of %ld%s", name, info.messages, info.capacity,
                 info.messages >= info.capacity ? "  full" : "");
    return line;
}

std::string sideText(const EndpointState &e)
{
    char line[128];
    snprintf(line, sizeof line, "  %-12s%s, %s", e.name.c_str(),
             e.daemonSide ? "daemon side bound" : "daemon side free",
             e.cameraSide ? "camera side bound" : "camera side free");
    return line;
}

int runStatus(const OutputOptions &out)
{
    auto daemon = findDaemon();
    json j = {{"daemon", daemonJson(daemon)}, {"mailboxes", json::array()},
              {"endpoint_dir", kxIpcDir()}, {"endpoints", json::array()}};
    if (!out.json)
        printLine("daemon       " + daemonText(daemon) + "\nmailboxes");
    for (const kxMailbox_t &box : kxMailboxes) {
        const char *name = box.name;
        MailboxInfo info = mailboxInfo(name);
        bool known = info.exists && info.error == 0;
        j["mailboxes"].push_back({{"name", name},
                                  {"exists", info.exists},
                                  {"messages", known ? json(info.messages) : json(nullptr)},
                                  {"capacity", known ? json(info.capacity) : json(nullptr)}});
        if (!out.json)
            printLine(mailboxText(name, info));
    }
    if (!out.json)
        printLine(std::string("endpoints in ") + kxIpcDir());
    for (const EndpointState &e : endpointStates()) {
        j["endpoints"].push_back(
            {{"name", e.name}, {"daemon_side", e.daemonSide}, {"camera_side", e.cameraSide}});
        if (!out.json)
            printLine(sideText(e));
    }
    if (out.json)
        printLine(j.dump());
    flushOutput();
    return daemon && !daemon->stopped ? kExitOk : kExitNoDaemon;
}

} // namespace

void defineStatus(CLI::App &app, Runner &chosen)
{
    runs(app.add_subcommand("status", "is a daemon running; mailbox fill levels; endpoints"),
         chosen, runStatus);
}

} // namespace kxctl
