// Hex dump into a string.
#include "kxHexStr.h"
#include "kxLog.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLineBytes = 16;
constexpr unsigned char kBlankSlot = 0x54; // remembered for slots outside the data

// Appends formatted text to a bounded destination, counting every
// character, also those that no longer fit.
struct Sink {
    char *dst;
    size_t size;
    size_t total = 0;

    void put(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char *at = nullptr;
        size_t room = 0;
        if (total < size) {
            at = dst + total;
            room = size - total;
        }
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(at, room, fmt, ap);
        va_end(ap);
        if (n > 0)
            total += static_cast<size_t>(n);
    }
};

using Line = std::array<unsigned char, kLineBytes>;

// Lines are walked by their offset from the data, which is negative for the
// first line of an aligned dump that starts before the data.
bool isRepeat(const unsigned char *data, long off, long len, const Line &last)
{
    return len - off >= kLineBytes && memcmp(data + off, last.data(), kLineBytes) == 0;
}

void dumpLine(Sink &out, const char *prefix, uintptr_t label,
              const unsigned char *data, long off, long len, Line &last)
{
    std::array<char, kLineBytes + 1> column{};
    out.put("%s%0*llX  ", prefix, 8, static_cast<unsigned long long>(label));
    for (int slot = 0; slot < kLineBytes; ++slot) {
        long at = off + slot;
        if (at >= 0 && at < len) {
            unsigned char b = data[at];
            out.put("%0*X", 2, b);
            column[slot] = kxIsPrintable(b) ? static_cast<char>(b) : '.';
            last[slot] = b;
        } else {
            out.put("  ");
            column[slot] = ' ';
            last[slot] = kBlankSlot;
        }
        out.put(slot % 4 == 3 ? "  " : " ");
    }
    out.put("%s\n", column.data());
}

} // namespace

extern "C" int kxHexDumpStr_ext(char *dst, size_t size, const void *data, int len,
                                int aligned, const char *prefix)
{
    // A negative length leaves dst untouched, not even terminated.
    if (len < 0)
        return 0;
    if (dst != nullptr && size > 0)
        dst[0] = '\0';
    else
        size = 0;
    Sink out{dst, size};
    if (prefix == nullptr)
        prefix = "";
    if (len == 0) {
        out.put("%p\n", data);
        return static_cast<int>(out.total);
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    uintptr_t label = 0;
    long off = 0;
    if (aligned) {
        uintptr_t addr = reinterpret_cast<uintptr_t>(data);
        label = addr & ~static_cast<uintptr_t>(0xF);
        off = -static_cast<long>(addr & 0xF);
    }

    Line last{};
    bool skipped = false;
    for (bool first = true; off < len; off += kLineBytes, label += kLineBytes) {
        if (!first && isRepeat(bytes, off, len, last)) {
            skipped = true;
            continue;
        }
        if (skipped)
            out.put("...%s\n", "");
        skipped = false;
        first = false;
        dumpLine(out, prefix, label, bytes, off, len, last);
    }
    return static_cast<int>(out.total);
}

extern "C" int kxHexDumpStr(char *dst, size_t size, const void *data, int len,
                            const char *prefix)
{
    return kxHexDumpStr_ext(dst, size, data, len, 0, prefix);
}

extern "C" int kxHexDumpStrAddr(char *dst, size_t size, const void *data, int len,
                                const char *prefix)
{
    return kxHexDumpStr_ext(dst, size, data, len, 1, prefix);
}
