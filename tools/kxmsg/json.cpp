#include "json.h"

#include "kxTlv.h"

#include <charconv>

namespace kxmsg {

std::string jsonLine(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

void separate(JsonOut &out)
{
    if (!out.first)
        out.text += ',';
    out.first = false;
}

// Printable ASCII that JSON takes as it is: most of what a message holds.
bool isPlain(std::string_view text)
{
    for (char c : text)
        if (!isPrintableByte(static_cast<uint8_t>(c)) || c == '"' || c == '\\')
            return false;
    return true;
}

void quoted(std::string &text, std::string_view plain)
{
    text += '"';
    text += plain;
    text += '"';
}

} // namespace

void jsonOpen(JsonOut &out, char bracket)
{
    separate(out);
    out.text += bracket;
    out.first = true;
}

void jsonClose(JsonOut &out, char bracket)
{
    out.text += bracket;
    out.first = false;
}

void jsonKey(JsonOut &out, std::string_view key)
{
    separate(out);
    quoted(out.text, key);
    out.text += ':';
    out.first = true;
}

void jsonText(JsonOut &out, std::string_view text)
{
    separate(out);
    if (isPlain(text))
        quoted(out.text, text);
    else
        out.text += jsonLine(std::string(text));
}

void jsonHex(JsonOut &out, const uint8_t *data, size_t size)
{
    separate(out);
    out.text += '"';
    appendHex(out.text, data, size);
    out.text += '"';
}

void jsonInteger(JsonOut &out, long long value)
{
    separate(out);
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.text.append(digits, end);
}

void jsonBool(JsonOut &out, bool value)
{
    separate(out);
    out.text += value ? "true" : "false";
}

void jsonNull(JsonOut &out)
{
    separate(out);
    out.text += "null";
}

void jsonValue(JsonOut &out, const Json &value)
{
    separate(out);
    out.text += jsonLine(value);
}

namespace {

void field(JsonOut &out, std::string_view key, std::string_view text)
{
    jsonKey(out, key);
    jsonText(out, text);
}

void field(JsonOut &out, std::string_view key, long long value)
{
    jsonKey(out, key);
    jsonInteger(out, value);
}

void textOrNull(JsonOut &out, std::string_view key, const Element *e)
{
    jsonKey(out, key);
    if (e == nullptr || !isPrintable(e->value))
        return jsonNull(out);
    jsonText(out, {reinterpret_cast<const char *>(e->value.data()), e->value.size()});
}

void hexIfThere(JsonOut &out, std::string_view key, const Element *e)
{
    if (e == nullptr)
        return;
    jsonKey(out, key);
    jsonHex(out, e->value.data(), e->value.size());
}

void elements(JsonOut &out, const Message &m)
{
    jsonKey(out, "elements");
    jsonOpen(out, '[');
    for (const Element &e : m.elements) {
        jsonOpen(out, '{');
        field(out, "type", e.type);
        field(out, "name", elementTypeName(e.type));
        field(out, "length", static_cast<long long>(e.length));
        jsonKey(out, "value");
        jsonHex(out, e.value.data(), e.value.size());
        jsonClose(out, '}');
    }
    jsonClose(out, ']');
}

// Whether the bytes make a well-formed message, unless they are not all
// there to say.
void verdict(JsonOut &out, const Message &m, bool judged)
{
    jsonKey(out, "valid");
    judged ? jsonBool(out, m.check == 0) : jsonNull(out);
    jsonKey(out, "check");
    judged ? jsonInteger(out, m.check) : jsonNull(out);
}

} // namespace

void jsonMessageFields(JsonOut &out, const Message &m, const Meaning &meaning,
                       const JsonHead &head)
{
    jsonKey(out, "time");
    head.time ? jsonValue(out, *head.time) : jsonNull(out);
    field(out, "channel", head.channel);
    field(out, "direction", head.direction);
    field(out, "length", m.length);
    field(out, "size", static_cast<long long>(m.raw.size()));
    field(out, "type", m.type);
    field(out, "kind", m.isResponse() ? "response" : "command");
    verdict(out, m, head.judged);
    textOrNull(out, "code", m.find(TLV_TYPE_CMD));
    textOrNull(out, "source", m.find(TLV_TYPE_SRC));
    textOrNull(out, "destination", m.find(TLV_TYPE_DST));
    if (head.answer) {
        jsonKey(out, "answer");
        jsonBool(out, *head.answer);
    }
    hexIfThere(out, "args", m.find(TLV_TYPE_ARG));
    hexIfThere(out, "response", m.find(TLV_TYPE_RESP));
    if (meaning.verdict != Verdict::none)
        field(out, "status", verdictText(meaning.verdict));
    if (!meaning.json.empty()) {
        jsonKey(out, "decoded");
        jsonValue(out, meaning.json);
    }
    elements(out, m);
}

std::string messageJsonLine(const Message &m, const Meaning &meaning, const Origin &origin,
                            bool verbose, WallClock::time_point when)
{
    JsonOut out;
    jsonOpen(out, '{');
    std::optional<bool> answer;
    if (origin.role != Role::none)
        answer = origin.role == Role::answer;
    jsonMessageFields(out, m, meaning,
                      {epochSeconds(when), origin.channel, origin.outgoing ? "out" : "in", true,
                       answer});
    if (verbose) {
        jsonKey(out, "hex");
        jsonHex(out, m.raw.data(), m.raw.size());
    }
    jsonClose(out, '}');
    return std::move(out.text);
}

} // namespace kxmsg
