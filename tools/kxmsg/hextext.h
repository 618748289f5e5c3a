// Plain hex, as it stands in bug reports: bytes gathered over lines and cut
// into messages by the totals in their headers. What cannot be cut so (a
// header whose total is below 4, or the rest at a blank line) goes out as
// one message, never longer than a message can be.
#pragma once

#include "bytes.h"

#include <functional>

namespace kxmsg {

struct HexGather {
    Bytes bytes;
    size_t at = 0; // where the bytes not yet handed out begin
};

using MessageBytes = std::function<void(Bytes)>;

// Adds bytes and hands out every message that they complete.
void hexAdd(HexGather &g, const Bytes &bytes, const MessageBytes &each);

// A blank line or the end of the input: the rest goes out as it is.
void hexEnd(HexGather &g, const MessageBytes &each);

} // namespace kxmsg
