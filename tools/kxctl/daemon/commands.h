// The camera's command table as the daemon has it (g_caCodes and
// g_caCommandTable, linked from the daemon's own sources): kxctl lists it,
// checks arguments against it and completes codes from it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kxctl {

struct CodeRow {
    int index = 0;
    std::string code;
    unsigned minArgs = 0;
    unsigned maxArgs = 0;
    std::string meaning;
};

std::vector<CodeRow> commandTable();

// "1", or "0-24" when the length may vary.
std::string lengthText(const CodeRow &row);

// Why the daemon's simulated camera would refuse code with argLen argument
// bytes for its form (an unknown code, a wrong length), or "" when it would
// not.
std::string argumentProblem(const std::string &code, size_t argLen);

} // namespace kxctl
