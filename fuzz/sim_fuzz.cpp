// libFuzzer target for the simulated camera: one command in, as the
// forwarding loop hands it over (well-formed, or the loop would have ended
// the daemon first), through the code lookup, the command table and the
// handler, and answered in place the way the simulator answers, short of
// the mailbox that the answer goes to. The handler must keep to the
// table's argument lengths and to its room, the response must be
// well-formed within KXMSG_MAX, and the canvas must keep to its 600 bytes;
// the commands that the camera sends on its own land in an outbox here and
// are checked too. Bytes beyond the declared total set the state that the
// command finds.
#include "camCommand.h"
#include "kxFuzz.h"
#include "kxLog.h"
#include "kxRedIro.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

using MsgBuf = std::array<uint8_t, KXMSG_MAX>;

// Only columns 0-59 exist: the low four bits of each row's last byte.
void checkCanvas()
{
    for (int row = 0; row < KX_CANVAS_ROWS; ++row)
        check((g_canvas[row * KX_CANVAS_ROW_BYTES + KX_CANVAS_ROW_BYTES - 1] & 0x0F) == 0);
}

// The camera's own commands: "LC" with the canvas as it stands, or "SU".
int outbox(const uint8_t *msg, int len)
{
    check(len <= KXMSG_MAX && tlv_length(msg) == len && tlv_validate(msg) == 0);
    const uint8_t *code = tlv_find(msg, TLV_TYPE_CMD);
    const uint8_t *arg = tlv_find(msg, TLV_TYPE_ARG);
    check(code != nullptr && arg != nullptr && get16(code + 1) == 2);
    bool lc = memcmp(code + 4, "LC", 2) == 0;
    check(lc || memcmp(code + 4, "SU", 2) == 0);
    check(get16(arg + 1) == (lc ? unsigned{KX_CANVAS_SIZE} : 0u));
    check(!lc || memcmp(arg + 4, g_canvas, KX_CANVAS_SIZE) == 0);
    return 0;
}

// The handler's output, answered in place and traced; "DB" keeps the log
// level at 0 and the log targets off.
void dispatch(MsgBuf &msg, uint8_t *arg, int index)
{
    unsigned argLen = get16(arg + 1);
    if (index == 0 && argLen >= 1)
        arg[4] = 0;
    if (index == 0 && argLen >= 4)
        arg[7] &= static_cast<uint8_t>(~((KX_DBG_LOGFILE | KX_DBG_STDOUT) >> 24));
    std::vector<uint8_t> resp(KXMSG_MAX); // exactly: AddressSanitizer sees any byte beyond
    int n = CAdispatch(resp.data(), KXMSG_MAX, arg + 4, argLen, index);
    const CAcommand_t &row = g_caCommandTable[index];
    bool taken = argLen >= row.minArgLen && argLen <= row.maxArgLen;
    check(n >= -1 && n <= KXMSG_MAX && (taken || (n == 1 && resp[0] == 1)));
    if (n < 0)
        return;
    MsgBuf cmd = msg;
    int len = tlv_length(cmd.data()) + simAnswer(msg.data(), KXMSG_MAX, resp.data(), n);
    kxTrace(KX_TRACE_FROM_RT, msg.data(), len);
    checkAnswered(cmd.data(), msg.data(), len, {resp.data(), static_cast<size_t>(n)}, KXMSG_MAX);
    CAsendPendingLC();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MsgBuf msg{};
    memcpy(msg.data(), data, std::min(size, msg.size()));
    const uint8_t *code = tlv_find(msg.data(), TLV_TYPE_CMD);
    uint8_t *arg = tlv_find(msg.data(), TLV_TYPE_ARG);
    if (tlv_validate(msg.data()) != 0 || code == nullptr || arg == nullptr ||
        tlv_find(msg.data(), TLV_TYPE_SRC) == nullptr ||
        tlv_find(msg.data(), TLV_TYPE_DST) == nullptr)
        return 0; // asserted before any handler runs
    size_t total = static_cast<size_t>(tlv_length(msg.data()));
    FuzzInput in{data + total, size - total};
    g_caOutbox = outbox;
    g_caMode = in.byte();
    DrawTarget(g_caMode);
    g_canvasChanged = in.byte() & 1;
    // Log level 0 and no log targets: nothing is written anywhere, but a
    // response's trace is still formatted line by line.
    g_debug_level = KX_DBG_TRACE | (in.byte() & 1 ? KX_DBG_FULL_DUMP : 0);
    g_debug = kxTraceMask[KX_TRACE_FROM_RT];
    int index = CAcommandIndex(code + TLV_ELEM_HDR_LEN);
    check(index >= 0 && index < KX_CA_COMMANDS);
    dispatch(msg, arg, index);
    checkCanvas();
    return 0;
}
