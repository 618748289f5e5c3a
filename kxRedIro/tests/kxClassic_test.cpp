// Classic frames to TLV messages and back, and the assertions that guard
// the conversions.
#include "kxClassic.h"
#include "kxTlv.h"
#include "kxtest.h"
#include "kxwire.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
Bytes bytes(std::initializer_list<kxtest::Piece> pieces)
{
    return kxtest::layout(pieces);
}

// The camera's "SU" command, and its answer with the one status byte 0x00:
// type 11, the two addresses exchanged by their type bytes, a response
// element before the end element.
const Bytes kSu = kxtest::suCommand();
const Bytes kSuResp = bytes({0x00, 0x32, 0x00, 0x0B, 0x00, 0x00, 0x02, 0x41, "SU",
                             0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x0A, 0x43, "/to_camera",
                             0x00, 0x00, 0x09, 0x44, "/to_kxnet", 0x00, 0x00, 0x01, 0x45, 0x00,
                             0x00, 0x00, 0x00, 0xEE});

constexpr uint8_t kMark = 0xA5;
using MsgBuf = std::array<uint8_t, KXMSG_MAX>;

MsgBuf inBuffer(const Bytes &b)
{
    MsgBuf buf;
    buf.fill(kMark);
    std::copy(b.begin(), b.end(), buf.begin());
    return buf;
}

Bytes head(const void *buf, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    return Bytes(p, p + n);
}

const char *chars(const Bytes &b)
{
    return reinterpret_cast<const char *>(b.data());
}

// A command with the code "XY" and count argument bytes 0, 1, 2, ...
MsgBuf commandWithArgs(unsigned count)
{
    MsgBuf buf = inBuffer({});
    Bytes args(count);
    for (unsigned i = 0; i < count; ++i)
        args[i] = static_cast<uint8_t>(i);
    tlv_init(buf.data(), buf.size(), 10);
    sntlv_append(buf.data(), buf.size(), TLV_TYPE_CMD, 2, "XY");
    sntlv_append(buf.data(), buf.size(), TLV_TYPE_ARG, count, args.data());
    sntlv_append_val(buf.data(), buf.size(), TLV_TYPE_END, 0, 0);
    return buf;
}

TEST(Classic, CommandToFrame)
{
    // The header is one print of size n: n - 1 characters and a NUL when it
    // cuts. Arguments (at most 253) follow as far as n reaches.
    const struct {
        unsigned args, n;
        int result;
        Bytes written;
    } cases[] = {
        {0, 8, 4, bytes({'C', 2, 'X', 'Y', 0x00})},
        {300, 300, 257, bytes({'C', 255, 'X', 'Y'})},
        {0, 4, 4, bytes({'C', 2, 'X', 0x00})},
        {3, 6, 7, bytes({'C', 5, 'X', 'Y', 0x00, 0x01})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.args << " args, n " << c.n);
        MsgBuf cmd = commandWithArgs(c.args);
        std::array<uint8_t, 310> dst;
        dst.fill(kMark);
        EXPECT_EQ(convertTlvToClassic(reinterpret_cast<char *>(dst.data()), c.n, cmd.data()),
                  c.result);
        EXPECT_EQ(g_tlvcmd, cmd.data() + 4);
        EXPECT_EQ(head(dst.data(), c.written.size()), c.written);
        const size_t argEnd = std::min<size_t>(c.n, 4 + std::min(c.args, 253u));
        for (size_t i = c.written.size(); i < dst.size(); ++i)
            ASSERT_EQ(dst[i], i < argEnd ? static_cast<uint8_t>(i - 4) : kMark) << i;
    }
    // Nothing but the total bounds the walk: an argument that ends it is
    // still found and converted.
    char dst[8] = {};
    const Bytes noEnd = bytes({0x00, 0x0E, 0x00, 0x0A, 0, 0, 2, 0x41, "SU", 0, 0, 0, 0x42});
    EXPECT_EQ(convertTlvToClassic(dst, sizeof dst, inBuffer(noEnd).data()), 4);
    EXPECT_EQ(head(dst, 5), bytes({'C', 2, 'S', 'U', 0x00}));
}

TEST(Classic, FrameToCommand)
{
    MsgBuf out = inBuffer({});
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 2, "SU"})), 4), 45);
    Bytes expected = kSu;
    expected.push_back(kMark);
    EXPECT_EQ(head(out.data(), 46), expected);

    // Length byte 255: 253 argument bytes, converted in the frame's buffer.
    MsgBuf buf = inBuffer(bytes({'C', 255, "AB"}));
    for (unsigned i = 0; i < 253; ++i)
        buf[4 + i] = static_cast<uint8_t>(0x80 + i);
    const char *frame = reinterpret_cast<const char *>(buf.data());
    EXPECT_EQ(convertClassicCmdToTlv(buf.data(), buf.size(), frame, 257), 298);
    EXPECT_EQ(head(buf.data(), 14), bytes({0x01, 0x2A, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, "AB",
                                           0x00, 0x00, 0xFD, 0x42}));
    for (unsigned i = 0; i < 253; ++i)
        ASSERT_EQ(buf[14 + i], static_cast<uint8_t>(0x80 + i)) << i;
    EXPECT_EQ(tlv_validate(buf.data()), 0);

    // Frames without a whole code, and buffers too small.
    out = inBuffer({});
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 0})), 2), 0);
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 1, 'S'})), 3), 0);
    EXPECT_EQ(out[0], kMark);
    // One byte short of the end element: the command goes without it.
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), 44, chars(bytes({'C', 2, "SU"})), 4), 41);
    Bytes withoutEnd(kSu.begin(), kSu.end() - 4);
    withoutEnd[1] = 41;
    withoutEnd.push_back(kMark);
    EXPECT_EQ(head(out.data(), 42), withoutEnd);
    // Room for the header and the empty argument element only.
    out = inBuffer({});
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), 8, chars(bytes({'C', 2, "SU"})), 4), 8);
    EXPECT_EQ(head(out.data(), 9), bytes({0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x42, kMark}));
}

// Without room for the payload the answer goes without its response
// element: header and addresses changed, the command's length and end.
TEST(Classic, ResponseFrameIntoCommand)
{
    Bytes noRoom(kSuResp.begin(), kSuResp.begin() + 45);
    std::copy(kSuResp.end() - 4, kSuResp.end(), noRoom.begin() + 41);
    noRoom[1] = 45;
    for (auto [size, want] : {std::pair{unsigned{KXMSG_MAX}, kSuResp}, {45u, noRoom}}) {
        MsgBuf msg = inBuffer(kSu);
        EXPECT_EQ(convertClassicRespToTlv(msg.data(), 45, size, chars(bytes({'R', 1, 0x00})), 3),
                  static_cast<int>(want.size()));
        want.push_back(kMark);
        EXPECT_EQ(head(msg.data(), want.size()), want) << size;
    }
}

void fromTlv(const Bytes &msg)
{
    std::array<char, 300> dst{};
    convertTlvToClassic(dst.data(), dst.size(), inBuffer(msg).data());
}
void frameToCommand(const Bytes &frame, int ilen)
{
    MsgBuf out{};
    convertClassicCmdToTlv(out.data(), out.size(), chars(frame), ilen);
}
void answer(const Bytes &msg, const Bytes &frame, int rlen)
{
    MsgBuf buf = inBuffer(msg);
    int ilen = static_cast<int>(msg.size());
    convertClassicRespToTlv(buf.data(), ilen, buf.size(), chars(frame), rlen);
}
Bytes suWith(size_t at, uint8_t value)
{
    Bytes b = kSu;
    b[at] = value;
    return b;
}

// The conversions are the daemon's: their reports name its module. The
// marker is checked first, before the frame's length.
TEST(Classic, MalformedInputAssertsInTheOrderOfTheChecks)
{
    const std::string toTlv = "convertClassicCmdToTlv", resp = "convertClassicRespToTlv";
    const std::string req = "ibuf\\[0\\] == CC_MQ_COMMAND_REQ";
    const std::string rsp = "rbuf\\[0\\] == CC_MQ_COMMAND_RESP";
    const Bytes r100 = bytes({'R', 1, 0x00});
    const struct {
        std::function<void()> body;
        std::string function, condition;
    } cases[] = {
        {[] { fromTlv(bytes({0x00, 0x0C, 0x00, 0x0A, 0, 0, 0, 0x42, 0, 0, 0, 0xEE})); },
         "convertTlvToClassic", "g_tlvcmd != NULL"},
        {[] { fromTlv(bytes({0x00, 0x0E, 0x00, 0x0A, 0, 0, 2, 0x41, "SU", 0, 0, 0, 0xEE})); },
         "convertTlvToClassic", "tlvarg != NULL"},
        {[] { frameToCommand(bytes({'R'}), 1); }, toTlv, req},
        {[] { frameToCommand(bytes({0}), 0); }, toTlv, req},
        {[] { frameToCommand(bytes({'C'}), 1); }, toTlv, "ilen > 1"},
        {[] { frameToCommand(bytes({'C', 2, "SU", 0}), 5); }, toTlv, "ibuf\\[1\\] == rlen"},
        {[] { answer(kSu, bytes({'C'}), 1); }, resp, rsp},
        {[] { answer(kSu, bytes({'R'}), 1); }, resp, "rlen > 1"},
        {[] { answer(kSu, bytes({'R', 2, 0x00}), 3); }, resp, "rbuf\\[1\\] == tlen"},
        {[&] { answer(suWith(44, 0xEF), r100, 3); }, resp, "0 == tlv_validate\\(ibuf\\)"},
        {[&] { answer(suWith(17, TLV_TYPE_VOID), r100, 3); }, resp, "tlvsrc != NULL"},
        {[&] { answer(suWith(31, TLV_TYPE_VOID), r100, 3); }, resp, "tlvdst != NULL"},
    };
    for (const auto &c : cases)
        kxtest::expectAssertion(c.body, "kxRedIro/src/kxRedIro\\.cpp", c.function, c.condition);
}

} // namespace
