// Byte strings and the ways people write them: hex bytes on the command
// line, hex text in logs, text from outside shown on a terminal.
#pragma once

#include "kxLog.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxmsg {

using Bytes = std::vector<uint8_t>;

Bytes toBytes(std::string_view text);

// Lower-case hex digits, sep between bytes.
std::string toHex(const uint8_t *data, size_t size, std::string_view sep = "");
std::string toHex(const Bytes &bytes, std::string_view sep = "");
void appendHex(std::string &out, const uint8_t *data, size_t size);

// The rule of the daemon's dumps: printable ASCII shows as itself.
inline bool isPrintableByte(uint8_t b) { return kxIsPrintable(b) != 0; }

// The 16-bit big-endian number at p: a message's total, an element's length.
inline size_t be16(const uint8_t *p) { return static_cast<size_t>(p[0]) << 8 | p[1]; }

// True when every byte is printable (and there is one).
bool isPrintable(const Bytes &bytes);

// Text from outside (a log's label, a message's string) made safe for a
// terminal: control characters and DEL as \xNN, a backslash doubled, so
// that a log cannot move the reader's cursor or clear the screen.
std::string escapeControls(std::string_view text);

// "07", "0x7" or "0x07": one byte; anything else is not a hex byte.
std::optional<uint8_t> parseHexByte(std::string_view word);

// Hex digits, optionally "0x"-prefixed per word, with blanks, ':', ',' or
// '-' between bytes, appended to out. False, with out as it was, for
// anything else and for a word with an odd number of digits; why then
// says what was wrong when it is given.
bool appendHexText(std::string_view text, Bytes &out, std::string *why = nullptr);

// The same, refused with Error.
Bytes parseHexText(std::string_view text);

// Command arguments as typed: each word one hex byte ("07", "0x07",
// "0x7"). Anything else (a lone digit, text, a longer hex word) is refused
// with Error and a hint at the form that was probably meant.
Bytes argumentBytes(const std::vector<std::string> &words);

// A 32-bit number written in decimal or with a 0x prefix; Error otherwise.
uint32_t parseWord(const std::string &text);

// The daemon's debug words travel least significant byte first, unlike
// the TLV lengths: the word at from, missing bytes read as 0.
uint32_t littleEndianWord(const Bytes &value, size_t from);
void appendLittleEndian(Bytes &out, uint32_t word);

} // namespace kxmsg
