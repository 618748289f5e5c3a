// Conversions between classic frames and TLV messages: a part of the
// daemon's module, whose name its reports carry.
#define KX_MODULE "kxRedIro/src/kxRedIro.cpp"
//
// Frames arrive as char buffers, but their length bytes run up to 255:
// they are read through unsigned bytes so that a long frame's length does
// not turn negative.
#include "kxClassic.h"

#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

const uint8_t *g_tlvcmd = nullptr;

namespace {

constexpr unsigned kFrameHdr = 2;  // marker and length byte
constexpr unsigned kCodeLen = 2;   // two-letter command code
constexpr unsigned kCmdHdr = kFrameHdr + kCodeLen;
constexpr unsigned kMaxArgs = CC_MAX_ARGS;

// Commands built here come from the camera's own mailbox and go to the
// network daemon.
constexpr const char *kFromMbox = KXMBOXtoCAMERA;
constexpr const char *kToMbox = KXMBOXtoKXNET;

struct ClassicCmd {
    std::array<char, kCodeLen> code;
    std::array<uint8_t, kMaxArgs> args;
    unsigned argc;
};

// Whether count value bytes of an element found in msg lie inside the
// message's declared total.
bool valueInside(const uint8_t *msg, const uint8_t *elem, unsigned count)
{
    long end = (elem - msg) + TLV_ELEM_HDR_LEN + static_cast<long>(count);
    return end <= tlv_length(msg);
}

int buildCommand(uint8_t *obuf, unsigned osize, const ClassicCmd &cmd)
{
    return sntlv_command(obuf, osize, TLV_MSG_TYPE_CMD, cmd.code.data(), cmd.args.data(),
                         cmd.argc, kFromMbox, kToMbox);
}

// Replaces the end element by the response element and a new end element;
// returns the change in length.
int appendResponse(uint8_t *msg, unsigned size, const uint8_t *payload, int count)
{
    int delta = sntlv_remove(msg, size, TLV_TYPE_END);
    delta += sntlv_append(msg, size, TLV_TYPE_RESP, static_cast<unsigned>(count), payload);
    delta += sntlv_append_val(msg, size, TLV_TYPE_END, 0, 0);
    return delta;
}

} // namespace

int convertTlvToClassic(char *dst, unsigned n, const uint8_t *tlv)
{
    g_tlvcmd = tlv_find(tlv, TLV_TYPE_CMD);
    const uint8_t *tlvarg = tlv_find(tlv, TLV_TYPE_ARG);
    ASSERT(g_tlvcmd != NULL);
    ASSERT(tlvarg != NULL);
    unsigned argc = std::min(tlv_elem_len(tlvarg), kMaxArgs);
    if (!valueInside(tlv, g_tlvcmd, kCodeLen) || !valueInside(tlv, tlvarg, argc))
        return 0;
    const uint8_t *code = g_tlvcmd + TLV_ELEM_HDR_LEN;
    snprintf(dst, n, "%c%c%c%c", CC_MQ_COMMAND_REQ, static_cast<int>(argc + kCodeLen),
             code[0], code[1]);
    // The header print is bounded by n; so are the arguments, which a short
    // dst takes only as far as they fit. The length is the frame's anyway.
    unsigned room = n > kCmdHdr ? n - kCmdHdr : 0;
    if (argc != 0 && room != 0)
        memcpy(dst + kCmdHdr, tlvarg + TLV_ELEM_HDR_LEN, std::min(argc, room));
    return static_cast<int>(kCmdHdr + argc);
}

int convertClassicCmdToTlv(uint8_t *obuf, unsigned osize, const char *frame, int ilen)
{
    const auto *ibuf = reinterpret_cast<const uint8_t *>(frame);
    // An empty frame has no marker to look at: it fails the marker check,
    // which comes first.
    KX_ASSERT_AS(ilen >= 1 && ibuf[0] == CC_MQ_COMMAND_REQ, KX_MODULE, __func__,
                 "ibuf[0] == CC_MQ_COMMAND_REQ");
    ASSERT(ilen > 1);
    int rlen = ilen - 2;
    ASSERT(ibuf[1] == rlen);
    if (ibuf[1] < kCodeLen || osize < TLV_MSG_MIN_LEN)
        return 0;
    // Copied aside first: obuf may be the frame's own buffer.
    ClassicCmd cmd{};
    cmd.argc = ibuf[1] - kCodeLen;
    memcpy(cmd.code.data(), ibuf + kFrameHdr, kCodeLen);
    memcpy(cmd.args.data(), ibuf + kCmdHdr, cmd.argc);
    return buildCommand(obuf, osize, cmd);
}

int convertClassicRespToTlv(uint8_t *ibuf, int ilen, unsigned size, const char *frame,
                            int rlen)
{
    const auto *rbuf = reinterpret_cast<const uint8_t *>(frame);
    KX_ASSERT_AS(rlen >= 1 && rbuf[0] == CC_MQ_COMMAND_RESP, KX_MODULE, __func__,
                 "rbuf[0] == CC_MQ_COMMAND_RESP");
    ASSERT(rlen > 1);
    int tlen = rlen - 2;
    ASSERT(rbuf[1] == tlen);
    ASSERT(0 == tlv_validate(ibuf));
    uint8_t *tlvsrc = tlv_find(ibuf, TLV_TYPE_SRC);
    uint8_t *tlvdst = tlv_find(ibuf, TLV_TYPE_DST);
    ASSERT(tlvsrc != NULL);
    ASSERT(tlvdst != NULL);
    // The addresses trade places by their type bytes; the names stay put.
    tlv_set_elem_type(tlvsrc, TLV_TYPE_DST);
    tlv_set_elem_type(tlvdst, TLV_TYPE_SRC);
    tlv_set_msg_type(ibuf, static_cast<uint8_t>(tlv_msg_type(ibuf) + 1));
    return ilen + appendResponse(ibuf, size, rbuf + kFrameHdr, tlen);
}
