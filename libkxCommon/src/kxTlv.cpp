// TLV messages in caller-owned buffers.
//
// Messages reach tlv_find and tlv_validate straight from mailboxes and IPC
// endpoints, so their headers are hostile input: the walk trusts the
// declared total only up to KXMSG_MAX, reads an element header only when it
// lies wholly inside that total, and always moves forward by at least a
// header. An element's value length is not held against the total while
// walking, because validation must still reach an end element that claims
// a value, to tell a bad length (-2/-3) from a misplaced end (-1).
#include "kxTlv.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kMsgHdr = TLV_MSG_HDR_LEN;
constexpr int kElemHdr = TLV_ELEM_HDR_LEN;
constexpr int kMinMsg = TLV_MSG_MIN_LEN;
constexpr unsigned kMaxTotal = INT16_MAX; // a larger total reads as negative
constexpr unsigned kMaxAppendVal = 4;

// Message types 1, 3, ... 13: bit t set for type t.
constexpr uint32_t kOddTypeMask = 0x2AAA;
constexpr unsigned kOddTypeLast = 13;

unsigned get16(const uint8_t *p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

void put16(uint8_t *p, unsigned v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

unsigned elemLen(const uint8_t *elem)
{
    return get16(elem + 1);
}

// Walk over the element area; offsets are relative to its start.
struct Walk {
    const uint8_t *area;
    int limit; // element area length, <= 0 when there is nothing to walk
    int off;
};

Walk walkStart(const uint8_t *buf)
{
    int total = tlv_length(buf);
    if (total > KXMSG_MAX)
        total = 0;
    return Walk{buf + kMsgHdr, total - kMsgHdr, 0};
}

// The element at the current offset, or nullptr once the walk has left the
// message or the element's header would cross the declared total.
const uint8_t *walkElem(const Walk &walk)
{
    if (walk.off >= walk.limit || walk.limit - walk.off < kElemHdr)
        return nullptr;
    return walk.area + walk.off;
}

void walkNext(Walk &walk)
{
    walk.off += kElemHdr + static_cast<int>(elemLen(walk.area + walk.off));
}

// Value bytes of a found element that lie inside the declared total.
unsigned valueRoom(const uint8_t *buf, const uint8_t *elem)
{
    long end = tlv_length(buf);
    long start = (elem - buf) + kElemHdr;
    return end > start ? static_cast<unsigned>(end - start) : 0;
}

// Sum of the element sizes, walked while the sum stays below the element
// area length.
int elementSum(const uint8_t *buf)
{
    Walk walk = walkStart(buf);
    while (walkElem(walk) != nullptr)
        walkNext(walk);
    return walk.off;
}

bool isOddType(uint8_t type)
{
    return type <= kOddTypeLast && ((kOddTypeMask >> type) & 1u) != 0;
}

// Lengths that do not add up: tells whether the message at least has the
// elements that its kind of message carries.
int classifyBadLength(const uint8_t *buf)
{
    bool arg = tlv_find(buf, TLV_TYPE_ARG) != nullptr;
    bool resp = tlv_find(buf, TLV_TYPE_RESP) != nullptr;
    bool expected = isOddType(buf[3]) ? (arg && resp) : (arg && !resp);
    return expected ? -2 : -3;
}

} // namespace

int tlv_init(uint8_t *buf, unsigned /*size*/, uint8_t type)
{
    put16(buf, kMsgHdr);
    buf[2] = 0;
    buf[3] = type;
    return kMsgHdr;
}

int16_t tlv_length(const uint8_t *buf)
{
    return static_cast<int16_t>(get16(buf));
}

uint8_t *tlv_find(const uint8_t *buf, uint8_t type)
{
    for (Walk walk = walkStart(buf); const uint8_t *elem = walkElem(walk);
         walkNext(walk)) {
        if (elem[3] == type)
            return const_cast<uint8_t *>(elem);
    }
    return nullptr;
}

int tlv_validate(const uint8_t *buf)
{
    int total = tlv_length(buf);
    if (total < kMinMsg || total > KXMSG_MAX)
        return -1;
    if (buf[total - 1] != TLV_TYPE_END)
        return -1;
    // The first end element met must be the last four bytes; an earlier one
    // or a length that steps over the end fails here.
    const uint8_t *end = tlv_find(buf, TLV_TYPE_END);
    if (end == nullptr || end != buf + total - kElemHdr)
        return -1;
    if (elementSum(buf) == total - kMsgHdr)
        return 0;
    return classifyBadLength(buf);
}

uint8_t tlv_elem_type(const uint8_t *elem)
{
    return elem[3];
}

unsigned tlv_elem_len(const uint8_t *elem)
{
    return elemLen(elem);
}

void tlv_set_elem_type(uint8_t *elem, uint8_t type)
{
    elem[3] = type;
}

uint8_t tlv_msg_type(const uint8_t *buf)
{
    return buf[3];
}

void tlv_set_msg_type(uint8_t *buf, uint8_t type)
{
    buf[3] = type;
}

int sntlv_append(uint8_t *buf, unsigned size, uint8_t type, unsigned len,
                 const void *value)
{
    if (len != 0 && value == nullptr)
        return 0;
    // 64-bit sum: a huge len must not wrap around into a small one.
    uint64_t total = get16(buf);
    uint64_t grown = total + kElemHdr + len;
    if (grown > size || grown > kMaxTotal)
        return 0;
    uint8_t *elem = buf + total;
    elem[0] = 0;
    put16(elem + 1, len);
    elem[3] = type;
    if (len != 0)
        memmove(elem + kElemHdr, value, len);
    put16(buf, static_cast<unsigned>(grown));
    return kElemHdr + static_cast<int>(len);
}

int sntlv_append_val(uint8_t *buf, unsigned size, uint8_t type, unsigned len,
                     uint32_t val)
{
    if (len > kMaxAppendVal)
        return 0;
    std::array<uint8_t, kMaxAppendVal> bytes{};
    for (unsigned i = 0; i < kMaxAppendVal; ++i)
        bytes[i] = static_cast<uint8_t>(val >> (8 * i));
    return sntlv_append(buf, size, type, len, bytes.data());
}

int sntlv_remove(uint8_t *buf, unsigned /*size*/, uint8_t type)
{
    uint8_t *tlvend = tlv_find(buf, type);
    ASSERT(tlvend != NULL);
    int n = kElemHdr + static_cast<int>(elemLen(tlvend));
    put16(buf, (get16(buf) - static_cast<unsigned>(n)) & 0xFFFFu);
    return -n;
}

void sntlv_void(uint8_t *buf, uint8_t type)
{
    uint8_t *tlv = tlv_find(buf, type);
    ASSERT(tlv != NULL);
    tlv[3] = TLV_TYPE_VOID;
    unsigned n = std::min(elemLen(tlv), valueRoom(buf, tlv));
    memset(tlv + kElemHdr, 0, n);
}

int sntlv_get(void *dst, unsigned dstsize, uint8_t type, const uint8_t *buf)
{
    const uint8_t *elem = tlv_find(buf, type);
    if (elem == nullptr)
        return 0;
    unsigned len = elemLen(elem);
    if (len >= dstsize || len > valueRoom(buf, elem))
        return 0;
    if (len != 0)
        memmove(dst, elem + kElemHdr, len);
    return static_cast<int>(len);
}

int sntlv_copy(void *dst, unsigned dstsize, unsigned len, const void *src)
{
    if (len == 0 || len > dstsize || len > INT_MAX)
        return 0;
    memmove(dst, src, len);
    return static_cast<int>(len);
}

int sntlv_command(uint8_t *buf, unsigned size, uint8_t type, const char code[2],
                  const void *args, unsigned arglen, const char *src, const char *dst)
{
    constexpr unsigned kCodeLen = 2;
    int len = tlv_init(buf, size, type);
    len += sntlv_append(buf, size, TLV_TYPE_CMD, kCodeLen, code);
    len += sntlv_append(buf, size, TLV_TYPE_ARG, arglen, args);
    len += sntlv_append(buf, size, TLV_TYPE_SRC, static_cast<unsigned>(strlen(src)), src);
    len += sntlv_append(buf, size, TLV_TYPE_DST, static_cast<unsigned>(strlen(dst)), dst);
    len += sntlv_append_val(buf, size, TLV_TYPE_END, 0, 0);
    return len;
}

int snputbytes(char *dst, unsigned size, int count, uint32_t value)
{
    if (count < 1 || count > static_cast<int>(kMaxAppendVal))
        return 0;
    // Each byte is one bounded "%c" print at its own place: it lands with
    // its NUL where both fit, only a NUL where one byte of room is left,
    // nothing beyond size; and, like the print, it counts 1 either way.
    for (unsigned at = 0; at < static_cast<unsigned>(count); ++at) {
        unsigned room = at < size ? size - at : 0;
        if (room >= 2) {
            dst[at] = static_cast<char>(value >> (8 * (static_cast<unsigned>(count) - 1 - at)));
            dst[at + 1] = '\0';
        } else if (room == 1) {
            dst[at] = '\0';
        }
    }
    return count;
}
