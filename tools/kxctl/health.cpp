// status: whether a daemon serves the mailboxes, how full they are, and
// what is bound on the endpoints. Mailboxes outlive the daemon, so that
// they exist says only that one has run.
#include "health.h"

#include "mailbox.h"
#include "output.h"
#include "status.h"
#include "verbs.h"

#include "kxRedIro.h"
#include "kxipc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

namespace kxctl {

namespace {

std::string linkOf(const std::string &path)
{
    char target[512];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<pid_t> processes()
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return pids;
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid > 0 && *end == '\0' && pid != getpid())
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return pids;
}

// The mailboxes that the process holds open; nullopt when we may not look.
std::optional<std::set<std::string>> openMailboxes(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = opendir(dir.c_str());
    if (fds == nullptr)
        return std::nullopt;
    std::set<std::string> names;
    while (dirent *e = readdir(fds))
        if (std::string target = linkOf(dir + "/" + e->d_name); target.rfind("/to_", 0) == 0)
            names.insert(target);
    closedir(fds);
    return names;
}

time_t bootTime()
{
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;)
        if (long long btime = 0; key == "btime" && in >> btime)
            return static_cast<time_t>(btime);
    return 0;
}

// State letter and start time (clock ticks after boot) from /proc/PID/stat.
void readStat(pid_t pid, DaemonProcess &d)
{
    std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return;
    std::istringstream in(stat.substr(paren + 1));
    std::vector<std::string> f{std::istream_iterator<std::string>(in), {}};
    if (f.size() < 20)
        return;
    d.stopped = f[0] == "T" || f[0] == "t"; // f[0] is field 3, f[19] field 22
    d.started = bootTime() + static_cast<time_t>(std::stoll(f[19]) / sysconf(_SC_CLK_TCK));
}

// -s or --simulator among its arguments.
bool startedWithS(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string arg;
    bool first = true;
    while (std::getline(in, arg, '\0')) {
        if (!first && (arg == "-s" || arg == "--simulator"))
            return true;
        first = false;
    }
    return false;
}

} // namespace

std::optional<DaemonProcess> findDaemon()
{
    const std::string ours = linkOf("/proc/self/ns/ipc");
    for (pid_t pid : processes()) {
        std::string base = "/proc/" + std::to_string(pid);
        auto held = openMailboxes(pid);
        bool named = firstLine(base + "/comm") == "kxRedIro";
        bool serves = held && held->count(KXMBOXtoCAMERA) && held->count(KXMBOXtoRTOS) &&
                      linkOf(base + "/ns/ipc") == ours;
        bool foreign = named && !held;
        if (!serves && !foreign)
            continue;
        DaemonProcess d;
        d.pid = pid;
        d.foreign = foreign;
        readStat(pid, d);
        d.startedWithS = startedWithS(pid);
        return d;
    }
    return std::nullopt;
}

std::string endpointDir()
{
    const char *dir = getenv(KXIPC_DIR_ENV);
    return dir != nullptr && *dir != '\0' ? dir : KXIPC_DIR_DEFAULT;
}

std::vector<EndpointState> endpointStates()
{
    // Bound names of Unix sockets are the last field of /proc/net/unix.
    std::set<std::string> bound;
    std::ifstream in("/proc/net/unix");
    for (std::string line; std::getline(in, line);)
        if (size_t at = line.rfind(' '); at != std::string::npos && line[at + 1] == '/')
            bound.insert(line.substr(at + 1));
    std::vector<EndpointState> states;
    for (const char *name : {"wifibt", "wifi_ctrl", "helper_task"}) {
        std::string path = endpointDir() + "/" + name;
        states.push_back({name, bound.count(path + ".linux") > 0, bound.count(path + ".rtos") > 0});
    }
    return states;
}

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
    std::string text = "  " + e.name + std::string(12 - e.name.size(), ' ');
    text += e.daemonSide ? "daemon side bound" : "daemon side free";
    return text + (e.cameraSide ? ", camera side bound" : ", camera side free");
}

} // namespace

int runStatus(const OutputOptions &out)
{
    auto daemon = findDaemon();
    json j = {{"daemon", daemonJson(daemon)}, {"mailboxes", json::array()},
              {"endpoint_dir", endpointDir()}, {"endpoints", json::array()}};
    if (!out.json)
        printLine("daemon       " + daemonText(daemon) + "\nmailboxes");
    for (const DaemonMailbox &box : kDaemonMailboxes) {
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
        printLine("endpoints in " + endpointDir());
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

} // namespace kxctl
