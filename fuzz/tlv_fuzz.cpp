// libFuzzer target for TLV messages.
//
// The input is a message as it would arrive from a mailbox or IPC
// endpoint. It is checked twice: in a full KXMSG_MAX buffer, and at the end
// of a heap block exactly as long as its declared total, where
// AddressSanitizer turns any read past the message into a crash. Bytes of
// the input beyond the declared total steer the edits that follow.
//
// Accepted messages are cross-checked against a walk written here, and
// edited; each edit must keep the message inside its buffer, and
// well-formed wherever it should stay so. A violated invariant traps.
#include "kxFuzz.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using MsgBuf = std::array<uint8_t, KXMSG_MAX>;
constexpr uint8_t kMark = 0x5A;

const uint8_t kTypes[] = {TLV_TYPE_CMD, TLV_TYPE_ARG, TLV_TYPE_DST, TLV_TYPE_SRC,
                          TLV_TYPE_RESP, TLV_TYPE_VOID, TLV_TYPE_END};

unsigned get16(const uint8_t *p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

// The first element of the type in a well-formed message, walked here
// without the library.
const uint8_t *firstOfType(const uint8_t *m, uint8_t type)
{
    int total = static_cast<int>(get16(m));
    for (int off = TLV_MSG_HDR_LEN; off < total; off += 4 + static_cast<int>(get16(m + off + 1)))
        if (m[off + 3] == type)
            return m + off;
    return nullptr;
}

// An accepted message: total in range, element sizes adding up to the
// total, the end element empty and last, and nowhere earlier.
void checkAccepted(const uint8_t *m)
{
    int total = tlv_length(m);
    check(total >= TLV_MSG_MIN_LEN && total <= KXMSG_MAX);
    int off = TLV_MSG_HDR_LEN;
    while (off < total - TLV_ELEM_HDR_LEN) {
        check(m[off + 3] != TLV_TYPE_END);
        off += TLV_ELEM_HDR_LEN + static_cast<int>(get16(m + off + 1));
    }
    check(off == total - TLV_ELEM_HDR_LEN);
    check(get16(m + off + 1) == 0 && m[off + 3] == TLV_TYPE_END);
    for (uint8_t type : kTypes)
        check(tlv_find(m, type) == firstOfType(m, type));
}

// Whatever the message, a found element lies inside it and has the type.
void checkFound(const uint8_t *m, size_t n, uint8_t type)
{
    const uint8_t *e = tlv_find(m, type);
    if (e == nullptr)
        return;
    check(e >= m + TLV_MSG_HDR_LEN && e + TLV_ELEM_HDR_LEN <= m + n);
    check(e + TLV_ELEM_HDR_LEN <= m + tlv_length(m) && e[3] == type);
}

std::unique_ptr<uint8_t[]> exactCopy(const uint8_t *data, size_t n)
{
    auto blk = std::make_unique<uint8_t[]>(n);
    memcpy(blk.get(), data, n);
    return blk;
}

// Lookups and in-place edits of a possibly malformed message in a block of
// exactly n bytes: none may touch a byte outside. Returns the verdict.
int probeExact(const uint8_t *data, size_t n, uint8_t type, unsigned len)
{
    auto blk = exactCopy(data, n);
    uint8_t *m = blk.get();
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

// The end element dropped, one element appended within size, a new end
// element: whatever fits, nothing is written at or beyond size.
void editAppend(const MsgBuf &orig, FuzzInput &in)
{
    MsgBuf buf = orig;
    unsigned total = get16(buf.data());
    check(sntlv_remove(buf.data(), buf.size(), TLV_TYPE_END) == -4);
    check(get16(buf.data()) == total - 4);
    uint8_t type = in.byte();
    if (type == TLV_TYPE_END)
        type = TLV_TYPE_RESP;
    unsigned len = in.range(0, 1600);
    unsigned size = in.range(0, KXMSG_MAX);
    std::span<const uint8_t> taken = in.bytes(len);
    std::vector<uint8_t> value(taken.begin(), taken.end());
    value.resize(len, kMark);

    MsgBuf before = buf;
    bool fits = total + len <= size;
    int added = sntlv_append(buf.data(), size, type, len, value.data());
    check(added == (fits ? static_cast<int>(len) + 4 : 0));
    if (!fits)
        check(buf == before);
    bool closes = get16(buf.data()) + 4 <= size;
    int closed = sntlv_append_val(buf.data(), size, TLV_TYPE_END, 0, 0);
    check(closed == (closes ? 4 : 0));
    // Only the total, which the removal rewrote, may differ below size.
    for (size_t i = std::max<size_t>(size, 2); i < buf.size(); ++i)
        check(buf[i] == orig[i]);
    if (closed == 0)
        return;
    checkAccepted(buf.data());
    check(tlv_validate(buf.data()) == 0);
    check(get16(buf.data()) == total + (fits ? len + 4 : 0));
    if (fits) {
        check(buf[total - 4 + 3] == type);
        check(len == 0 || memcmp(&buf[total], value.data(), len) == 0);
    }
}

// Values come out whole and only when strictly shorter than the room.
void editGet(const MsgBuf &orig, FuzzInput &in)
{
    uint8_t type = in.pick(kTypes);
    unsigned dstsize = in.range(0, 1600);
    std::vector<uint8_t> dst(dstsize + 16, kMark);
    int got = sntlv_get(dst.data(), dstsize, type, orig.data());
    const uint8_t *e = firstOfType(orig.data(), type);
    unsigned len = e ? get16(e + 1) : 0;
    unsigned expected = (e && len < dstsize) ? len : 0;
    check(got == static_cast<int>(expected));
    if (expected)
        check(memcmp(dst.data(), e + 4, expected) == 0);
    for (size_t i = expected; i < dst.size(); ++i)
        check(dst[i] == kMark);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MsgBuf full{};
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
    if (size >= 2 && declared <= size && declared <= KXMSG_MAX) {
        int exact = probeExact(data, std::max<size_t>(declared, 2), type, len);
        check(exact == verdict);
    }
    if (verdict == 0) {
        checkAccepted(full.data());
        editAppend(full, in);
        editGet(full, in);
    }
    return 0;
}
