// Outside bytes read through one buffer of our own, so that a reader can
// look at the first bytes of its input before it knows what the input is,
// and so that no file, however large, is held in memory.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kxmsg {

struct Stream {
    FILE *in = nullptr;
    std::array<uint8_t, 65536> buf{};
    size_t at = 0, end = 0;
};

// Makes up to want (at most the buffer's size) bytes available at
// buf[at], reading as needed; returns how many are. Error when reading
// fails.
size_t streamFill(Stream &s, size_t want);

// Copies n bytes out; false (with what there was consumed) when the input
// ends first.
bool streamRead(Stream &s, uint8_t *dst, size_t n);

// The next line without its '\n'; false at the end of the input. A line
// longer than max keeps its first max bytes, the rest is skipped, and
// tooLong says so.
bool streamLine(Stream &s, std::string &line, size_t max, bool &tooLong);

} // namespace kxmsg
