// trace: switches the daemon's traffic trace on and off with "DB". "DB"
// replaces both debug words whole, the simulator flag (bit 31) among them,
// and is never answered, so the user says which mode the daemon is in.
#include "exchange.h"
#include "verbs.h"

#include "kxLog.h"

#include <cstdio>

namespace kxctl {

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

} // namespace kxctl
