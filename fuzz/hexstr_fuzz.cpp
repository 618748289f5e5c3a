// libFuzzer target for the string hex dump: any bytes, at any alignment,
// dumped into a destination of a fuzzed size. Nothing may land beyond it,
// it must stay terminated and hold the start of the whole text, whose
// length the result gives (the lines' layout is the unit tests' concern).
// The leading bytes of the input steer the dump, the rest are the data.
#include "kxFuzz.h"
#include "kxHexStr.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr const char *kPrefixes[] = {"", "> ", "ERROR ", "[dump 17] "};
// Eight lines already fold, and cut where the destination is smaller;
// more would only slow the fuzzing down.
constexpr size_t kMaxData = 128;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size};
    std::span<const uint8_t> knobs = in.bytes(6);
    FuzzInput knob{knobs.data(), knobs.size()};
    size_t dsize = knob.range(0, 1024);
    bool aligned = knob.byte() & 1;
    const char *prefix = knob.pick(kPrefixes);
    unsigned shift = knob.range(0, 15);
    bool negative = knob.byte() == 0xFF;
    std::span<const uint8_t> bytes = in.bytes(kMaxData);
    // The data at any alignment, and with nothing behind it.
    std::vector<uint8_t> block(shift + bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.begin() + shift);
    const uint8_t *at = block.data() + shift;
    int len = static_cast<int>(bytes.size()) * (negative ? -1 : 1);

    auto dump = aligned ? kxHexDumpStrAddr : kxHexDumpStr;
    std::vector<char> dst(dsize); // exactly: AddressSanitizer sees any byte beyond
    int r = dump(dst.data(), dsize, at, len, prefix);
    check(r >= 0 && (len >= 0 || r == 0));
    std::vector<char> whole(static_cast<size_t>(r) + 1);
    check(dump(whole.data(), whole.size(), at, len, prefix) == r);
    check(strlen(whole.data()) == static_cast<size_t>(r));
    if (dsize > 0) {
        size_t kept = std::min(static_cast<size_t>(r), dsize - 1);
        check(memchr(dst.data(), 0, dsize) == dst.data() + kept);
        check(memcmp(dst.data(), whole.data(), kept) == 0);
    }
    return 0;
}
