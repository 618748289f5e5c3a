// status: whether a daemon serves the mailboxes, how full they are, and
// what is bound on the endpoints. Mailboxes outlive the daemon, so that
// they exist says only that one has run. When none runs, the last
// assertion report in its logs says how one may have ended: the daemon
// has no other way out but a kill, and its clients only see time-outs.
#include "daemon/health.h"
#include "daemon/mailbox.h"
#include "failure.h"
#include "output.h"
#include "verbs.h"

#include "kxLog.h"
#include "kxRedIro.h"
#include "kxipc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

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

// Only for a daemon that is not there: a running one may have been
// started again after the report, and a stopped one has not ended.
std::optional<Assertion> endedBy(const std::optional<DaemonProcess> &d)
{
    if (d)
        return std::nullopt;
    const char *syslogFile = getenv(kSyslogEnv);
    return lastAssertionLogged({syslogFile != nullptr ? syslogFile : "", KX_LOG_FILE});
}

std::string daemonText(const std::optional<DaemonProcess> &d,
                       const std::optional<Assertion> &ended)
{
    if (!d)
        return ended ? "not running; last assertion logged: " + escapeControls(ended->line)
                     : "not running";
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

json daemonJson(const std::optional<DaemonProcess> &d, const std::optional<Assertion> &ended)
{
    if (!d && ended)
        return {{"running", false}, {"assertion", ended->line}};
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

bool serving(const std::optional<DaemonProcess> &daemon)
{
    if (!daemon || daemon->stopped)
        return false;
    for (const kxMailbox_t &box : kxMailboxes)
        if (!mailboxInfo(box.name).exists)
            return false;
    return true;
}

// The daemon's parent returns at the fork, before the child has made its
// mailboxes: a script that starts it and goes on at once races the child.
// Polled, since there is nothing to be woken by across namespaces.
std::optional<DaemonProcess> awaitDaemon(double seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    auto daemon = findDaemon();
    while (!serving(daemon) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        daemon = findDaemon();
    }
    return daemon;
}

} // namespace

int runStatus(const OutputOptions &out, const StatusOptions &options)
{
    auto daemon = awaitDaemon(options.waitSeconds);
    auto ended = endedBy(daemon);
    json j = {{"daemon", daemonJson(daemon, ended)}, {"mailboxes", json::array()},
              {"endpoint_dir", kxIpcDir()}, {"endpoints", json::array()}};
    if (!out.json)
        printLine("daemon       " + daemonText(daemon, ended) + "\nmailboxes");
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
    if (options.waitSeconds > 0 && !serving(daemon))
        return kExitNoDaemon;
    return daemon && !daemon->stopped ? kExitOk : kExitNoDaemon;
}

} // namespace kxctl
