// libFuzzer target for the simulated camera: one command in, as the
// forwarding loop hands it over (well-formed, or the loop would have ended
// the daemon first), through the code lookup, the command table and the
// handler, and answered in place the way the simulator answers, short of
// the mailbox that the answer goes to. The handler's output must follow
// the command table, the response must be well-formed within KXMSG_MAX,
// and the canvas must keep to its 600 bytes; the commands that the camera
// sends on its own land in an outbox here and are checked too. Bytes
// beyond the declared total set the state that the command finds.
#include "camCommand.h"
#include "kxFuzz.h"
#include "kxLog.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

using MsgBuf = std::array<uint8_t, KXMSG_MAX>;

struct Row {
    unsigned minArg, maxArg;
    uint8_t status;
    int respLen; // when the argument length is in range
};

// By command index, in the order of the code string.
constexpr Row kRows[KX_CA_COMMANDS] = {
    {0, 8, 0, -1},  {0, 0, 0, 2}, {0, 0, 0, 25}, {1, 1, 0, 602}, {0, 0, 0, 2},
    {0, 0, 0, 31},  {0, 0, 0, 5}, {0, 0, 1, 1},  {0, 0, 0, 2},   {0, 0, 0, 2},
    {0, 0, 0, 2},   {0, 0, 0, 56}, {0, 0, 0, 32}, {1, 1, 0, 2},  {1, 1, 0, 2},
    {7, 7, 0, 1},   {1, 1, 0, 2}, {1, 1, 0, 2},  {1, 1, 0, 1},   {1, 1, 0, 1},
    {1, 1, 0, 1},   {0, 0, 0, 1}, {0, 0, 0, 1},  {0, KXMSG_MAX, 1, 1},
};

unsigned get16(const uint8_t *p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

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

// Log level 0 and no log targets: nothing is written anywhere, but a
// response's trace is still formatted line by line.
void quiet(FuzzInput &in)
{
    g_debug_level = KX_DBG_TRACE | (in.byte() & 1 ? KX_DBG_FULL_DUMP : 0);
    g_debug = kxTraceMask[KX_TRACE_FROM_RT];
}

// The handler's output in place of the end element: type + 1, the two
// addresses exchanged, well-formed unless only the end element failed to
// fit (which the simulator asserts).
void checkAnswer(const MsgBuf &cmd, const MsgBuf &msg, int len, std::span<const uint8_t> resp)
{
    unsigned total = get16(cmd.data());
    bool fits = total + resp.size() <= KXMSG_MAX;
    size_t grown = total - 4 + (fits ? 4 + resp.size() : 0);
    bool closed = grown + 4 <= KXMSG_MAX;
    check(len == static_cast<int>(grown + (closed ? 4 : 0)) && get16(msg.data()) == unsigned(len));
    check(msg[3] == static_cast<uint8_t>(cmd[3] + 1));
    size_t src = tlv_find(cmd.data(), TLV_TYPE_SRC) - cmd.data();
    size_t dst = tlv_find(cmd.data(), TLV_TYPE_DST) - cmd.data();
    check(msg[src + 3] == TLV_TYPE_DST && msg[dst + 3] == TLV_TYPE_SRC);
    if (!closed)
        return;
    check(tlv_validate(msg.data()) == 0);
    const uint8_t *e = msg.data() + total - 4;
    check(!fits || (e[3] == TLV_TYPE_RESP && get16(e + 1) == resp.size() &&
                    memcmp(e + 4, resp.data(), resp.size()) == 0));
}

// The command index of the code; a key that a zero cuts short still starts
// the code that it finds.
int lookUp(const MsgBuf &msg)
{
    const uint8_t *key = tlv_find(msg.data(), TLV_TYPE_CMD) + TLV_ELEM_HDR_LEN;
    int index = CAcommandIndex(key);
    check(index >= 0 && index < KX_CA_COMMANDS);
    for (int i = 0; i < 2 && key[i] != 0 && index != KX_CA_DEFAULT; ++i)
        check(key[i] == static_cast<uint8_t>(g_caCodes[2 * index + i]));
    return index;
}

// "DB" keeps the log level at 0 and the log targets off.
void keepLogsOff(uint8_t *arg, unsigned argLen, int index)
{
    if (index == 0 && argLen >= 1)
        arg[4] = 0;
    if (index == 0 && argLen >= 4)
        arg[7] &= static_cast<uint8_t>(~((KX_DBG_LOGFILE | KX_DBG_STDOUT) >> 24));
}

// The handler's output as the table has it, answered in place and traced.
void dispatch(MsgBuf &msg, const uint8_t *arg, unsigned argLen, int index)
{
    std::vector<uint8_t> resp(KXMSG_MAX); // exactly: AddressSanitizer sees any byte beyond
    int n = CAdispatch(resp.data(), KXMSG_MAX, arg + 4, argLen, index);
    const Row &row = kRows[index];
    bool taken = argLen >= row.minArg && argLen <= row.maxArg;
    check(n == (taken ? row.respLen : 1) && (n < 0 || resp[0] == (taken ? row.status : 1)));
    if (n < 0)
        return;
    MsgBuf cmd = msg;
    int len = tlv_length(cmd.data()) + simAnswer(msg.data(), KXMSG_MAX, resp.data(), n);
    kxTrace(KX_TRACE_FROM_RT, msg.data(), len);
    checkAnswer(cmd, msg, len, {resp.data(), static_cast<size_t>(n)});
    CAsendPendingLC();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MsgBuf msg{};
    memcpy(msg.data(), data, std::min(size, msg.size()));
    uint8_t *arg = tlv_find(msg.data(), TLV_TYPE_ARG);
    if (tlv_validate(msg.data()) != 0 || tlv_find(msg.data(), TLV_TYPE_CMD) == nullptr ||
        arg == nullptr || tlv_find(msg.data(), TLV_TYPE_SRC) == nullptr ||
        tlv_find(msg.data(), TLV_TYPE_DST) == nullptr)
        return 0; // asserted before any handler runs
    int total = tlv_length(msg.data());
    FuzzInput in{data + total, size - static_cast<size_t>(total)};
    g_caOutbox = outbox;
    g_caMode = in.byte();
    DrawTarget(g_caMode);
    g_canvasChanged = in.byte() & 1;

    unsigned argLen = get16(arg + 1);
    int index = lookUp(msg);
    keepLogsOff(arg, argLen, index);
    quiet(in);
    dispatch(msg, arg, argLen, index);
    checkCanvas();
    return 0;
}
