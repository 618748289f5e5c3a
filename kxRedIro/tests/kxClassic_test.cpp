// Classic frames to TLV messages and back, and the assertions that guard
// the conversions.
#include "kxClassic.h"
#include "kxTlv.h"

#include "kxtest.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include "kxwire.h"

#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <variant>
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
const Bytes kSuResp = bytes({0x00, 0x32, 0x00, 0x0B,
                             0x00, 0x00, 0x02, 0x41, "SU",
                             0x00, 0x00, 0x00, 0x42,
                             0x00, 0x00, 0x0A, 0x43, "/to_camera",
                             0x00, 0x00, 0x09, 0x44, "/to_kxnet",
                             0x00, 0x00, 0x01, 0x45, 0x00,
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
    std::vector<uint8_t> args(count);
    for (unsigned i = 0; i < count; ++i)
        args[i] = static_cast<uint8_t>(i);
    tlv_init(buf.data(), buf.size(), 10);
    sntlv_append(buf.data(), buf.size(), TLV_TYPE_CMD, 2, "XY");
    sntlv_append(buf.data(), buf.size(), TLV_TYPE_ARG, count, args.data());
    sntlv_append_val(buf.data(), buf.size(), TLV_TYPE_END, 0, 0);
    return buf;
}

void expectAssert(const std::function<void()> &body, const char *function,
                  const char *condition)
{
    // The conversions are the daemon's: their reports name its module.
    kxtest::expectAssertion(body, "kxRedIro/src/kxRedIro\\.cpp", function, condition);
}

TEST(ClassicFromTlv, SuWithoutArguments)
{
    MsgBuf su = inBuffer(kSu);
    std::array<char, 8> dst;
    dst.fill('#');
    EXPECT_EQ(convertTlvToClassic(dst.data(), dst.size(), su.data()), 4);
    EXPECT_EQ(head(dst.data(), 6), bytes({'C', 2, 'S', 'U', 0x00, '#'}));
    EXPECT_EQ(g_tlvcmd, su.data() + 4);
}

TEST(ClassicFromTlv, ArgumentsCutTo253)
{
    MsgBuf cmd = commandWithArgs(300);
    std::array<uint8_t, 300> dst;
    dst.fill(kMark);
    EXPECT_EQ(convertTlvToClassic(reinterpret_cast<char *>(dst.data()), dst.size(), cmd.data()),
              257);
    EXPECT_EQ(head(dst.data(), 4), bytes({'C', 255, 'X', 'Y'}));
    for (unsigned i = 0; i < 253; ++i)
        ASSERT_EQ(dst[4 + i], static_cast<uint8_t>(i)) << i;
    EXPECT_EQ(dst[257], kMark);
}

TEST(ClassicFromTlv, SmallDestinationsTakeWhatFitsAndTheLengthStays)
{
    // The header is one print of size n: n - 1 characters and a NUL when it
    // cuts. The arguments follow as far as n reaches; nothing lands beyond.
    const struct {
        unsigned args, n;
        int result;
        Bytes written;
    } cases[] = {
        {0, 4, 4, bytes({'C', 2, 'X', 0x00})},
        {0, 2, 4, bytes({'C', 0x00})},
        {3, 6, 7, bytes({'C', 5, 'X', 'Y', 0x00, 0x01})},
        {3, 4, 7, bytes({'C', 5, 'X', 0x00})},
        {300, 256, 257, bytes({'C', 255, 'X', 'Y'})},
    };
    for (const auto &c : cases) {
        MsgBuf cmd = commandWithArgs(c.args);
        std::array<uint8_t, 260> dst;
        dst.fill(kMark);
        EXPECT_EQ(convertTlvToClassic(reinterpret_cast<char *>(dst.data()), c.n, cmd.data()),
                  c.result) << c.args << " " << c.n;
        EXPECT_EQ(head(dst.data(), c.written.size()), c.written) << c.args << " " << c.n;
        for (unsigned i = c.written.size(); i < c.n; ++i) // the cut arguments
            ASSERT_EQ(dst[i], static_cast<uint8_t>(i - 4)) << i;
        EXPECT_EQ(head(dst.data() + c.n, dst.size() - c.n), Bytes(dst.size() - c.n, kMark));
    }
}

TEST(ClassicFromTlv, MissingElementsAssert)
{
    std::array<char, 300> dst{};
    expectAssert([&] {
        MsgBuf noCmd = inBuffer(bytes({0x00, 0x0C, 0x00, 0x0A, 0, 0, 0, 0x42, 0, 0, 0, 0xEE}));
        convertTlvToClassic(dst.data(), dst.size(), noCmd.data());
    }, "convertTlvToClassic", "g_tlvcmd != NULL");
    expectAssert([&] {
        MsgBuf noArg = inBuffer(bytes({0x00, 0x0E, 0x00, 0x0A, 0, 0, 2, 0x41, "SU",
                                       0, 0, 0, 0xEE}));
        convertTlvToClassic(dst.data(), dst.size(), noArg.data());
    }, "convertTlvToClassic", "tlvarg != NULL");
}

TEST(ClassicCmdToTlv, SuBecomesTheCameraCommand)
{
    MsgBuf out = inBuffer({});
    Bytes frame = bytes({'C', 2, "SU"});
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(frame), 4), 45);
    Bytes expected = kSu;
    expected.push_back(kMark);
    EXPECT_EQ(head(out.data(), 46), expected);
}

TEST(ClassicCmdToTlv, LongestFrameInItsOwnBuffer)
{
    // Length byte 255: 253 argument bytes, converted into the frame's buffer.
    MsgBuf buf = inBuffer(bytes({'C', 255, "AB"}));
    for (unsigned i = 0; i < 253; ++i)
        buf[4 + i] = static_cast<uint8_t>(0x80 + i);
    EXPECT_EQ(convertClassicCmdToTlv(buf.data(), buf.size(),
                                     reinterpret_cast<const char *>(buf.data()), 257),
              298);
    EXPECT_EQ(head(buf.data(), 14), bytes({0x01, 0x2A, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41,
                                           "AB", 0x00, 0x00, 0xFD, 0x42}));
    for (unsigned i = 0; i < 253; ++i)
        ASSERT_EQ(buf[14 + i], static_cast<uint8_t>(0x80 + i)) << i;
    EXPECT_EQ(tlv_validate(buf.data()), 0);
}

TEST(ClassicCmdToTlv, ShortFramesAndSmallBuffers)
{
    MsgBuf out = inBuffer({});
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 0})), 2), 0);
    EXPECT_EQ(convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 1, 'S'})), 3), 0);
    EXPECT_EQ(out[0], kMark);

    Bytes frame = bytes({'C', 2, "SU"});
    auto seven = std::make_unique<uint8_t[]>(7);
    EXPECT_EQ(convertClassicCmdToTlv(seven.get(), 7, chars(frame), 4), 0);
    // One byte short of the end element: the command goes without it.
    auto short44 = std::make_unique<uint8_t[]>(44);
    EXPECT_EQ(convertClassicCmdToTlv(short44.get(), 44, chars(frame), 4), 41);
    Bytes withoutEnd(kSu.begin(), kSu.end() - 4);
    withoutEnd[1] = 41;
    EXPECT_EQ(head(short44.get(), 41), withoutEnd);
}

TEST(ClassicCmdToTlv, MalformedFramesAssert)
{
    MsgBuf out{};
    expectAssert([&] {
        convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C', 2, "SU", 0})), 5);
    }, "convertClassicCmdToTlv", "ibuf\\[1\\] == rlen");
    expectAssert([&] {
        convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'R', 2, "SU"})), 4);
    }, "convertClassicCmdToTlv", "ibuf\\[0\\] == CC_MQ_COMMAND_REQ");
    expectAssert([&] {
        convertClassicCmdToTlv(out.data(), out.size(), chars(bytes({'C'})), 1);
    }, "convertClassicCmdToTlv", "ilen > 1");
    // An empty frame has no marker: the marker is checked first.
    expectAssert([&] {
        convertClassicCmdToTlv(out.data(), out.size(), "", 0);
    }, "convertClassicCmdToTlv", "ibuf\\[0\\] == CC_MQ_COMMAND_REQ");
}

TEST(ClassicRespToTlv, SuAnsweredWithStatusByte)
{
    MsgBuf msg = inBuffer(kSu);
    Bytes resp = bytes({'R', 1, 0x00});
    EXPECT_EQ(convertClassicRespToTlv(msg.data(), 45, msg.size(), chars(resp), 3), 50);
    Bytes expected = kSuResp;
    expected.push_back(kMark);
    EXPECT_EQ(head(msg.data(), 51), expected);
    EXPECT_EQ(tlv_validate(msg.data()), 0);
}

TEST(ClassicRespToTlv, PayloadThatDoesNotFitIsLeftOut)
{
    Bytes resp = bytes({'R', 1, 0x00});
    auto buf = std::make_unique<uint8_t[]>(45);
    memcpy(buf.get(), kSu.data(), kSu.size());
    EXPECT_EQ(convertClassicRespToTlv(buf.get(), 45, 45, chars(resp), 3), 45);
    // The answer's header and addresses, the command's length and end.
    Bytes expected = kSu;
    expected[3] = 0x0B;
    expected[17] = 0x43;
    expected[31] = 0x44;
    EXPECT_EQ(head(buf.get(), 45), expected);
    EXPECT_EQ(tlv_validate(buf.get()), 0);

    // A size below the command's own length: only the TLV operations' size
    // checks apply, so the end element goes (-4) and neither the response
    // nor the new end element fits.
    MsgBuf msg = inBuffer(kSu);
    EXPECT_EQ(convertClassicRespToTlv(msg.data(), 45, 44, chars(resp), 3), 41);
    EXPECT_EQ(head(msg.data(), 4), bytes({0x00, 0x29, 0x00, 0x0B}));
}

TEST(ClassicRespToTlv, MalformedInputAsserts)
{
    auto convert = [](Bytes msg, const Bytes &resp, int rlen) {
        MsgBuf buf = inBuffer(msg);
        convertClassicRespToTlv(buf.data(), static_cast<int>(msg.size()), buf.size(),
                                chars(resp), rlen);
    };
    const char *fn = "convertClassicRespToTlv";
    expectAssert([&] { convert(kSu, bytes({'R'}), 1); }, fn, "rlen > 1");
    expectAssert([&] { convert(kSu, bytes({}), 0); }, fn, "rbuf\\[0\\] == CC_MQ_COMMAND_RESP");
    expectAssert([&] { convert(kSu, bytes({'C', 1, 0x00}), 3); }, fn,
                 "rbuf\\[0\\] == CC_MQ_COMMAND_RESP");
    expectAssert([&] { convert(kSu, bytes({'R', 2, 0x00}), 3); }, fn, "rbuf\\[1\\] == tlen");
    Bytes broken = kSu;
    broken[44] = 0xEF;
    expectAssert([&] { convert(broken, bytes({'R', 1, 0x00}), 3); }, fn,
                 "0 == tlv_validate\\(ibuf\\)");
    Bytes noSrc = kSu;
    noSrc[17] = TLV_TYPE_VOID;
    expectAssert([&] { convert(noSrc, bytes({'R', 1, 0x00}), 3); }, fn, "tlvsrc != NULL");
    Bytes noDst = kSu;
    noDst[31] = TLV_TYPE_VOID;
    expectAssert([&] { convert(noDst, bytes({'R', 1, 0x00}), 3); }, fn, "tlvdst != NULL");
}

} // namespace
