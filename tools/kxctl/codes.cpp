// codes: the 24 codes of the camera's command table with their argument
// lengths.
#include "daemon/commands.h"
#include "failure.h"
#include "output.h"
#include "verbs.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kxctl {

int runCodes(const OutputOptions &out)
{
    if (!out.json)
        printLine("CODE  ARGS    MEANING");
    for (const CodeRow &row : commandTable()) {
        if (out.json) {
            nlohmann::ordered_json j = {{"index", row.index},     {"code", row.code},
                                        {"min_args", row.minArgs}, {"max_args", row.maxArgs},
                                        {"meaning", row.meaning}};
            printLine(j.dump());
            continue;
        }
        char line[160];
        snprintf(line, sizeof line, "%-4s  %-6s  %s", row.code.c_str(), lengthText(row).c_str(),
                 row.meaning.c_str());
        printLine(line);
    }
    flushOutput();
    return kExitOk;
}

} // namespace kxctl
