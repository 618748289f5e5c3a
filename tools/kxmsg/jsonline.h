// kxctl's own JSON lines (monitor, decode, listen, call) read back as
// messages: "hex", "parts" of a cut message, or the "elements" that listen
// and call write without -v.
#pragma once

#include "traced.h"

#include <string_view>

namespace kxmsg {

// Deeper nesting than this is refused before the line is parsed: no line
// kxctl writes nests more than three deep, and the parser must not be
// walked into the ground by a hostile one.
inline constexpr int kDeepestJson = 16;

// The message of one line; Error saying what is wrong with it otherwise.
Traced tracedFromJson(std::string_view line);

} // namespace kxmsg
