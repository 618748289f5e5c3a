#include "render.h"

#include "picture.h"

#include "kxHexStr.h"
#include "kxTlv.h"

#include <cstdio>
#include <ctime>

namespace kxmsg {

namespace {

constexpr size_t kShownBytes = 32; // longer values are cut in the text form

struct Paint {
    bool on;
    std::string wrap(const char *code, const std::string &text) const
    {
        return paint(on, code, text);
    }
};

std::string localTime(WallClock::time_point when)
{
    auto since = when.time_since_epoch();
    auto ms = std::chrono::floor<std::chrono::milliseconds>(since) -
              std::chrono::floor<std::chrono::seconds>(since);
    struct tm local = localSecond(when);
    char text[32];
    size_t n = strftime(text, sizeof text, "%H:%M:%S", &local);
    snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms.count()));
    return text;
}

std::string row(const std::string &label, const std::string &text)
{
    char head[32];
    snprintf(head, sizeof head, "  %-12s ", label.c_str());
    return head + text + "\n";
}

std::string shortHex(const Bytes &value)
{
    if (value.empty())
        return "(none)";
    if (value.size() <= kShownBytes)
        return toHex(value, " ");
    return toHex(value.data(), kShownBytes, " ") + " ... (" + std::to_string(value.size()) +
           " bytes)";
}

std::string argumentsText(const Element *args)
{
    if (args == nullptr)
        return "(no argument element)";
    std::string text = shortHex(args->value);
    if (isPrintable(args->value) && args->value.size() <= kShownBytes)
        text += "  \"" + std::string(args->value.begin(), args->value.end()) + "\"";
    return text;
}

std::string heading(const Message &m, const Meaning &meaning, const Origin &origin,
                    const Paint &paint, WallClock::time_point when)
{
    std::string text = origin.stamped ? localTime(when) + "  " : "";
    text += (origin.outgoing ? "to " : "from ") + origin.channel + ": ";
    text += m.isResponse() ? "response " : "command ";
    text += paint.wrap("1", valueText(m.find(TLV_TYPE_CMD)));
    if (meaning.verdict != Verdict::none) {
        const char *colour = meaning.verdict == Verdict::accepted ? "32" : "31";
        text += "  " + paint.wrap(colour, verdictText(meaning.verdict));
    }
    if (origin.role == Role::meanwhile)
        text += "  (meanwhile, not the answer)";
    return text + "\n";
}

std::string typeText(const Message &m)
{
    return std::to_string(m.type) + (m.type % 2 == 1 ? " (response)" : " (command)");
}

std::string lengthText(const Message &m)
{
    std::string text = std::to_string(m.length) + " bytes";
    if (static_cast<size_t>(m.length) != m.raw.size())
        text += ", " + std::to_string(m.raw.size()) + " received";
    return text;
}

// The elements in a fixed order, then any others as they come. A canvas
// in the arguments is drawn below instead of being dumped here.
std::string elementRows(const Message &m, const Meaning &meaning)
{
    std::string text = row("code", valueText(m.find(TLV_TYPE_CMD)));
    text += row("type", typeText(m));
    text += row("length", lengthText(m));
    text +=
        row("route", valueText(m.find(TLV_TYPE_SRC)) + " -> " + valueText(m.find(TLV_TYPE_DST)));
    if (meaning.canvas && !m.isResponse())
        text += row("arguments", std::to_string(meaning.canvas->size()) + " bytes: the canvas");
    else
        text += row("arguments", argumentsText(m.find(TLV_TYPE_ARG)));
    if (const Element *resp = m.find(TLV_TYPE_RESP))
        text += row("response", shortHex(resp->value));
    for (const Element &e : m.elements) {
        bool shown = e.type == TLV_TYPE_CMD || e.type == TLV_TYPE_ARG || e.type == TLV_TYPE_SRC ||
                     e.type == TLV_TYPE_DST || e.type == TLV_TYPE_RESP || e.type == TLV_TYPE_END;
        if (!shown)
            text += row(elementTypeName(e.type), shortHex(e.value));
    }
    return text;
}

std::string hexDump(const Bytes &raw)
{
    int total = kxHexDumpStr(nullptr, 0, raw.data(), static_cast<int>(raw.size()), "    ");
    std::string text(static_cast<size_t>(total) + 1, '\0');
    kxHexDumpStr(text.data(), text.size(), raw.data(), static_cast<int>(raw.size()), "    ");
    text.resize(static_cast<size_t>(total));
    return text;
}

std::string pictureRows(const Bytes &canvas)
{
    std::string text;
    for (const auto &line : halfBlockLines(canvas))
        text += "    " + line + "\n";
    return text;
}

std::string statusRow(const Meaning &meaning, const Paint &paint)
{
    if (meaning.verdict == Verdict::none)
        return {};
    const char *colour = meaning.verdict == Verdict::accepted ? "32" : "31";
    return row("status", paint.wrap(colour, verdictText(meaning.verdict)));
}

} // namespace

std::string paint(bool colour, const char *code, const std::string &text)
{
    return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
}

std::string renderText(const Message &message, const Meaning &meaning, const Origin &origin,
                       const RenderOptions &options, WallClock::time_point when)
{
    return heading(message, meaning, origin, Paint{options.colour}, when) +
           renderBody(message, meaning, options);
}

std::string renderBody(const Message &message, const Meaning &meaning,
                       const RenderOptions &options)
{
    Paint paint{options.colour};
    std::string text;
    if (message.check != 0)
        text += row("malformed", paint.wrap("31", checkText(message.check) + " (" +
                                                      std::to_string(message.check) + ")"));
    text += elementRows(message, meaning);
    text += statusRow(meaning, paint);
    for (const auto &[label, value] : meaning.lines)
        text += row(label, value);
    if (meaning.canvas)
        text += pictureRows(*meaning.canvas);
    if (options.verbose || message.check != 0)
        text += hexDump(message.raw);
    return text;
}

std::string renderPicture(const Meaning &meaning)
{
    return meaning.canvas ? pictureRows(*meaning.canvas) : std::string();
}

} // namespace kxmsg
