#include "jsonline.h"

#include "error.h"

#include <cmath>

namespace kxmsg {

namespace {

// Nesting counted outside strings, in one pass: bounded before parsing.
bool nestsTooDeep(std::string_view line)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kDeepestJson)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// A count, an offset or a type from a line of outside input: a whole
// number up to max, or the line is refused. JSON's numbers may be
// fractions or far too large, and converting those is undefined.
size_t whole(const Json &j, const char *key, size_t max)
{
    const Json &v = j.at(key);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
        throw Error(std::string("\"") + key + "\" is not a whole number up to " +
                    std::to_string(max));
    return v.get<size_t>();
}

size_t wholeOr(const Json &j, const char *key, size_t otherwise, size_t max)
{
    return j.contains(key) ? whole(j, key, max) : otherwise;
}

Bytes hexOf(const Json &j, const char *key)
{
    const Json &v = j.at(key);
    if (!v.is_string())
        throw Error(std::string("\"") + key + "\" is not a string of hex");
    Bytes bytes;
    std::string why;
    if (!appendHexText(v.get_ref<const std::string &>(), bytes, &why))
        throw Error(std::string("\"") + key + "\": " + why);
    return bytes;
}

void checkLength(size_t size)
{
    if (size > kLongestMessage)
        throw Error("a message of " + std::to_string(size) + " bytes; a message has at most " +
                    std::to_string(kLongestMessage));
}

// The message as listen and call write it without -v: its elements.
Bytes fromElements(const Json &j)
{
    Bytes raw = {0, 0, 0, static_cast<uint8_t>(wholeOr(j, "type", 0, 0xFF))};
    const Json &elements = j.at("elements");
    if (!elements.is_array())
        throw Error("\"elements\" is not a list");
    for (const Json &e : elements) {
        Bytes value = hexOf(e, "value");
        size_t len = whole(e, "length", 0xFFFF);
        raw.insert(raw.end(), {0, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len),
                               static_cast<uint8_t>(whole(e, "type", 0xFF))});
        raw.insert(raw.end(), value.begin(), value.end());
        checkLength(raw.size());
    }
    size_t total = wholeOr(j, "length", raw.size(), 0xFFFF);
    raw[0] = static_cast<uint8_t>(total >> 8);
    raw[1] = static_cast<uint8_t>(total);
    return raw;
}

void partsFromJson(const Json &j, Traced &t)
{
    t.raw.assign(whole(j, "size", kLongestMessage), 0);
    const Json &parts = j.at("parts");
    if (!parts.is_array())
        throw Error("\"parts\" is not a list");
    for (const Json &part : parts) {
        size_t at = whole(part, "offset", kLongestMessage);
        Bytes bytes = hexOf(part, "hex");
        // An empty part is a place too: it must lie within the message.
        if (at > t.raw.size() || bytes.size() > t.raw.size() - at)
            throw Error("a part lies beyond the message's " + std::to_string(t.raw.size()) +
                        " bytes");
        std::copy(bytes.begin(), bytes.end(), t.raw.begin() + static_cast<long>(at));
        t.shown.emplace_back(at, at + bytes.size());
    }
}

void bytesFromJson(const Json &j, Traced &t)
{
    if (j.contains("parts"))
        return partsFromJson(j, t);
    t.raw = j.contains("hex") ? hexOf(j, "hex") : fromElements(j);
    checkLength(t.raw.size());
    t.shown = {{0, t.raw.size()}};
}

std::string textOr(const Json &j, const char *key, const std::string &otherwise)
{
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : otherwise;
}

void timeFromJson(const Json &j, Traced &t)
{
    if (!j.contains("time") || !j["time"].is_number())
        return;
    double seconds = j["time"].get<double>();
    if (!onClock(seconds))
        throw Error("\"time\" lies beyond what the clock holds");
    t.when = fromMicroseconds(std::llround(seconds * 1e6));
}

} // namespace

Traced tracedFromJson(std::string_view line)
{
    if (nestsTooDeep(line))
        throw Error("nested deeper than " + std::to_string(kDeepestJson) + " levels");
    Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded())
        throw Error("not JSON");
    if (!j.is_object())
        throw Error("not a JSON object");
    Traced t;
    t.from = From::json;
    try {
        if (!j.contains("parts") && !j.contains("hex") && !j.contains("elements"))
            throw Error("no \"hex\", \"parts\" or \"elements\": no message's bytes");
        bytesFromJson(j, t);
        t.tag = textOr(j, "trace", textOr(j, "channel", ""));
        timeFromJson(j, t);
        t.stamp = textOr(j, "stamp", t.when ? logStamp(*t.when) : "");
    } catch (const nlohmann::json::exception &e) {
        throw Error(std::string("a key is missing or of the wrong kind: ") + e.what());
    }
    return t;
}

} // namespace kxmsg
