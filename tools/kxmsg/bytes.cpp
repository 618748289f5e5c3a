#include "bytes.h"

#include "error.h"

#include <cctype>
#include <cstdio>

namespace kxmsg {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
           c == ':' || c == ',' || c == '-';
}

bool hasHexPrefix(std::string_view text, size_t at)
{
    return at + 1 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
}

// One word of hex digits (its prefix already skipped), appended pairwise.
bool appendHexWord(std::string_view word, Bytes &out, std::string *why)
{
    auto refuse = [&](const char *what) {
        if (why != nullptr)
            *why = what + escapeControls(word.substr(0, 40)) + "\"";
        return false;
    };
    if (word.empty() || word.size() % 2 != 0)
        return refuse("odd number of hex digits in \"");
    for (size_t i = 0; i < word.size(); i += 2) {
        int hi = hexDigit(word[i]);
        int lo = hexDigit(word[i + 1]);
        if (hi < 0 || lo < 0)
            return refuse("not hex: \"");
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

} // namespace

Bytes toBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::string toHex(const uint8_t *data, size_t size, std::string_view sep)
{
    if (sep.empty()) {
        std::string out;
        appendHex(out, data, size);
        return out;
    }
    std::string out;
    out.reserve(size * (2 + sep.size()));
    for (size_t i = 0; i < size; ++i) {
        if (i > 0)
            out += sep;
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

void appendHex(std::string &out, const uint8_t *data, size_t size)
{
    size_t at = out.size();
    out.resize(at + 2 * size);
    for (size_t i = 0; i < size; ++i) {
        out[at + 2 * i] = kDigits[data[i] >> 4];
        out[at + 2 * i + 1] = kDigits[data[i] & 0xF];
    }
}

std::string toHex(const Bytes &bytes, std::string_view sep)
{
    return toHex(bytes.data(), bytes.size(), sep);
}

bool isPrintable(const Bytes &bytes)
{
    if (bytes.empty())
        return false;
    for (uint8_t b : bytes)
        if (!isPrintableByte(b))
            return false;
    return true;
}

std::string escapeControls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\') {
            char code[8];
            snprintf(code, sizeof code, c == '\\' ? "\\\\" : "\\x%02x", b);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<uint8_t> parseHexByte(std::string_view word)
{
    std::string_view digits = word;
    if (hasHexPrefix(word, 0))
        digits = word.substr(2);
    else if (word.size() != 2)
        return std::nullopt;
    if (digits.empty() || digits.size() > 2)
        return std::nullopt;
    int value = 0;
    for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        value = value << 4 | d;
    }
    return static_cast<uint8_t>(value);
}

bool appendHexText(std::string_view text, Bytes &out, std::string *why)
{
    const size_t before = out.size();
    size_t at = 0;
    while (at < text.size()) {
        if (isSeparator(text[at])) {
            ++at;
            continue;
        }
        if (hasHexPrefix(text, at))
            at += 2;
        size_t end = at;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        if (!appendHexWord(text.substr(at, end - at), out, why)) {
            out.resize(before);
            return false;
        }
        at = end;
    }
    return true;
}

Bytes parseHexText(std::string_view text)
{
    Bytes out;
    std::string why;
    if (!appendHexText(text, out, &why))
        throw Error(why);
    return out;
}

namespace {

bool allDigits(std::string_view word, int (*digit)(int))
{
    for (char c : word)
        if (!digit(static_cast<unsigned char>(c)))
            return false;
    return !word.empty();
}

// What the word may have meant, as the hint of its refusal.
std::string argumentHint(const std::string &word)
{
    std::string head = "\"" + escapeControls(word) + "\" is not a hex byte: ";
    if (allDigits(word, isdigit) && word.size() <= 3 && std::stoi(word) <= 255) {
        char byte[8];
        snprintf(byte, sizeof byte, "%02x", std::stoi(word));
        return head + "write " + byte + " for the byte " + word + ", or --string " + word +
               " for the character" + (word.size() > 1 ? "s" : "");
    }
    if (allDigits(word, isxdigit) || hasHexPrefix(word, 0))
        return head + "give a byte per word (two hex digits), or --hex " + word;
    return head + "give text with --string " + escapeControls(word);
}

} // namespace

Bytes argumentBytes(const std::vector<std::string> &words)
{
    Bytes out;
    for (const auto &word : words) {
        auto b = parseHexByte(word);
        if (!b)
            throw Error(argumentHint(word));
        out.push_back(*b);
    }
    return out;
}

uint32_t parseWord(const std::string &text)
{
    size_t used = 0;
    unsigned long long value = 0;
    try {
        // Base 10 unless prefixed: a leading zero is not octal here.
        value = std::stoull(text, &used, hasHexPrefix(text, 0) ? 16 : 10);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != text.size() || text[0] == '-' || value > UINT32_MAX)
        throw Error("not a 32-bit number: \"" + escapeControls(text) + "\"");
    return static_cast<uint32_t>(value);
}

uint32_t littleEndianWord(const Bytes &value, size_t from)
{
    uint32_t word = 0;
    for (size_t i = 0; i < 4 && from + i < value.size(); ++i)
        word |= static_cast<uint32_t>(value[from + i]) << (8 * i);
    return word;
}

void appendLittleEndian(Bytes &out, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(word >> (8 * i)));
}

} // namespace kxmsg
