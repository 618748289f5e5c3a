// What makes the running camera other than the simulated one: the files
// it starts from (scenario, recording, journal) and the requests of its
// control socket.
#pragma once

#include "control.h"
#include "session.h"

#include <string>

namespace kxctl {

// Throws Failure (usage) for a scenario or recording that cannot be used.
void loadSetup(Session &s);

// Answers one request of the control socket (see control.h).
ControlReply control(Session &s, const std::string &request);

} // namespace kxctl
