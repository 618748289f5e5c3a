// Signals: SIGINT and SIGTERM ask a long-running verb to stop after the
// message at hand; SIGPIPE is ignored, so that a closed pipe shows up as
// EPIPE on the next write and ends kxctl quietly instead of killing it.
#pragma once

namespace kxctl {

void ignoreBrokenPipe();

// Installed without SA_RESTART, so that a waiting poll() returns.
void catchStopSignals();

bool stopRequested();

} // namespace kxctl
