// Messages of the daemon's trace shown the way listen shows messages, but
// with the daemon's time and direction.
#include "logread.h"
#include "meaning.h"
#include "render.h"

#include "kxTlv.h"

#include <cstdio>
#include <ctime>

namespace kxctl {

namespace {

using json = nlohmann::ordered_json;

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

struct Direction {
    const char *json;
    const char *text;
};

// The two trace indices that the daemon uses, and the error dump.
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

std::string shownText(const Traced &t)
{
    std::string text;
    for (const auto &[a, b] : t.shown)
        text += (text.empty() ? "bytes " : ", ") + std::to_string(a) + "-" + std::to_string(b - 1);
    return text + " of " + std::to_string(t.raw.size()) + " (the log shows head and tail only)";
}

std::string heading(const Traced &t, const Message &m, const Meaning &meaning, bool colour)
{
    auto paint = [colour](const char *code, const std::string &text) {
        return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
    };
    std::string text = t.stamp.empty() ? "" : t.stamp + "  ";
    text += (t.tag.empty() ? "(no label)" : t.tag);
    if (*directionOf(t.tag).text != '\0')
        text += std::string(" ") + directionOf(t.tag).text;
    text += std::string(": ") + (m.isResponse() ? "response " : "command ");
    text += paint("1", valueText(m.find(TLV_TYPE_CMD)));
    if (meaning.verdict != Verdict::none)
        text += "  " + paint(meaning.verdict == Verdict::accepted ? "32" : "31",
                             verdictText(meaning.verdict));
    return text + (t.cut() ? "  (cut)\n" : "\n");
}

// A count, an offset or a type from a line of outside input: a whole
// number up to max, or the line is refused. JSON's numbers may be
// fractions or far too large, and converting those is undefined.
size_t whole(const json &v, size_t max)
{
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
        throw std::invalid_argument("not a whole number up to " + std::to_string(max));
    return v.get<size_t>();
}

size_t wholeOr(const json &j, const char *key, size_t otherwise, size_t max)
{
    return j.contains(key) ? whole(j.at(key), max) : otherwise;
}

// The message as listen and call write it without -v: its elements.
Bytes fromElements(const json &j)
{
    Bytes raw = {0, 0, 0, static_cast<uint8_t>(wholeOr(j, "type", 0, 0xFF))};
    for (const json &e : j.at("elements")) {
        Bytes value = parseHexText(e.at("value").get<std::string>());
        size_t len = whole(e.at("length"), 0xFFFF);
        raw.insert(raw.end(), {0, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len),
                               static_cast<uint8_t>(whole(e.at("type"), 0xFF))});
        raw.insert(raw.end(), value.begin(), value.end());
    }
    size_t total = wholeOr(j, "length", raw.size(), 0xFFFF);
    raw[0] = static_cast<uint8_t>(total >> 8);
    raw[1] = static_cast<uint8_t>(total);
    return raw;
}

void bytesFromJson(const json &j, Traced &t)
{
    if (j.contains("parts")) {
        t.raw.assign(whole(j.at("size"), 0xFFFF), 0);
        for (const json &part : j.at("parts")) {
            size_t at = whole(part.at("offset"), 0xFFFF);
            Bytes bytes = parseHexText(part.at("hex").get<std::string>());
            if (at + bytes.size() > t.raw.size())
                throw std::invalid_argument("a part lies beyond the message");
            std::copy(bytes.begin(), bytes.end(), t.raw.begin() + static_cast<long>(at));
            t.shown.emplace_back(at, at + bytes.size());
        }
        return;
    }
    t.raw = j.contains("hex") ? parseHexText(j.at("hex").get<std::string>()) : fromElements(j);
    t.shown = {{0, t.raw.size()}};
}

std::string stampOf(std::chrono::system_clock::time_point when)
{
    time_t secs = std::chrono::system_clock::to_time_t(when);
    struct tm local {};
    localtime_r(&secs, &local);
    char text[32];
    strftime(text, sizeof text, "%b%d %H:%M:%S", &local);
    return text;
}

} // namespace

std::optional<Traced> tracedFromJson(std::string_view line)
{
    json j = json::parse(line, nullptr, false);
    if (!j.is_object())
        return std::nullopt;
    Traced t;
    try {
        bytesFromJson(j, t);
        t.tag = j.value("trace", j.value("channel", ""));
        if (j.contains("time") && j["time"].is_number()) {
            if (!onClock(j["time"].get<double>()))
                return std::nullopt;
            auto us = std::chrono::microseconds(
                static_cast<long long>(j["time"].get<double>() * 1e6 + 0.5));
            t.when = std::chrono::system_clock::time_point(us);
        }
        t.stamp = j.value("stamp", t.when ? stampOf(*t.when) : "");
    } catch (const std::exception &) {
        return std::nullopt;
    }
    return t;
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

json tracedJson(const Traced &t)
{
    Message m = tracedMessage(t);
    json out = renderJson(m, interpret(m), {t.tag}, false, {});
    out["time"] = t.when ? json(epochSeconds(*t.when)) : json(nullptr);
    out["stamp"] = t.stamp;
    out["trace"] = t.tag;
    out["direction"] = directionOf(t.tag).json;
    if (!t.cut()) {
        out["hex"] = toHex(t.raw);
        return out;
    }
    out["valid"] = nullptr;
    out["check"] = nullptr;
    out["size"] = t.raw.size();
    out["cut"] = true;
    json parts = json::array();
    for (const auto &[a, b] : t.shown)
        parts.push_back({{"offset", a}, {"hex", toHex(t.raw.data() + a, b - a)}});
    out["parts"] = parts;
    return out;
}

void printTraced(const OutputOptions &out, const Traced &t)
{
    if (out.json) {
        printLine(tracedJson(t).dump(-1, ' ', false, json::error_handler_t::replace));
        return flushOutput();
    }
    Message m = tracedMessage(t);
    Meaning meaning = interpret(m);
    std::string text = renderText(m, meaning, {t.tag, false, false}, out, {});
    text = heading(t, m, meaning, out.colour) + text.substr(text.find('\n') + 1);
    if (t.cut())
        text += "  shown        " + shownText(t) + "\n";
    fputs(text.c_str(), stdout);
    flushOutput();
}

} // namespace kxctl
