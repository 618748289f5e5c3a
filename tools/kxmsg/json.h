// The JSON form of a message, one object a line: numbers for numbers, hex
// strings for bytes, text only where every byte is printable (else null,
// with the bytes still in "elements"), so that nothing is lost or mangled
// on the way.
#pragma once

#include "clock.h"
#include "meaning.h"
#include "message.h"
#include "render.h"

#include <nlohmann/json.hpp>

namespace kxmsg {

using Json = nlohmann::ordered_json;

Json renderJson(const Message &message, const Meaning &meaning, const Origin &origin,
                bool verbose, WallClock::time_point when);

// One line of text, whatever the value holds: bytes that are not UTF-8
// are replaced, never thrown over.
std::string jsonLine(const Json &value);

} // namespace kxmsg
