// Byte strings and the ways people write them: hex bytes on the command
// line, hex text in logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxctl {

using Bytes = std::vector<uint8_t>;

Bytes toBytes(std::string_view text);

// Lower-case hex digits, sep between bytes.
std::string toHex(const uint8_t *data, size_t size, std::string_view sep = "");
std::string toHex(const Bytes &bytes, std::string_view sep = "");

// True when every byte is a printable ASCII character (and there is one).
bool isPrintable(const Bytes &bytes);

// "07", "0x7" or "0x07": one byte; anything else is not a hex byte.
std::optional<uint8_t> parseHexByte(std::string_view word);

// Hex digits, optionally "0x"-prefixed per word, with blanks, ':', ',' or
// '-' between bytes. Throws std::invalid_argument for anything else and for
// an odd number of digits.
Bytes parseHexText(std::string_view text);

// Command arguments as typed: each word one hex byte ("07", "0x07",
// "0x7"). Anything else (a lone digit, text, a longer hex word) throws
// std::invalid_argument with a hint at the form that was probably meant.
Bytes argumentBytes(const std::vector<std::string> &words);

// A 32-bit number written in decimal or with a 0x prefix; throws
// std::invalid_argument otherwise.
uint32_t parseWord(const std::string &text);

} // namespace kxctl
