#include "meaning.h"

#include "camCommand.h"
#include "kxTlv.h"

#include <cstdio>

namespace kxmsg {

namespace {

using Reader = void (*)(const Bytes &value, Meaning &out);

std::string number(unsigned value)
{
    char text[32];
    snprintf(text, sizeof text, "%u (0x%02x)", value, value);
    return text;
}

// Responses that carry the camera's mode byte after the status byte.
void modeByte(const Bytes &value, Meaning &out)
{
    if (value.size() < 2)
        return;
    out.lines.emplace_back("mode", number(value[1]));
    out.json["mode"] = value[1];
}

// Responses that report one value after the status byte.
void valueByte(const Bytes &value, Meaning &out)
{
    if (value.size() < 2)
        return;
    out.lines.emplace_back("value", number(value[1]));
    out.json["value"] = value[1];
}

// Two bytes, then strings that each start with their length byte.
void versionStrings(const Bytes &value, Meaning &out)
{
    if (value.size() < 3)
        return;
    Bytes head(value.begin() + 1, value.begin() + 3);
    std::vector<std::string> strings;
    size_t at = 3;
    while (at < value.size() && at + 1 + value[at] <= value.size()) {
        auto from = value.begin() + static_cast<long>(at) + 1;
        strings.emplace_back(from, from + value[at]);
        at += 1 + value[at];
    }
    std::string text = toHex(head, " ");
    for (const auto &s : strings)
        text += ", \"" + escapeControls(s) + "\"";
    out.lines.emplace_back("version", text);
    out.json["version"] = {{"head", toHex(head)}, {"strings", strings}};
}

void canvasFrom(const Bytes &value, size_t at, Meaning &out)
{
    if (value.size() < at + KX_CANVAS_SIZE)
        return;
    out.canvas = Bytes(value.begin() + static_cast<long>(at),
                       value.begin() + static_cast<long>(at) + KX_CANVAS_SIZE);
    out.lines.emplace_back("canvas", std::to_string(KX_CANVAS_COLUMNS) + " x " +
                                         std::to_string(KX_CANVAS_ROWS) + " pixels");
    out.json["canvas"] = toHex(*out.canvas);
}

// "lc": status, the echoed argument byte, the canvas.
void canvasReply(const Bytes &value, Meaning &out)
{
    if (value.size() >= 2)
        out.json["echo"] = value[1];
    canvasFrom(value, 2, out);
}

// The camera's own "LC": the canvas is the argument.
void canvasCommand(const Bytes &value, Meaning &out)
{
    canvasFrom(value, 0, out);
}

void newMode(const Bytes &value, Meaning &out)
{
    if (value.size() == 1) {
        out.lines.emplace_back("new mode", number(value[0]));
        out.json["mode"] = value[0];
    }
}

// "DB": the daemon's two debug words, little-endian; missing bytes are 0.
void debugWords(const Bytes &value, Meaning &out)
{
    uint32_t level = littleEndianWord(value, 0);
    uint32_t debug = littleEndianWord(value, 4);
    char text[80];
    snprintf(text, sizeof text, "g_debug_level 0x%08x, g_debug 0x%08x", level, debug);
    out.lines.emplace_back("debug words", text);
    out.json["debug_level"] = level;
    out.json["debug"] = debug;
}

void suspend(const Bytes &, Meaning &out)
{
    out.lines.emplace_back("meaning", "the camera is ready to suspend");
}

struct Known {
    const char *code;
    bool response; // reads the response element, else the arguments
    Reader read;
};

const Known kKnown[] = {
    {"cm", true, modeByte},       {"CM", true, modeByte},    {"SH", true, modeByte},
    {"st", true, modeByte},       {"se", true, modeByte},    {"sx", true, modeByte},
    {"pv", true, valueByte},      {"um", true, valueByte},   {"vs", true, valueByte},
    {"sh", true, valueByte},      {"PV", true, valueByte},   {"UM", true, valueByte},
    {"cv", true, versionStrings}, {"lc", true, canvasReply}, {"LC", false, canvasCommand},
    {"CM", false, newMode},       {"DB", false, debugWords}, {"SU", false, suspend},
};

std::string codeOf(const Message &message)
{
    const Element *code = message.find(TLV_TYPE_CMD);
    return code != nullptr ? std::string(code->value.begin(), code->value.end()) : "";
}

} // namespace

Verdict verdictOf(const Message &message)
{
    const Element *resp = message.find(TLV_TYPE_RESP);
    if (resp == nullptr || resp->value.empty())
        return Verdict::none;
    return resp->value[0] == KX_CA_ACCEPTED ? Verdict::accepted : Verdict::refused;
}

std::string verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::accepted: return "accepted";
    case Verdict::refused: return "refused";
    default: return "";
    }
}

Meaning interpret(const Message &message)
{
    Meaning out;
    out.verdict = verdictOf(message);
    // A refusal carries nothing but its status byte.
    if (out.verdict == Verdict::refused)
        return out;
    const std::string code = codeOf(message);
    const bool response = message.isResponse();
    for (const Known &k : kKnown) {
        if (code != k.code || response != k.response)
            continue;
        const Element *e = message.find(response ? TLV_TYPE_RESP : TLV_TYPE_ARG);
        if (e != nullptr)
            k.read(e->value, out);
    }
    return out;
}

} // namespace kxmsg
