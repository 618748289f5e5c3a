// libFuzzer target for TLV messages.
//
// The input is a message as it would arrive from a mailbox or IPC
// endpoint. It is checked twice: in a full KXMSG_MAX buffer, and in a heap
// block exactly as long as its declared total, where AddressSanitizer turns
// any access past the message into a crash; there it is also looked into
// and edited in place. Bytes of the input beyond the declared total steer
// the edits. Accepted messages are cross-checked against a walk written
// here. A violated invariant traps.
#include "kxFuzz.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kMark = 0x5A;

const uint8_t kTypes[] = {TLV_TYPE_CMD, TLV_TYPE_ARG, TLV_TYPE_DST, TLV_TYPE_SRC,
                          TLV_TYPE_RESP, TLV_TYPE_VOID, TLV_TYPE_END};

// An accepted message, walked here without the library: total in range,
// element sizes adding up to the total, the end element empty and last,
// and nowhere earlier; a lookup finds the first element of its type.
void checkAccepted(const uint8_t *m)
{
    int total = tlv_length(m);
    check(total >= TLV_MSG_MIN_LEN && total <= KXMSG_MAX);
    std::array<const uint8_t *, 256> first{};
    int off = TLV_MSG_HDR_LEN, last = off;
    for (; off < total; off += TLV_ELEM_HDR_LEN + static_cast<int>(get16(m + off + 1))) {
        check(m[off + 3] != TLV_TYPE_END || off == total - TLV_ELEM_HDR_LEN);
        first[m[off + 3]] = first[m[off + 3]] ? first[m[off + 3]] : m + off;
        last = off;
    }
    check(off == total && last == total - TLV_ELEM_HDR_LEN && get16(m + last + 1) == 0);
    for (uint8_t type : kTypes)
        check(tlv_find(m, type) == first[type]);
}

// Whatever the message, a found element lies inside it and has the type.
void checkFound(const uint8_t *m, size_t n, uint8_t type)
{
    const uint8_t *e = tlv_find(m, type);
    check(e == nullptr || (e >= m + TLV_MSG_HDR_LEN && e + TLV_ELEM_HDR_LEN <= m + n &&
                           e + TLV_ELEM_HDR_LEN <= m + tlv_length(m) && e[3] == type));
}

// Lookups and in-place edits of a possibly malformed message in a block of
// exactly n bytes: none may touch a byte outside. Returns the verdict.
int probeExact(const uint8_t *data, size_t n, uint8_t type, unsigned len)
{
    std::vector<uint8_t> blk(data, data + n);
    uint8_t *m = blk.data();
    int verdict = tlv_validate(m);
    for (uint8_t t : kTypes)
        checkFound(m, n, t);
    checkFound(m, n, type);
    std::array<uint8_t, 256> dst;
    if (tlv_find(m, type) != nullptr) {
        int got = sntlv_get(dst.data(), dst.size(), type, m);
        check(got >= 0 && got < static_cast<int>(dst.size()));
        sntlv_void(m, type);
        sntlv_remove(m, n, TLV_TYPE_VOID);
    }
    std::vector<uint8_t> value(len, kMark);
    int added = sntlv_append(m, n, type, len, value.data());
    check(added == 0 || (added == static_cast<int>(len) + 4 && get16(m) <= n));
    return verdict;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::array<uint8_t, KXMSG_MAX> full{};
    memcpy(full.data(), data, std::min(size, full.size()));
    int verdict = tlv_validate(full.data());
    check(verdict <= 0 && verdict >= -3);
    for (uint8_t t : kTypes)
        checkFound(full.data(), full.size(), t);

    int total = tlv_length(full.data());
    size_t declared = total < 0 ? 0 : static_cast<size_t>(total);
    size_t used = std::min(declared, size);
    FuzzInput in{data + used, size - used};
    uint8_t type = in.byte();
    unsigned len = in.range(0, 64);
    if (size >= 2 && declared <= size && declared <= KXMSG_MAX)
        check(probeExact(data, std::max<size_t>(declared, 2), type, len) == verdict);
    if (verdict == 0)
        checkAccepted(full.data());
    return 0;
}
