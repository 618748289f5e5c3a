#include "signals.h"

#include <csignal>

namespace kxctl {

namespace {

volatile sig_atomic_t g_stop = 0;

void onStop(int)
{
    g_stop = 1;
}

} // namespace

void ignoreBrokenPipe()
{
    signal(SIGPIPE, SIG_IGN);
}

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested()
{
    return g_stop != 0;
}

} // namespace kxctl
