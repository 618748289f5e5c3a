// TLV messages: byte layout, walking, validation and in-place editing.
#include "kxTlv.h"
#include "kxtest.h"
#include "kxwire.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
Bytes bytes(std::initializer_list<kxtest::Piece> pieces) { return kxtest::layout(pieces); }
Bytes head(const uint8_t *buf, size_t n) { return Bytes(buf, buf + n); }

// The "SU" command that the camera sends, as laid out byte by byte.
const Bytes kSu = kxtest::suCommand();
const Bytes kSmallest = bytes({0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xEE});
constexpr uint8_t kMark = 0xA5;

// The message in a page of marks between two pages that may not be
// touched: ending with the page, or at its start (with room for KXMSG_MAX
// bytes). A byte read or written outside the message or buffer faults in
// every build. Each call replaces the message of the last one.
uint8_t *guarded(const Bytes &b, bool atStart = false)
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    static auto *map = static_cast<uint8_t *>(
        mmap(nullptr, 3 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(map + page, page, PROT_READ | PROT_WRITE);
    std::fill(map + page, map + 2 * page, kMark);
    uint8_t *at = map + page + (atStart ? 0 : page - b.size());
    return std::copy(b.begin(), b.end(), at) - b.size();
}

TEST(TlvFind, EachElementWhereTheWalkMeetsIt)
{
    uint8_t *su = guarded(kSu);
    const std::pair<uint8_t, int> offsets[] = {{TLV_TYPE_CMD, 4}, {TLV_TYPE_ARG, 10},
                                               {TLV_TYPE_SRC, 14}, {TLV_TYPE_DST, 28},
                                               {TLV_TYPE_END, 41}, {TLV_TYPE_RESP, -1}};
    for (auto [type, offset] : offsets)
        EXPECT_EQ(tlv_find(su, type), offset < 0 ? nullptr : su + offset) << int(type);
    uint8_t *smallest = guarded(kSmallest);
    for (int type = 0; type < 256; ++type)
        EXPECT_EQ(tlv_find(smallest, static_cast<uint8_t>(type)),
                  type == TLV_TYPE_END ? smallest + 4 : nullptr) << type;
    // A second header would start 2 bytes before the end of the message.
    uint8_t *cut = guarded(bytes({0x00, 0x0A, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00}));
    EXPECT_EQ(tlv_find(cut, TLV_TYPE_ARG), cut + 4);
    EXPECT_EQ(tlv_find(cut, TLV_TYPE_END), nullptr);
    EXPECT_EQ(tlv_length(bytes({0x80, 0x00}).data()), -32768);
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

// KXMSG_MAX bytes of empty argument elements and an end element, under
// the given total.
Bytes fullBuffer(unsigned total)
{
    Bytes full = bytes({static_cast<int>(total >> 8), static_cast<int>(total & 0xFF), 0, 10});
    for (size_t i = 4; i < KXMSG_MAX - 4; i += 4)
        full.insert(full.end(), {0, 0, 0, TLV_TYPE_ARG});
    full.insert(full.end(), {0, 0, 0, TLV_TYPE_END});
    return full;
}

TEST(TlvValidate, ResultByMessage)
{
    Bytes lastNotEnd = kSu;
    lastNotEnd[44] = 0xEF;
    const std::pair<Bytes, int> cases[] = {
        {kSu, 0},
        {kSmallest, 0},
        {bytes({0x00, 0x0C, 0x00, 0x63, 0, 0, 0, 0x42, 0, 0, 0, 0xEE}), 0}, // no command code
        {fullBuffer(KXMSG_MAX), 0},
        {lastNotEnd, -1},
        {bytes({0x00, 0x0C, 0x00, 0x0A, 0, 0, 0, 0xEE, 0, 0, 0, 0xEE}), -1}, // an earlier end
        // Code length written as 3: the walk steps over the end element.
        {bytes({0x00, 0x12, 0x00, 0x0A, 0, 0, 3, 0x41, "SU", 0, 0, 0, 0x42, 0, 0, 0, 0xEE}), -1},
        {bytes({0x00, 0x0C, 0x00, 0x0A, 0x00, 0xFF, 0xFF, 0x42, 0, 0, 0, 0xEE}), -1},
        // Totals outside the messages' range.
        {bytes({0x00, 0x00, 0x00, 0xEE}), -1},
        {bytes({0x00, 0x07, 0x00, 0x0A, 0x00, 0x00, 0xEE}), -1},
        {fullBuffer(1501), -1},
        {fullBuffer(32768), -1},
        {fullBuffer(65535), -1},
        // Lengths that do not add up, by the elements of the message's kind.
        {badEndLength(10, true, false), -2},
        {badEndLength(10, false, false), -3},
        {badEndLength(11, true, true), -2},
        {badEndLength(11, false, true), -3},
        {badEndLength(13, true, true), -2},
        {badEndLength(14, true, false), -2},
        {badEndLength(15, true, true), -3},
        {badEndLength(10, true, true), -3},
    };
    for (const auto &[msg, expected] : cases)
        for (bool atStart : {false, true})
            EXPECT_EQ(tlv_validate(guarded(msg, atStart)), expected)
                << kxtest::toHex({msg.begin(), msg.end()});
}

TEST(TlvAppend, BuildsWithinSizeWordBytesLeastSignificantFirst)
{
    uint8_t *m = guarded({}, true);
    EXPECT_EQ(tlv_init(m, KXMSG_MAX, 10), 4);
    EXPECT_EQ(sntlv_append_val(m, 22, TLV_TYPE_ARG, 4, 0xA1B2C3D4), 8);
    EXPECT_EQ(sntlv_append_val(m, 22, TLV_TYPE_RESP, 2, 0xA1B2C3D4), 6);
    const Bytes built = head(m, 24);
    EXPECT_EQ(sntlv_append_val(m, 21, TLV_TYPE_END, 0, 0), 0) << "one byte more than size";
    EXPECT_EQ(sntlv_append_val(m, KXMSG_MAX, TLV_TYPE_END, 5, 0), 0) << "more than 4 bytes";
    EXPECT_EQ(head(m, 24), built) << "refused appends change nothing";
    EXPECT_EQ(sntlv_append_val(m, 22, TLV_TYPE_END, 0, 0xA1B2C3D4), 4) << "ends at size";
    EXPECT_EQ(head(m, 23), bytes({0x00, 0x16, 0x00, 0x0A, 0x00, 0x00, 0x04, 0x42, 0xD4, 0xC3, 0xB2,
                                  0xA1, 0x00, 0x00, 0x02, 0x45, 0xD4, 0xC3, 0x00, 0x00, 0x00, 0xEE,
                                  kMark}));
}

TEST(TlvRemove, MissingElementAsserts)
{
    const char *file = "libkxCommon/src/kxTlv\\.cpp";
    uint8_t *m = guarded(kSmallest);
    kxtest::expectAssertion([&] { sntlv_remove(m, 8, TLV_TYPE_RESP); }, file, "sntlv_remove",
                            "tlvend != NULL");
    kxtest::expectAssertion([&] { sntlv_void(m, TLV_TYPE_CMD); }, file, "sntlv_void",
                            "tlv != NULL");
}

TEST(TlvVoid, ValueZeroedLengthKept)
{
    uint8_t *m = guarded(kSu);
    sntlv_void(m, TLV_TYPE_DST);
    sntlv_void(m, TLV_TYPE_CMD);
    Bytes expected = kSu;
    expected[31] = expected[7] = 0x57;
    std::fill(expected.begin() + 32, expected.begin() + 41, 0);
    expected[8] = expected[9] = 0;
    EXPECT_EQ(head(m, 45), expected);
    EXPECT_EQ(tlv_validate(m), 0);
    sntlv_void(m, TLV_TYPE_END);
    EXPECT_EQ(tlv_length(m), 45);
    EXPECT_EQ(tlv_validate(m), -1);
}

TEST(TlvGet, ValueStrictlyShorterThanDestination)
{
    char dst[12] = "###########";
    EXPECT_EQ(sntlv_get(dst, 10, TLV_TYPE_SRC, kSu.data()), 0);
    EXPECT_EQ(dst[0], '#');
    EXPECT_EQ(sntlv_get(dst, 11, TLV_TYPE_SRC, kSu.data()), 10);
    EXPECT_EQ(std::string(dst), "/to_camera#");
    EXPECT_EQ(sntlv_get(dst, sizeof dst, TLV_TYPE_ARG, kSu.data()), 0);

    EXPECT_EQ(sntlv_copy(dst, 4, 0, "abcd"), 0);
    EXPECT_EQ(sntlv_copy(dst, 4, 5, "abcde"), 0);
    EXPECT_EQ(sntlv_copy(dst, 4, 4, "abcd"), 4);
    EXPECT_EQ(std::string(dst), "abcdcamera#");
}

TEST(TlvPutBytes, MostSignificantFirstEachFollowedByNul)
{
    char *dst = reinterpret_cast<char *>(guarded({}, true));
    EXPECT_EQ(snputbytes(dst, 8, 0, 0x11223344), 0);
    EXPECT_EQ(snputbytes(dst, 8, 5, 0x11223344), 0);
    EXPECT_EQ(dst[0], static_cast<char>(kMark)) << "nothing written";
    EXPECT_EQ(snputbytes(dst, 8, 2, 258), 2);
    EXPECT_EQ(snputbytes(dst + 2, 6, 1, 0), 1);
    EXPECT_EQ(head(reinterpret_cast<uint8_t *>(dst), 5), bytes({0x01, 0x02, 0x00, 0x00, kMark}));
    // Too small a size: nothing lands beyond it.
    uint8_t *four = guarded(Bytes(4, kMark));
    EXPECT_EQ(snputbytes(reinterpret_cast<char *>(four), 4, 4, 0x11223344), 4);
    EXPECT_EQ(head(four, 4), bytes({0x11, 0x22, 0x33, 0x00}));
}

// An element's header: type at +3, value length at +1 (high) and +2 (low).
TEST(TlvAccessors, TypeAndLengthFromTheElementHeader)
{
    const Bytes su = bytes({0x00, 0x2D, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, "SU",
                            0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x0A, 0x44, "/to_camera",
                            0x00, 0x00, 0x09, 0x43, "/to_kxnet", 0x00, 0x00, 0x00, 0xEE});
    struct Row {
        size_t offset;
        uint8_t type;
        unsigned len;
    };
    const Row rows[] = {{4, 0x41, 2}, {10, 0x42, 0}, {14, 0x44, 10}, {28, 0x43, 9}, {41, 0xEE, 0}};
    for (const Row &row : rows) {
        EXPECT_EQ(tlv_elem_type(su.data() + row.offset), row.type) << row.offset;
        EXPECT_EQ(tlv_elem_len(su.data() + row.offset), row.len) << row.offset;
    }
    EXPECT_EQ(tlv_msg_type(su.data()), 10);
    // The "LC" canvas argument: 600 bytes, high byte 0x02.
    EXPECT_EQ(tlv_elem_len(bytes({0x00, 0x02, 0x58, 0x42}).data()), 600u);
    EXPECT_EQ(tlv_elem_len(bytes({0xFF, 0xFF, 0xFF, 0xFF}).data()), 65535u);
}

TEST(TlvAccessors, SettersRewriteOnlyTheTypeByte)
{
    Bytes m = bytes({0x00, 0x0C, 0x00, 0x0A, 0x00, 0x00, 0x09, 0x43, 0x00, 0x00, 0x00, 0xEE});
    tlv_set_msg_type(m.data(), 11);
    tlv_set_elem_type(m.data() + 4, TLV_TYPE_SRC);
    EXPECT_EQ(m, bytes({0x00, 0x0C, 0x00, 0x0B, 0x00, 0x00, 0x09, 0x44, 0x00, 0x00, 0x00, 0xEE}));
}

// The command layout: code, arguments, source, destination, end.
TEST(TlvCommand, BuildsEveryElementInCommandOrder)
{
    struct Row {
        const char *what;
        const char *code;
        Bytes args;
        const char *src;
        Bytes expected;
    };
    const Row rows[] = {
        {"SU, no arguments", "SU", {}, "/to_camera",
         bytes({0x00, 0x2D, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, "SU", 0x00, 0x00, 0x00, 0x42,
                0x00, 0x00, 0x0A, 0x44, "/to_camera", 0x00, 0x00, 0x09, 0x43, "/to_kxnet",
                0x00, 0x00, 0x00, 0xEE})},
        {"CM with one argument", "CM", {0x07}, "/to_wif",
         bytes({0x00, 0x2B, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, "CM", 0x00, 0x00, 0x01, 0x42,
                0x07, 0x00, 0x00, 0x07, 0x44, "/to_wif", 0x00, 0x00, 0x09, 0x43, "/to_kxnet",
                0x00, 0x00, 0x00, 0xEE})},
    };
    for (const Row &row : rows) {
        uint8_t *m = guarded({}, true);
        const void *args = row.args.empty() ? nullptr : row.args.data();
        EXPECT_EQ(sntlv_command(m, KXMSG_MAX, 10, row.code, args,
                                static_cast<unsigned>(row.args.size()), row.src, "/to_kxnet"),
                  static_cast<int>(row.expected.size()))
            << row.what;
        EXPECT_EQ(head(m, row.expected.size() + 1), [&] {
            Bytes b = row.expected;
            b.push_back(kMark);
            return b;
        }()) << row.what;
    }
}

// Like every append, an element that does not fit is left out: at size 40
// the destination (13 bytes from 28) is, and the end element still fits.
// The header counts what was added, so only the whole command's length
// (45 for SU from "/to_camera" to "/to_kxnet") tells a short one.
TEST(TlvCommand, ElementThatDoesNotFitIsLeftOut)
{
    static_assert(TLV_COMMAND_LEN(0, 10, 9) == 45 && TLV_COMMAND_LEN(1, 7, 9) == 43);
    const std::pair<unsigned, int> sizes[] = {{45, 45}, {44, 41}, {40, 32}};
    for (auto [size, sum] : sizes) {
        uint8_t *m = guarded({}, true);
        EXPECT_EQ(sntlv_command(m, size, 10, "SU", nullptr, 0, "/to_camera", "/to_kxnet"), sum)
            << size;
        EXPECT_EQ(tlv_length(m), sum) << size;
        EXPECT_EQ(m[sum], kMark) << size;
        EXPECT_EQ(sum == TLV_COMMAND_LEN(0, 10, 9), size == 45) << size;
    }
}

} // namespace
