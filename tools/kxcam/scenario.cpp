// Scenario files through toml++, built without exceptions so that a bad
// file is a result like any other: the library is compiled into this file
// alone, and nothing else may include it with other settings.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "scenario.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kxcam {
namespace {

// A file larger than this is no scenario anybody wrote; refused before it
// is read so that a wrong path (a capture, /dev/zero) fails fast.
constexpr size_t kLargestFile = 1 << 20;
// More argument or payload bytes than a message could carry alongside its
// header and code.
constexpr size_t kLargestHex = 4096;

// Where in the file a value is, for the messages: "rule 2: before 1".
struct Place {
    const std::string &file;
    std::string path;
};

// Thrown inside this file only, caught by parseScenario: the first thing
// wrong ends the reading.
struct Refusal {
    std::string message;
};

[[noreturn]] void refuse(const Place &at, const toml::source_region &where, std::string_view key,
                         std::string_view expected)
{
    std::string message = at.file + ":" + std::to_string(where.begin.line) + ":" +
                          std::to_string(where.begin.column) + ": ";
    if (!at.path.empty())
        message += at.path + ": ";
    throw Refusal{message + std::string(key) + ": " + std::string(expected)};
}

Place inner(const Place &at, std::string_view what, size_t index)
{
    std::string path = at.path.empty() ? "" : at.path + ": ";
    return {at.file, path + std::string(what) + " " + std::to_string(index + 1)};
}

// Every key of the table must be one of known.
template <size_t N>
void onlyKnownKeys(const Place &at, const toml::table &table,
                   const std::array<std::string_view, N> &known)
{
    for (auto &&[key, node] : table) {
        if (std::find(known.begin(), known.end(), key.str()) != known.end())
            continue;
        std::string list;
        for (std::string_view k : known)
            list += (list.empty() ? "" : ", ") + std::string(k);
        refuse(at, key.source(), key.str(), "unknown key (known here: " + list + ")");
    }
}

long wholeNumber(const Place &at, const toml::table &table, std::string_view key, long least,
                 long most)
{
    const toml::node &node = *table.get(key);
    const auto *value = node.as_integer();
    if (!value || value->get() < least || value->get() > most)
        refuse(at, node.source(), key,
               "expected a whole number from " + std::to_string(least) + " to " +
                   std::to_string(most));
    return static_cast<long>(value->get());
}

std::optional<long> optionalNumber(const Place &at, const toml::table &table,
                                   std::string_view key, long least, long most)
{
    if (!table.contains(key))
        return std::nullopt;
    return wholeNumber(at, table, key, least, most);
}

bool flag(const Place &at, const toml::table &table, std::string_view key)
{
    const toml::node *node = table.get(key);
    if (!node)
        return false;
    if (!node->is_boolean())
        refuse(at, node->source(), key, "expected true or false");
    return node->as_boolean()->get();
}

const std::string *stringValue(const Place &at, const toml::table &table, std::string_view key,
                        std::string_view expected)
{
    const toml::node *node = table.get(key);
    if (!node)
        return nullptr;
    if (!node->is_string())
        refuse(at, node->source(), key, expected);
    return &node->as_string()->get();
}

std::optional<Bytes> hexBytes(const Place &at, const toml::table &table, std::string_view key,
                              size_t least)
{
    const std::string *hex = stringValue(at, table, key, "expected a string of hex bytes");
    if (!hex)
        return std::nullopt;
    Bytes bytes;
    std::string why;
    const toml::source_region &where = table.get(key)->source();
    if (!kxmsg::appendHexText(*hex, bytes, &why))
        refuse(at, where, key, "expected hex bytes (" + why + ")");
    if (bytes.size() < least || bytes.size() > kLargestHex)
        refuse(at, where, key,
               "expected " + std::to_string(least) + " to " + std::to_string(kLargestHex) +
                   " bytes, not " + std::to_string(bytes.size()));
    return bytes;
}

// Exactly two printable characters: the table's codes are two ASCII
// letters, and a code of another length would never match anything.
std::string codeOf(const Place &at, const toml::table &table, const toml::source_region &whole)
{
    const std::string *code = stringValue(at, table, "code", "expected a string of two characters");
    if (!code)
        refuse(at, whole, "code", "missing (the command's two characters, as \"PW\")");
    bool printable = std::all_of(code->begin(), code->end(), [](char c) {
        return kxmsg::isPrintableByte(static_cast<uint8_t>(c));
    });
    if (code->size() != 2 || !printable)
        refuse(at, table.get("code")->source(), "code",
               "expected two characters, as \"PW\", not \"" + kxmsg::escapeControls(*code) + "\"");
    return *code;
}

const toml::table &asTable(const Place &at, const toml::node &node, std::string_view key,
                           std::string_view expected)
{
    if (!node.is_table())
        refuse(at, node.source(), key, expected);
    return *node.as_table();
}

CameraCommand cameraCommand(const Place &at, const toml::node &node, std::string_view key)
{
    const toml::table &table =
        asTable(at, node, key, "expected a command, as { code = \"SU\", args = \"01\" }");
    onlyKnownKeys(at, table, std::array<std::string_view, 2>{"code", "args"});
    return {codeOf(at, table, node.source()), hexBytes(at, table, "args", 0)};
}

std::vector<CameraCommand> cameraCommands(const Place &at, const toml::table &rule,
                                          std::string_view key)
{
    std::vector<CameraCommand> commands;
    const toml::node *node = rule.get(key);
    if (!node)
        return commands;
    const toml::array *list = node->as_array();
    if (!list)
        refuse(at, node->source(), key, "expected a list of commands, as [{ code = \"SU\" }]");
    for (size_t i = 0; i < list->size(); ++i)
        commands.push_back(cameraCommand(inner(at, key, i), *list->get(i), "command"));
    return commands;
}

// Keys that each say what the answer is, or that there is none; two of
// them would leave the camera guessing.
void noContradictions(const Place &at, const toml::table &table, const Rule &rule)
{
    auto both = [&](std::string_view a, std::string_view b, bool clash) {
        if (clash)
            refuse(at, table.get(b)->source(), b,
                   "does not go with " + std::string(a) + " in the same rule");
    };
    both("nth", "times", rule.nth && rule.times);
    both("status", "payload", rule.status && rule.payload);
    both("drop", "payload", rule.drop && rule.payload);
    both("drop", "status", rule.drop && rule.status);
    both("drop", "malformed", rule.drop && rule.malformed);
}

Rule rule(const Place &at, const toml::node &node)
{
    const toml::table &table = asTable(at, node, "rule", "expected a table, as [[rule]]");
    onlyKnownKeys(at, table,
                  std::array<std::string_view, 11>{"code", "args", "nth", "times", "status",
                                                   "payload", "delay_ms", "drop", "malformed",
                                                   "before", "after"});
    Rule r;
    r.code = codeOf(at, table, node.source());
    r.args = hexBytes(at, table, "args", 0);
    r.nth = optionalNumber(at, table, "nth", 1, std::numeric_limits<int32_t>::max());
    r.times = optionalNumber(at, table, "times", 1, std::numeric_limits<int32_t>::max());
    if (auto status = optionalNumber(at, table, "status", 0, 255))
        r.status = static_cast<uint8_t>(*status);
    r.payload = hexBytes(at, table, "payload", 1);
    r.delayMs = optionalNumber(at, table, "delay_ms", 0, kLongestMs).value_or(0);
    r.drop = flag(at, table, "drop");
    r.malformed = flag(at, table, "malformed");
    r.before = cameraCommands(at, table, "before");
    r.after = cameraCommands(at, table, "after");
    noContradictions(at, table, r);
    return r;
}

TimedEvent timedEvent(const Place &at, const toml::node &node)
{
    const toml::table &table = asTable(at, node, "at", "expected a table, as [[at]]");
    onlyKnownKeys(at, table, std::array<std::string_view, 3>{"time_ms", "send", "down_ms"});
    if (!table.contains("time_ms"))
        refuse(at, node.source(), "time_ms", "missing (when, in ms from the camera's start)");
    TimedEvent e;
    e.timeMs = wholeNumber(at, table, "time_ms", 0, kLongestMs);
    e.downMs = optionalNumber(at, table, "down_ms", 1, kLongestMs);
    if (const toml::node *send = table.get("send"))
        e.send = cameraCommand(at, *send, "send");
    if (e.send.has_value() == e.downMs.has_value())
        refuse(at, node.source(), e.send ? "down_ms" : "send",
               e.send ? "does not go with send in the same [[at]]"
                      : "missing (a send = { code = ... } or a down_ms)");
    return e;
}

Fallback fallback(const Place &at, const toml::table &top)
{
    const std::string *value =
        stringValue(at, top, "default", "expected \"simulate\", \"refuse\" or \"drop\"");
    if (!value || *value == "simulate")
        return Fallback::simulate;
    if (*value == "refuse")
        return Fallback::refuse;
    if (*value == "drop")
        return Fallback::drop;
    refuse(at, top.get("default")->source(), "default",
           "expected \"simulate\", \"refuse\" or \"drop\", not \"" + kxmsg::escapeControls(*value) +
               "\"");
}

// The tables of [[key]], in file order.
template <typename Item>
std::vector<Item> tables(const Place &at, const toml::table &top, std::string_view key,
                         Item (*read)(const Place &, const toml::node &))
{
    std::vector<Item> items;
    const toml::node *node = top.get(key);
    if (!node)
        return items;
    const toml::array *list = node->as_array();
    if (!list)
        refuse(at, node->source(), key, "expected [[" + std::string(key) + "]] tables");
    for (size_t i = 0; i < list->size(); ++i)
        items.push_back(read(inner(at, key, i), *list->get(i)));
    return items;
}

Scenario scenarioOf(const Place &at, const toml::table &top)
{
    onlyKnownKeys(at, top, std::array<std::string_view, 3>{"default", "rule", "at"});
    Scenario s;
    s.fallback = fallback(at, top);
    s.rules = tables(at, top, "rule", rule);
    s.timeline = tables(at, top, "at", timedEvent);
    std::stable_sort(s.timeline.begin(), s.timeline.end(),
                     [](const TimedEvent &a, const TimedEvent &b) { return a.timeMs < b.timeMs; });
    return s;
}

std::string syntaxError(const std::string &name, const toml::parse_error &e)
{
    return name + ":" + std::to_string(e.source().begin.line) + ":" +
           std::to_string(e.source().begin.column) + ": " + std::string(e.description());
}

// toml++ 3.3 (Debian 12) classifies some non-ASCII characters where it
// skips blanks through a table that reaches __builtin_unreachable (U+FEFE
// after "[", for one): undefined behaviour on a hostile file. Everything a
// scenario says is ASCII (keys, codes, hex), so other bytes are refused
// before the library sees them.
bool asciiOnly(std::string_view text, const std::string &name, ScenarioError &error)
{
    size_t line = 1, column = 1;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            error.message = name + ":" + std::to_string(line) + ":" + std::to_string(column) +
                            ": not ASCII (a scenario file is ASCII text, comments too)";
            return false;
        }
        column = c == '\n' ? 1 : column + 1;
        line += c == '\n';
    }
    return true;
}

} // namespace

bool parseScenario(std::string_view text, const std::string &name, Scenario &scenario,
                   ScenarioError &error)
{
    if (!asciiOnly(text, name, error))
        return false;
    toml::parse_result parsed = toml::parse(text, name);
    if (!parsed) {
        error.message = syntaxError(name, parsed.error());
        return false;
    }
    try {
        scenario = scenarioOf(Place{name, ""}, parsed.table());
        return true;
    } catch (const Refusal &r) {
        error.message = r.message;
        return false;
    }
}

bool loadScenario(const std::string &path, Scenario &scenario, ScenarioError &error)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        error.message = path + ": " + strerror(errno);
        return false;
    }
    std::string text(kLargestFile + 1, '\0');
    size_t got = fread(text.data(), 1, text.size(), file);
    bool failed = ferror(file);
    fclose(file);
    if (failed || got > kLargestFile) {
        error.message = path + (failed ? ": cannot be read" : ": larger than 1 MiB, no scenario");
        return false;
    }
    text.resize(got);
    return parseScenario(text, path, scenario, error);
}

} // namespace kxcam
