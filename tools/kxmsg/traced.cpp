#include "traced.h"

#include "meaning.h"

#include "kxTlv.h"

namespace kxmsg {

namespace {

bool isShown(const Traced &t, size_t from, size_t to)
{
    for (const auto &[a, b] : t.shown)
        if (a <= from && to <= b)
            return true;
    return false;
}

// The bytes of [from, to) that are shown, from the start on.
size_t shownFrom(const Traced &t, size_t from, size_t to)
{
    for (const auto &[a, b] : t.shown)
        if (a <= from && from < b)
            return std::min(to, b) - from;
    return 0;
}

std::string shownText(const Traced &t)
{
    std::string text;
    for (const auto &[a, b] : t.shown)
        text += (text.empty() ? "bytes " : ", ") + std::to_string(a) + "-" + std::to_string(b - 1);
    return text + " of " + std::to_string(t.raw.size()) + " (the log shows head and tail only)";
}

// The label comes from the recording, which may come from anywhere.
std::string heading(const Traced &t, const Message &m, const Meaning &meaning, bool colour)
{
    std::string text = t.stamp.empty() ? "" : escapeControls(t.stamp) + "  ";
    text += t.tag.empty() ? "(no label)" : escapeControls(t.tag);
    if (*directionOf(t.tag).text != '\0')
        text += std::string(" ") + directionOf(t.tag).text;
    text += std::string(": ") + (m.isResponse() ? "response " : "command ");
    text += paint(colour, "1", valueText(m.find(TLV_TYPE_CMD)));
    if (meaning.verdict != Verdict::none)
        text += "  " + paint(colour, meaning.verdict == Verdict::accepted ? "32" : "31",
                             verdictText(meaning.verdict));
    return text + (t.cut() ? "  (cut)\n" : "\n");
}

} // namespace

Direction directionOf(const std::string &tag)
{
    if (tag == ">RT")
        return {"to_camera", "to the camera side"};
    if (tag == "<RT")
        return {"to_mailbox", "to the mailbox"};
    if (tag == "ERROR")
        return {"malformed", "malformed, from the camera side"};
    return {"", ""};
}

Message tracedMessage(const Traced &t)
{
    Message m = parseMessage(t.raw);
    if (!t.cut())
        return m;
    m.check = 0;
    std::vector<Element> kept;
    for (Element &e : m.elements) {
        if (!isShown(t, e.offset, e.offset + TLV_ELEM_HDR_LEN))
            break;
        size_t from = e.offset + TLV_ELEM_HDR_LEN;
        e.value.resize(shownFrom(t, from, from + e.value.size()));
        kept.push_back(std::move(e));
    }
    m.elements = std::move(kept);
    return m;
}

namespace {

// The bytes as the recording shows them, to be read back: the whole
// message, or each shown part at its offset.
void bytesAsShown(JsonOut &out, const Traced &t)
{
    if (!t.cut()) {
        jsonKey(out, "hex");
        return jsonHex(out, t.raw.data(), t.raw.size());
    }
    jsonKey(out, "cut");
    jsonBool(out, true);
    jsonKey(out, "parts");
    jsonOpen(out, '[');
    for (const auto &[a, b] : t.shown) {
        jsonOpen(out, '{');
        jsonKey(out, "offset");
        jsonInteger(out, static_cast<long long>(a));
        jsonKey(out, "hex");
        jsonHex(out, t.raw.data() + a, b - a);
        jsonClose(out, '}');
    }
    jsonClose(out, ']');
}

} // namespace

std::string tracedJsonLine(const Traced &t)
{
    Message m = tracedMessage(t);
    JsonOut out;
    jsonOpen(out, '{');
    std::optional<double> time;
    if (t.when)
        time = epochSeconds(*t.when);
    jsonMessageFields(out, m, interpret(m),
                      {time, t.tag, directionOf(t.tag).json, !t.cut(), std::nullopt});
    jsonKey(out, "stamp");
    jsonText(out, t.stamp);
    jsonKey(out, "trace");
    jsonText(out, t.tag);
    bytesAsShown(out, t);
    jsonClose(out, '}');
    return std::move(out.text);
}

std::string tracedText(const Traced &t, const RenderOptions &options)
{
    Message m = tracedMessage(t);
    Meaning meaning = interpret(m);
    std::string text = heading(t, m, meaning, options.colour) + renderBody(m, meaning, options);
    if (t.cut())
        text += "  shown        " + shownText(t) + "\n";
    return text;
}

} // namespace kxmsg
