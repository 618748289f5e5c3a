// The commands that others send too: trace switches the daemon's trace
// with the same "DB" that the db verb sends.
#pragma once

#include "options.h"
#include "output.h"

#include <string>

namespace kxctl {

// Puts "DB" with the two words (hex or decimal) into send's mailbox.
int postDb(const OutputOptions &out, const SendOptions &send, const std::string &level,
           const std::string &debug);

} // namespace kxctl
