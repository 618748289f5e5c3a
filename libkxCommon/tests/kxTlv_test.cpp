// TLV messages: byte layout, walking, validation and in-place editing.
//
// Messages under test sit in heap blocks of exactly their declared size
// wherever a read past the message would be a fault, so that the sanitized
// build catches any byte read or written outside.
#include "kxTlv.h"
#include "kxtest.h"
#include "kxwire.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
Bytes bytes(std::initializer_list<kxtest::Piece> pieces) { return kxtest::layout(pieces); }

// The "SU" command that the camera sends, as laid out byte by byte.
const Bytes kSu = kxtest::suCommand();

const Bytes kSmallest = bytes({0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE});

struct Block {
    std::unique_ptr<uint8_t[]> data;
    size_t size;
    uint8_t *get() const { return data.get(); }
    Bytes bytes() const { return Bytes(data.get(), data.get() + size); }
};

Block exact(const Bytes &b)
{
    Block blk{std::make_unique<uint8_t[]>(b.size()), b.size()};
    memcpy(blk.get(), b.data(), b.size());
    return blk;
}

// A full-size message buffer; bytes past the message hold a marker.
using MsgBuf = std::array<uint8_t, KXMSG_MAX>;
constexpr uint8_t kMark = 0xA5;

MsgBuf inBuffer(const Bytes &b)
{
    MsgBuf buf;
    buf.fill(kMark);
    std::copy(b.begin(), b.end(), buf.begin());
    return buf;
}

Bytes head(const uint8_t *buf, size_t n) { return Bytes(buf, buf + n); }
int validateExact(const Bytes &b) { return tlv_validate(exact(b).get()); }

TEST(TlvBuild, SuCommandByteForByte)
{
    MsgBuf buf = inBuffer({});
    unsigned size = buf.size();
    uint8_t *m = buf.data();
    EXPECT_EQ(tlv_init(m, size, 10), 4);
    EXPECT_EQ(head(m, 5), bytes({0x00, 0x04, 0x00, 0x0A, kMark}));
    EXPECT_EQ(sntlv_append(m, size, TLV_TYPE_CMD, 2, "SU"), 6);
    EXPECT_EQ(sntlv_append_val(m, size, TLV_TYPE_ARG, 0, 0), 4);
    EXPECT_EQ(sntlv_append(m, size, TLV_TYPE_SRC, 10, "/to_camera"), 14);
    EXPECT_EQ(sntlv_append(m, size, TLV_TYPE_DST, 9, "/to_kxnet"), 13);
    EXPECT_EQ(sntlv_append_val(m, size, TLV_TYPE_END, 0, 0), 4);
    Bytes expected = kSu;
    expected.push_back(kMark);
    EXPECT_EQ(head(m, 46), expected);

    Block su = exact(kSu);
    EXPECT_EQ(tlv_validate(su.get()), 0);
    const std::pair<uint8_t, int> offsets[] = {{TLV_TYPE_CMD, 4}, {TLV_TYPE_ARG, 10}, {TLV_TYPE_SRC, 14},
                                               {TLV_TYPE_DST, 28}, {TLV_TYPE_END, 41}};
    for (auto [type, offset] : offsets)
        EXPECT_EQ(tlv_find(su.get(), type), su.get() + offset) << int(type);
    EXPECT_EQ(tlv_find(su.get(), TLV_TYPE_RESP), nullptr);
}

TEST(TlvBuild, SmallestMessageAndSignedTotal)
{
    Block smallest = exact(kSmallest);
    EXPECT_EQ(tlv_validate(smallest.get()), 0);
    EXPECT_EQ(tlv_find(smallest.get(), TLV_TYPE_END), smallest.get() + 4);
    for (int type = 0; type < 256; ++type) {
        if (type == TLV_TYPE_END)
            continue;
        EXPECT_EQ(tlv_find(smallest.get(), static_cast<uint8_t>(type)), nullptr) << type;
    }
    EXPECT_EQ(tlv_length(bytes({0x05, 0xDC}).data()), 1500);
    EXPECT_EQ(tlv_length(bytes({0x80, 0x00}).data()), -32768);
    EXPECT_EQ(tlv_length(bytes({0xFF, 0xFF}).data()), -1);
}

TEST(TlvValidate, EndElementOutOfPlace)
{
    Bytes lastNotEnd(kSu.begin(), kSu.end() - 1);
    lastNotEnd.push_back(0xEF);
    const std::pair<Bytes, int> cases[] = {
        {lastNotEnd, -1},
        {bytes({0x00, 0x0C, 0x00, 0x0A, 0, 0, 0, 0xEE, 0, 0, 0, 0xEE}), -1}, // an earlier end element
        // Code length written as 3: the walk steps over the end element.
        {bytes({0x00, 0x12, 0x00, 0x0A, 0x00, 0x00, 0x03, 0x41, "SU", 0, 0, 0, 0x42, 0, 0, 0, 0xEE}), -1},
        {bytes({0x00, 0x09, 0x00, 0x0A, 0x00, 0x00, 0x01, 0x42, 0xEE}), -1}, // 0xEE only as a value
        {bytes({0x00, 0x0C, 0x00, 0x63, 0, 0, 0, 0x42, 0, 0, 0, 0xEE}), 0},  // no command code needed
    };
    for (const auto &[msg, expected] : cases)
        EXPECT_EQ(validateExact(msg), expected) << kxtest::toHex(std::string(msg.begin(), msg.end()));
}

// The end element is in place but claims one value byte.
Bytes badEndLength(int type, bool arg, bool resp)
{
    Bytes m = bytes({0x00, 0x00, 0x00, type, 0x00, 0x00, 0x02, 0x41, "SU"});
    if (arg)
        m.insert(m.end(), {0x00, 0x00, 0x00, 0x42});
    if (resp)
        m.insert(m.end(), {0x00, 0x00, 0x01, 0x45, 0x00});
    m.insert(m.end(), {0x00, 0x00, 0x01, 0xEE});
    m[1] = static_cast<uint8_t>(m.size());
    return m;
}

TEST(TlvValidate, LengthsNotAddingUpByMessageKind)
{
    const struct {
        int type;
        bool arg, resp;
        int expected;
    } cases[] = {{10, true, false, -2}, {10, false, false, -3}, {11, true, true, -2}, {11, false, true, -3},
                 {13, true, true, -2},  {14, true, false, -2},  {15, true, true, -3}, {10, true, true, -3}};
    for (const auto &c : cases)
        EXPECT_EQ(validateExact(badEndLength(c.type, c.arg, c.resp)), c.expected)
            << "type " << c.type << " arg " << c.arg << " resp " << c.resp;
}

TEST(TlvValidate, TotalsOutsideMessageRangeReadNothingBeyond)
{
    EXPECT_EQ(validateExact(bytes({0x00, 0x00, 0x00, 0x0A})), -1);
    EXPECT_EQ(tlv_find(exact(bytes({0x00, 0x00, 0x00, 0x0A})).get(), TLV_TYPE_END), nullptr);
    // Total 7: an element header at offset 4 would cross the total.
    Bytes seven = bytes({0x00, 0x07, 0x00, 0x0A, 0x00, 0x00, 0xEE});
    EXPECT_EQ(validateExact(seven), -1);
    EXPECT_EQ(tlv_find(exact(seven).get(), TLV_TYPE_END), nullptr);

    // A full buffer of empty argument elements claiming more than it holds.
    Bytes full(KXMSG_MAX);
    for (size_t i = 4; i + 4 <= full.size(); i += 4)
        memcpy(&full[i], "\x00\x00\x00\x42", 4);
    // With 1504 the last header would lie within the claimed total.
    for (unsigned total : {32768u, 1501u, 1504u, 65535u}) {
        full[0] = static_cast<uint8_t>(total >> 8);
        full[1] = static_cast<uint8_t>(total);
        Block blk = exact(full);
        EXPECT_EQ(tlv_validate(blk.get()), -1) << total;
        EXPECT_EQ(tlv_find(blk.get(), TLV_TYPE_END), nullptr) << total;
        EXPECT_EQ(tlv_find(blk.get(), TLV_TYPE_ARG), nullptr) << total;
    }
    // Total 1500 with one argument of 1488 bytes fills the buffer exactly.
    full[0] = 0x05, full[1] = 0xDC, full[5] = 0x05, full[6] = 0xD0;
    full[KXMSG_MAX - 1] = 0xEE;
    EXPECT_EQ(validateExact(full), 0);
}

TEST(TlvValidate, ElementsCrossingTheTotal)
{
    // A second header would start 2 bytes before the end of the message.
    Block cut = exact(bytes({0x00, 0x0A, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00}));
    EXPECT_EQ(tlv_find(cut.get(), TLV_TYPE_ARG), cut.get() + 4);
    EXPECT_EQ(tlv_find(cut.get(), TLV_TYPE_END), nullptr);
    EXPECT_EQ(tlv_validate(cut.get()), -1);

    // A value that claims 65535 bytes of a 12-byte message.
    Block huge = exact(bytes({0x00, 0x0C, 0x00, 0x0A, 0x00, 0xFF, 0xFF, 0x42,
                              0x00, 0x00, 0x00, 0xEE}));
    EXPECT_EQ(tlv_find(huge.get(), TLV_TYPE_END), nullptr);
    EXPECT_EQ(tlv_validate(huge.get()), -1);
    std::vector<uint8_t> dst(70000, kMark);
    EXPECT_EQ(sntlv_get(dst.data(), dst.size(), TLV_TYPE_ARG, huge.get()), 0);
    EXPECT_EQ(dst[0], kMark);
    sntlv_void(huge.get(), TLV_TYPE_ARG);
    EXPECT_EQ(huge.bytes(), bytes({0x00, 0x0C, 0x00, 0x0A, 0x00, 0xFF, 0xFF, 0x57,
                                   0x00, 0x00, 0x00, 0x00}));
}

TEST(TlvAppend, StaysWithinSize)
{
    Block fit = exact(Bytes(14, kMark));
    tlv_init(fit.get(), 14, 10);
    EXPECT_EQ(sntlv_append(fit.get(), 14, TLV_TYPE_ARG, 6, "abcdef"), 10);
    EXPECT_EQ(fit.bytes(), bytes({0x00, 0x0E, 0x00, 0x0A, 0x00, 0x00, 0x06, 0x42, "abcdef"}));

    MsgBuf buf = inBuffer(bytes({0x00, 0x04, 0x00, 0x0A}));
    MsgBuf before = buf;
    EXPECT_EQ(sntlv_append(buf.data(), 13, TLV_TYPE_ARG, 6, "abcdef"), 0);
    // 4 + 4 + len wraps around to 5 in 32 bits.
    EXPECT_EQ(sntlv_append(buf.data(), buf.size(), TLV_TYPE_ARG, UINT_MAX - 2, "x"), 0);
    EXPECT_EQ(sntlv_append_val(buf.data(), buf.size(), TLV_TYPE_ARG, 5, 0x01020304), 0);
    EXPECT_EQ(buf, before);

    // Headers that claim more than the buffer, or than a signed total, holds.
    for (Bytes hdr : {bytes({0x07, 0xD0, 0x00, 0x0A}), bytes({0x7F, 0xFD, 0x00, 0x0A})}) {
        Block blk = exact(hdr);
        EXPECT_EQ(sntlv_append_val(blk.get(), hdr[0] == 0x07 ? KXMSG_MAX : UINT_MAX,
                                   TLV_TYPE_END, 0, 0), 0);
        EXPECT_EQ(blk.bytes(), hdr);
    }
}

TEST(TlvAppend, WordBytesLeastSignificantFirst)
{
    MsgBuf buf = inBuffer(bytes({0x00, 0x04, 0x00, 0x0A}));
    uint8_t *m = buf.data();
    EXPECT_EQ(sntlv_append_val(m, buf.size(), TLV_TYPE_ARG, 4, 0xA1B2C3D4), 8);
    EXPECT_EQ(sntlv_append_val(m, buf.size(), TLV_TYPE_RESP, 2, 0xA1B2C3D4), 6);
    EXPECT_EQ(sntlv_append_val(m, buf.size(), TLV_TYPE_END, 0, 0xA1B2C3D4), 4);
    EXPECT_EQ(head(m, 23), bytes({0x00, 0x16, 0x00, 0x0A,
                                  0x00, 0x00, 0x04, 0x42, 0xD4, 0xC3, 0xB2, 0xA1,
                                  0x00, 0x00, 0x02, 0x45, 0xD4, 0xC3,
                                  0x00, 0x00, 0x00, 0xEE, kMark}));
}

TEST(TlvRemove, EndElementAndBack)
{
    Block m = exact(kSmallest);
    EXPECT_EQ(sntlv_remove(m.get(), 8, TLV_TYPE_END), -4);
    // Only the total changes; the old end element's bytes stay.
    EXPECT_EQ(m.bytes(), bytes({0x00, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE}));
    EXPECT_EQ(sntlv_append_val(m.get(), 8, TLV_TYPE_END, 0, 0), 4);
    EXPECT_EQ(m.bytes(), kSmallest);
    EXPECT_EQ(tlv_validate(m.get()), 0);
}

TEST(TlvRemove, CommandExtendedIntoResponse)
{
    MsgBuf buf = inBuffer(kSu);
    uint8_t *m = buf.data();
    const uint8_t status = 0x00;
    int len = 45;
    len += sntlv_remove(m, buf.size(), TLV_TYPE_END);
    len += sntlv_append(m, buf.size(), TLV_TYPE_RESP, 1, &status);
    len += sntlv_append_val(m, buf.size(), TLV_TYPE_END, 0, 0);
    EXPECT_EQ(len, 50);
    Bytes expected(kSu.begin(), kSu.end() - 4);
    expected[1] = 0x32;
    expected.insert(expected.end(), {0x00, 0x00, 0x01, 0x45, 0x00, 0x00, 0x00, 0x00, 0xEE});
    EXPECT_EQ(head(m, 50), expected);
    EXPECT_EQ(tlv_validate(m), 0);
}

TEST(TlvRemove, MissingElementAsserts)
{
    const char *file = "libkxCommon/src/kxTlv\\.cpp";
    kxtest::expectAssertion([] { sntlv_remove(exact(kSmallest).get(), 8, TLV_TYPE_RESP); }, file, "sntlv_remove",
                            "tlvend != NULL");
    kxtest::expectAssertion([] { sntlv_void(exact(kSmallest).get(), TLV_TYPE_CMD); }, file, "sntlv_void",
                            "tlv != NULL");
}

TEST(TlvVoid, ValueZeroedLengthKept)
{
    Block m = exact(kSu);
    sntlv_void(m.get(), TLV_TYPE_DST);
    Bytes expected = kSu;
    expected[31] = 0x57;
    std::fill(expected.begin() + 32, expected.begin() + 41, 0);
    EXPECT_EQ(m.bytes(), expected);
    EXPECT_EQ(tlv_validate(m.get()), 0);

    sntlv_void(m.get(), TLV_TYPE_CMD);
    expected[7] = 0x57, expected[8] = 0, expected[9] = 0;
    EXPECT_EQ(m.bytes(), expected);
    EXPECT_EQ(tlv_validate(m.get()), 0);

    sntlv_void(m.get(), TLV_TYPE_END);
    EXPECT_EQ(tlv_length(m.get()), 45);
    EXPECT_EQ(tlv_validate(m.get()), -1);
}

TEST(TlvGet, ValueStrictlyShorterThanDestination)
{
    Block m = exact(kSu);
    std::array<char, 12> dst;
    dst.fill('#');
    EXPECT_EQ(sntlv_get(dst.data(), 10, TLV_TYPE_SRC, m.get()), 0);
    EXPECT_EQ(dst[0], '#');
    EXPECT_EQ(sntlv_get(dst.data(), 11, TLV_TYPE_SRC, m.get()), 10);
    EXPECT_EQ(std::string(dst.data(), 11), "/to_camera#");
    EXPECT_EQ(sntlv_get(dst.data(), dst.size(), TLV_TYPE_ARG, m.get()), 0);
    EXPECT_EQ(sntlv_get(dst.data(), dst.size(), TLV_TYPE_RESP, m.get()), 0);

    EXPECT_EQ(sntlv_copy(dst.data(), 4, 0, "abcd"), 0);
    EXPECT_EQ(sntlv_copy(dst.data(), 4, 5, "abcde"), 0);
    EXPECT_EQ(std::string(dst.data(), 4), "/to_");
    EXPECT_EQ(sntlv_copy(dst.data(), 4, 4, "abcd"), 4);
    EXPECT_EQ(std::string(dst.data(), 5), "abcdc");
}

TEST(TlvPutBytes, MostSignificantFirstEachFollowedByNul)
{
    std::array<uint8_t, 8> dst;
    auto put = [&](int count, uint32_t value) {
        dst.fill(kMark);
        return snputbytes(reinterpret_cast<char *>(dst.data()), dst.size(), count, value);
    };
    EXPECT_EQ(put(2, 258), 2);
    EXPECT_EQ(head(dst.data(), 4), bytes({0x01, 0x02, 0x00, kMark}));
    EXPECT_EQ(put(1, 0), 1);
    EXPECT_EQ(head(dst.data(), 3), bytes({0x00, 0x00, kMark}));
    EXPECT_EQ(put(4, 0x11223344), 4);
    EXPECT_EQ(head(dst.data(), 6), bytes({0x11, 0x22, 0x33, 0x44, 0x00, kMark}));
    for (int count : {0, 5, -1}) {
        EXPECT_EQ(put(count, 0x11223344), 0);
        EXPECT_EQ(dst[0], kMark);
    }
    // Too small a size: only bytes with room for their NUL land, but every
    // print counts its one character.
    Block four = exact(Bytes(4, kMark));
    EXPECT_EQ(snputbytes(reinterpret_cast<char *>(four.get()), 4, 4, 0x11223344), 4);
    EXPECT_EQ(four.bytes(), bytes({0x11, 0x22, 0x33, 0x00}));
    EXPECT_EQ(snputbytes(nullptr, 0, 4, 0x11223344), 4);
}

} // namespace
