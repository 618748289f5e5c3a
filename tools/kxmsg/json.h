// The JSON form of a message, one object a line: numbers for numbers, hex
// strings for bytes, text only where every byte is printable (else null,
// with the bytes still in "elements"), so that nothing is lost or mangled
// on the way.
//
// A message's line is written field by field as it goes out, not built as
// a tree first: building and freeing the tree was most of what decoding a
// recording to JSON cost. The line is what nlohmann's dump of the same
// object gives, byte for byte; nlohmann still writes what the writer hands
// it (a number with a fraction, a string that needs escaping, a payload's
// decoded meaning), so that there is one spelling of each.
#pragma once

#include "clock.h"
#include "meaning.h"
#include "message.h"
#include "render.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kxmsg {

using Json = nlohmann::ordered_json;

// One line of text, whatever the value holds: bytes that are not UTF-8
// are replaced, never thrown over.
std::string jsonLine(const Json &value);

// A line being written. Values follow keys in an object and each other
// in an array; the writer puts the commas in.
struct JsonOut {
    std::string text;
    bool first = true; // nothing yet at this level, or a key just written
};

void jsonOpen(JsonOut &out, char bracket);  // '{' or '['
void jsonClose(JsonOut &out, char bracket); // '}' or ']'
void jsonKey(JsonOut &out, std::string_view key);
void jsonText(JsonOut &out, std::string_view text);
void jsonHex(JsonOut &out, const uint8_t *data, size_t size);
void jsonInteger(JsonOut &out, long long value);
void jsonBool(JsonOut &out, bool value);
void jsonNull(JsonOut &out);
void jsonValue(JsonOut &out, const Json &value);

// What a message's line says besides the message: when, on which channel,
// which way, and whether the bytes are there to be judged (a message cut
// by its recording is not).
struct JsonHead {
    std::optional<double> time; // seconds since the epoch, or null
    std::string_view channel;
    std::string_view direction;
    bool judged = true;
    std::optional<bool> answer;
};

// The message's fields from "time" to "elements", into an open object.
void jsonMessageFields(JsonOut &out, const Message &message, const Meaning &meaning,
                       const JsonHead &head);

// A live message's line; verbose adds its bytes as "hex".
std::string messageJsonLine(const Message &message, const Meaning &meaning,
                            const Origin &origin, bool verbose, WallClock::time_point when);

} // namespace kxmsg
