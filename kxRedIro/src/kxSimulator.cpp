// Which messages the simulated camera takes, and how a command becomes its
// response inside the message buffer. Kept apart from the entry point so
// that tests and kxctl link it, but part of the daemon's module: its
// reports name that.
#define KX_MODULE "kxRedIro/src/kxRedIro.cpp"

#include "camCommand.h"
#include "kxLog.h"
#include "kxMbox.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>

namespace {

// "DB" compared as a string: the two letters and a zero after them, which
// for a two-letter value is the next element's spare byte. Bytes beyond the
// message's declared total are never looked at.
bool isDebugCommand(const uint8_t *msg, const uint8_t *tlvcmd)
{
    const uint8_t *code = tlvcmd + TLV_ELEM_HDR_LEN;
    int total = tlv_length(msg);
    if (code + 3 > msg + total)
        return false;
    return code[0] == 'D' && code[1] == 'B' && code[2] == 0;
}

} // namespace

int mailToKxnet(const uint8_t *msg, int len, const char *module, const char *func)
{
    kxMbox_t txqToKXnet{};
    KX_ASSERT_AS(kxMbox_txopen(KXMBOXtoKXNET, &txqToKXnet) == 0, module, func,
                 "kxMbox_txopen(KXMBOXtoKXNET, &txqToKXnet) == 0");
    kxMbox_send(msg, len, &txqToKXnet);
    return kxMbox_close(&txqToKXnet);
}

int simAnswer(uint8_t *ibuf, unsigned size, const uint8_t *resp, int n)
{
    uint8_t *tlvsrc = tlv_find(ibuf, TLV_TYPE_SRC);
    uint8_t *tlvdst = tlv_find(ibuf, TLV_TYPE_DST);
    int delta = sntlv_remove(ibuf, size, TLV_TYPE_END);
    // The response goes back where the command came from.
    tlv_set_msg_type(ibuf, static_cast<uint8_t>(tlv_msg_type(ibuf) + 1));
    tlv_set_elem_type(tlvsrc, TLV_TYPE_DST);
    tlv_set_elem_type(tlvdst, TLV_TYPE_SRC);
    delta += sntlv_append(ibuf, size, TLV_TYPE_RESP, static_cast<unsigned>(n), resp);
    delta += sntlv_append_val(ibuf, size, TLV_TYPE_END, 0, 0);
    return delta;
}

int sim_and_send(uint8_t *ibuf, int ilen)
{
    const uint8_t *tlvcmd = tlv_find(ibuf, TLV_TYPE_CMD);
    ASSERT(tlvcmd != NULL);
    if ((g_debug_level & KX_DBG_SIMULATOR) == 0 && !isDebugCommand(ibuf, tlvcmd))
        return 0;
    cameraSimulator(ibuf, ilen, KXMSG_MAX);
    return 1;
}

void cameraSimulator(uint8_t *ibuf, int ilen, unsigned size)
{
    uint8_t *tlvcmd = tlv_find(ibuf, TLV_TYPE_CMD);
    uint8_t *tlvarg = tlv_find(ibuf, TLV_TYPE_ARG);
    uint8_t *tlvsrc = tlv_find(ibuf, TLV_TYPE_SRC);
    uint8_t *tlvdst = tlv_find(ibuf, TLV_TYPE_DST);
    ASSERT(tlvcmd != NULL);
    ASSERT(tlvarg != NULL);
    ASSERT(tlvsrc != NULL);
    ASSERT(tlvdst != NULL);

    std::array<uint8_t, KXMSG_MAX> resp; // handlers write what they return
    int n = CAdispatch(resp.data(), resp.size(), tlvarg + TLV_ELEM_HDR_LEN, tlv_elem_len(tlvarg),
                       CAcommandIndex(tlvcmd + TLV_ELEM_HDR_LEN));
    if (n < 0)
        return; // "DB": never answered
    int len = ilen + simAnswer(ibuf, size, resp.data(), n);

    // A command received with bytes past its header's total is answered
    // with as many past the response's, which may be more than the buffer
    // holds: the send below refuses that length, but the dump must not read
    // beyond the buffer first.
    kxTrace(KX_TRACE_FROM_RT, ibuf, std::min(len, static_cast<int>(size)));
    ASSERT(0 == tlv_validate(ibuf));
    mailToKxnet(ibuf, len, KX_MODULE, __func__);
    CAsendPendingLC();
}
