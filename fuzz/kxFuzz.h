// What every fuzz target shares: a trap for a broken invariant, and a
// reader that takes the input apart. The targets build with gcc and for
// ARM too (their corpora are replayed in every build), so this stands in
// for libFuzzer's own data provider: message bytes come from the front,
// steering numbers from the back, and an exhausted input reads as zeros.
#ifndef KXFUZZ_H
#define KXFUZZ_H

#include <cstddef>
#include <cstdint>
#include <span>

inline void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

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
    std::span<const uint8_t> rest() { return bytes(size); }
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
    template <typename T, size_t N> T pick(const T (&among)[N])
    {
        return among[range(0, N - 1)];
    }
};

#endif // KXFUZZ_H
