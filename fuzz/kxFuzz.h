// What every fuzz target shares: a trap for a broken invariant, and a
// reader that takes the input apart. The targets build with gcc and for
// ARM too (their corpora are replayed in every build), so this stands in
// for libFuzzer's own data provider: message bytes come from the front,
// steering numbers from the back, and an exhausted input reads as zeros.
#ifndef KXFUZZ_H
#define KXFUZZ_H

#include "kxTlv.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

inline void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

inline unsigned get16(const uint8_t *p) { return (static_cast<unsigned>(p[0]) << 8) | p[1]; }

struct FuzzInput {
    const uint8_t *data;
    size_t size;

    std::span<const uint8_t> bytes(size_t n)
    {
        n = n < size ? n : size;
        std::span<const uint8_t> taken{data, n};
        data += n;
        size -= n;
        return taken;
    }
    uint32_t word(unsigned count)
    {
        uint32_t v = 0;
        for (unsigned i = 0; i < count && size > 0; ++i)
            v = v << 8 | data[--size];
        return v;
    }
    uint8_t byte() { return static_cast<uint8_t>(word(1)); }
    // lo..hi, both included; hi - lo must stay below 2^16.
    unsigned range(unsigned lo, unsigned hi)
    {
        return lo + word(hi - lo < 256 ? 1 : 2) % (hi - lo + 1);
    }
    template <typename T, size_t N> T pick(const T (&among)[N]) { return among[range(0, N - 1)]; }
};

// A command cmd answered in place within size bytes, as out (len bytes):
// type + 1, its total len, well-formed unless only the new end element
// failed to fit, and the payload as its response element when that fitted.
inline void checkAnswered(const uint8_t *cmd, const uint8_t *out, int len,
                          std::span<const uint8_t> payload, unsigned size)
{
    unsigned total = get16(cmd);
    bool fits = total + payload.size() <= size;
    size_t grown = total - 4 + (fits ? 4 + payload.size() : 0);
    bool closed = grown + 4 <= size;
    check(len == static_cast<int>(grown + (closed ? 4 : 0)) &&
          get16(out) == static_cast<unsigned>(len));
    check(out[3] == static_cast<uint8_t>(cmd[3] + 1) && (!closed || tlv_validate(out) == 0));
    const uint8_t *e = out + total - 4;
    check(!closed || !fits ||
          (e[3] == TLV_TYPE_RESP && get16(e + 1) == payload.size() &&
           std::equal(payload.begin(), payload.end(), e + 4)));
}

#endif // KXFUZZ_H
