// kxctl's command line: every verb, its options and what it runs.
#pragma once

#include "output.h"

#include <functional>

namespace CLI {
class App;
}

namespace kxctl {

// The chosen verb's work, set by its callback once the command line has
// been parsed.
using Runner = std::function<int(const OutputOptions &)>;

// Adds every verb to app, in the order of kxctl --help.
void defineVerbs(CLI::App &app, Runner &chosen);

} // namespace kxctl
