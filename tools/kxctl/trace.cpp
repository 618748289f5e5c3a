// trace: switches the daemon's traffic trace on and off with "DB". "DB"
// replaces both debug words whole, the simulator flag (bit 31) among them,
// and is never answered, so the user says which mode the daemon is in.
#include "exchange.h"
#include "options.h"
#include "verbs.h"

#include "kxLog.h"

#include <cstdio>

namespace kxctl {

namespace {

struct TraceOptions {
    SendOptions send;
    std::string state;      // "on" or "off"
    bool simulator = false; // the daemon's mode, which "DB" rewrites too
    bool headTail = false;  // dumps of head and tail only
    bool logFile = false;   // also into the daemon's log file
};

int runTrace(const OutputOptions &out, const TraceOptions &o)
{
    uint32_t level = KX_DEBUG_LEVEL_INIT | (o.simulator ? KX_DBG_SIMULATOR : 0);
    uint32_t debug = KX_DEBUG_INIT;
    if (o.state == "on") {
        level |=
            KX_DBG_TRACE | (o.headTail ? 0 : KX_DBG_FULL_DUMP) | (o.logFile ? KX_DBG_LOGFILE : 0);
        debug |= kxTraceMask[KX_TRACE_TO_RT] | kxTraceMask[KX_TRACE_FROM_RT];
    }
    char word[2][16];
    snprintf(word[0], sizeof word[0], "0x%08x", level);
    snprintf(word[1], sizeof word[1], "0x%08x", debug);
    int status = postDb(out, o.send, word[0], word[1]);
    fprintf(stderr,
            "kxctl trace: g_debug_level %s, g_debug %s: trace %s, simulator %s; "
            "the daemon's start-up words again: kxctl trace off --%s\n",
            word[0], word[1], o.state.c_str(), o.simulator ? "on" : "off",
            o.simulator ? "simulator" : "relay");
    return status;
}

} // namespace

void defineTrace(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<TraceOptions>();
    auto *verb = app.add_subcommand(
        "trace", "switch the daemon's traffic trace on or off (DB; needs the daemon's mode)");
    verb->add_option("STATE", o->state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    auto *sim = verb->add_flag("--simulator", o->simulator,
                               "the daemon runs as simulated camera (DB keeps bit 31 set)");
    auto *relay = verb->add_flag("--relay")->description("the daemon relays (DB keeps bit 31 clear)");
    sim->excludes(relay);
    verb->add_flag("--head-tail", o->headTail, "dump head and tail of long messages only");
    verb->add_flag("--log-file", o->logFile, "also write the log file /tmp/fuse_d/wifi_log.txt");
    verb->add_option("-m,--mailbox", o->send.mailbox, "mailbox to put DB into")
        ->capture_default_str();
    verb->callback([&chosen, o, sim, relay] {
        if (sim->count() + relay->count() == 0)
            throw CLI::ValidationError("--simulator or --relay",
                                       "DB rewrites the simulator flag too: say the daemon's mode, "
                                       "--simulator or --relay");
        chosen = [o](const OutputOptions &out) { return runTrace(out, *o); };
    });
}

} // namespace kxctl
