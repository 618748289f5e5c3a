// The camera's command table, read from the daemon's own: the lengths and
// the order are the daemon's, the words are ours.
#include "commands.h"

#include "camCommand.h"

#include <cstring>
#include <string_view>

namespace kxctl {

namespace {

struct Words {
    const char *code;
    const char *meaning;
};

const Words kWords[] = {
    {"DB", "set the daemon's debug words (little-endian); never answered"},
    {"cm", "the mode byte"},
    {"cv", "the camera's version strings"},
    {"lc", "the canvas; the argument byte comes back first"},
    {"pv", "a value (0)"},
    {"se", "a settings block with the mode byte"},
    {"st", "a status with the mode byte"},
    {"tm", "always refused"},
    {"um", "a value (1)"},
    {"vs", "a value (2)"},
    {"sh", "a value (0)"},
    {"sx", "an extended settings block with the mode byte"},
    {"cc", "31 zero bytes"},
    {"CM", "set the mode byte; the canvas is redrawn and sent (LC)"},
    {"PV", "accepted; reports 1"},
    {"TM", "accepted; changes nothing"},
    {"UM", "accepted; echoes its argument byte"},
    {"SH", "accepted; reports the mode byte"},
    {"PW", "02 steps the mode (canvas redrawn), 00 makes the camera send SU first"},
    {"OO", "accepted; changes nothing"},
    {"IT", "timeouts: TCP in the low nibble, UDP in the high one (logged)"},
    {"HR", "hello (logged)"},
    {"SU", "ready to suspend (logged)"},
    {"??", "stands for every unknown code: refused"},
};

std::string wordsFor(std::string_view code)
{
    for (const Words &w : kWords)
        if (code == w.code)
            return w.meaning;
    return "";
}

} // namespace

std::string lengthText(const CodeRow &row)
{
    if (row.minArgs == row.maxArgs)
        return std::to_string(row.minArgs);
    return std::to_string(row.minArgs) + "-" + std::to_string(row.maxArgs);
}

std::vector<CodeRow> commandTable()
{
    std::vector<CodeRow> rows;
    for (int i = 0; i < KX_CA_COMMANDS; ++i) {
        std::string code(g_caCodes + 2 * i, 2);
        const CAcommand_t &c = g_caCommandTable[i];
        rows.push_back({i, code, c.minArgLen, c.maxArgLen, wordsFor(code)});
    }
    return rows;
}

std::string argumentProblem(const std::string &code, size_t argLen)
{
    uint8_t key[2] = {};
    memcpy(key, code.data(), std::min<size_t>(code.size(), 2));
    int index = CAcommandIndex(key);
    if (index == KX_CA_DEFAULT && code != "??")
        return code + " is not a code of the camera's table (kxctl codes lists them)";
    CodeRow row = commandTable()[static_cast<size_t>(index)];
    if (argLen >= row.minArgs && argLen <= row.maxArgs)
        return "";
    return code + " takes " + lengthText(row) + " argument byte" +
           (row.maxArgs == 1 ? "" : "s") + ", got " + std::to_string(argLen);
}

} // namespace kxctl
