// The simulated camera: its state, its command handlers and its pixel
// canvas.
#include "camCommand.h"

#include "kxLog.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Pixel canvas
// ---------------------------------------------------------------------------

uint8_t g_canvas[KX_CANVAS_SIZE];
uint32_t g_canvasChanged = 0;

namespace {

// The rings lie this far beyond the target's size, innermost first.
constexpr int32_t kRingOffsets[] = {9, 10, 11};

// Each arm of the cross reaches this far beyond the target's size.
constexpr int32_t kArmOffset = 10;

static_assert(KX_CANVAS_COLUMNS <= KX_CANVAS_ROW_BYTES * 8);
static_assert(KX_CIRCLE_RADIUS_LIMIT == KX_TARGET_SIZE_LIMIT + kRingOffsets[2]);
// With every size and radius held to the limits, the largest value that the
// drawing computes (a coordinate, or the circle's decision value, which
// stays within a few radii) is far inside int32_t.
static_assert(KX_CIRCLE_RADIUS_LIMIT < (INT32_MAX - KX_CANVAS_CENTRE_Y) / 8);

// A value beyond the limit is drawn as the limit, and said so once, so that
// a caller's mistake is visible without millions of pixel lines.
int32_t clampToLimit(const char *what, int32_t value, int32_t low, int32_t high)
{
    const int32_t clamped = std::clamp(value, low, high);
    if (clamped != value)
        KX_LOG(KX_LOG_WARN, "%s %d out of range, drawn as %d\n", what, value, clamped);
    return clamped;
}

// The eight points that one step of the circle yields, one in each octant,
// in the order in which they are plotted.
void DrawCirclePoints(int32_t x, int32_t y)
{
    constexpr int32_t cx = KX_CANVAS_CENTRE_X;
    constexpr int32_t cy = KX_CANVAS_CENTRE_Y;
    DrawPixel(cx + x, cy + y);
    DrawPixel(cx + y, cy + x);
    DrawPixel(cx - x, cy + y);
    DrawPixel(cx - y, cy + x);
    DrawPixel(cx - x, cy - y);
    DrawPixel(cx - y, cy - x);
    DrawPixel(cx + x, cy - y);
    DrawPixel(cx + y, cy - x);
}

// Bresenham's line, one pixel at a time from the first end to the second,
// both included. The coordinates only ever move towards the second end, and
// the error terms are 64-bit, so no end point can overflow anything.
void DrawLine(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
    const int64_t dx = std::llabs(int64_t{x1} - x0);
    const int64_t dy = -std::llabs(int64_t{y1} - y0);
    const int32_t sx = x0 < x1 ? 1 : -1;
    const int32_t sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
        DrawPixel(x0, y0);
        if (x0 == x1 && y0 == y1)
            return;
        const int64_t e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

} // namespace

void DrawPixel(int32_t x, int32_t y)
{
    // As unsigned numbers a negative coordinate is huge, so one comparison
    // each rejects both sides.
    const auto ux = static_cast<uint32_t>(x);
    const auto uy = static_cast<uint32_t>(y);
    if (ux >= static_cast<uint32_t>(KX_CANVAS_COLUMNS) ||
        uy >= static_cast<uint32_t>(KX_CANVAS_ROWS)) {
        KX_LOG(KX_LOG_WARN, "Pixel out of range (%d, %d)\n", x, y);
        return;
    }
    g_canvas[uy * KX_CANVAS_ROW_BYTES + ux / 8] |= static_cast<uint8_t>(0x80u >> (ux % 8));
}

// The midpoint circle. Its decision value grows by 2 * (y - x) + 2 when x
// steps inwards, one more than the textbook rule. That is deliberate: the
// rings' exact pixels depend on it, and the canvas must come out pixel for
// pixel as the camera draws it.
void DrawCircle(int32_t radius)
{
    if (radius < 0)
        return;
    radius = clampToLimit("Circle radius", radius, 0, KX_CIRCLE_RADIUS_LIMIT);
    int32_t x = radius;
    int32_t y = 0;
    int32_t d = 1 - radius;
    do {
        DrawCirclePoints(x, y);
        const bool stepInwards = d >= 0;
        ++y;
        if (stepInwards) {
            --x;
            d += 2 * (y - x) + 2;
        } else {
            d += 2 * y + 1;
        }
    } while (y <= x);
}

void DrawTarget(int32_t size)
{
    size = clampToLimit("Target size", size, -KX_TARGET_SIZE_LIMIT, KX_TARGET_SIZE_LIMIT);
    memset(g_canvas, 0, sizeof g_canvas);
    for (int32_t offset : kRingOffsets)
        DrawCircle(size + offset);
    const int32_t arm = size + kArmOffset;
    DrawLine(KX_CANVAS_CENTRE_X, KX_CANVAS_CENTRE_Y + arm,
             KX_CANVAS_CENTRE_X, KX_CANVAS_CENTRE_Y - arm);
    DrawLine(KX_CANVAS_CENTRE_X - arm, KX_CANVAS_CENTRE_Y,
             KX_CANVAS_CENTRE_X + arm, KX_CANVAS_CENTRE_Y);
    g_canvasChanged = 1;
}

// ------------------------------------------------------------------------
// Commands and their handlers
// ------------------------------------------------------------------------

uint8_t g_caMode = 0;

const char g_caCodes[2 * KX_CA_COMMANDS + 1] = "DBcmcvlcpvsesttmumvsshsxccCMPVTMUMSHPWOOITHRSU??";

const CAcommand_t g_caCommandTable[KX_CA_COMMANDS + 1] = {
    {8, 0, CAsetDB},       {0, 0, CAgetCM}, {0, 0, CAgetCV}, {1, 1, CAgetLC},
    {0, 0, CAgetPV},       {0, 0, CAgetSE}, {0, 0, CAgetST}, {0, 0, CAgetTM},
    {0, 0, CAgetUM},       {0, 0, CAgetVS}, {0, 0, CAgetSH}, {0, 0, CAgetSX},
    {0, 0, CAgetCC},       {1, 1, CAsetCM}, {1, 1, CAsetPV}, {7, 7, CAsetTM},
    {1, 1, CAsetUM},       {1, 1, CAsetSH}, {1, 1, CAsetPW}, {1, 1, CAsetOO},
    {1, 1, CAsetIT},       {0, 0, CAsetHR}, {0, 0, CAsetSU}, {KXMSG_MAX, 0, CAgetDefault},
    {0, 0, nullptr},
};

namespace {

// Writes a response value by value, each at the position reached so far
// and with the room that is left, so that nothing lands beyond size.
struct Response {
    uint8_t *buf;
    unsigned size;
    unsigned len = 0;

    char *at() const { return reinterpret_cast<char *>(buf) + (len < size ? len : size); }
    unsigned room() const { return len < size ? size - len : 0; }
    void put(int count, uint32_t value)
    {
        len += static_cast<unsigned>(snputbytes(at(), room(), count, value));
    }
    void byte(uint32_t value) { put(1, value); }
    void word(uint32_t value) { put(2, value); }
    void zeros(int count)
    {
        for (int i = 0; i < count; ++i)
            byte(0);
    }
    void mode() { byte(g_caMode); }
    // A length byte and the characters, without their terminator.
    void string(const char *text)
    {
        int n = snprintf(at(), room(), "%c%s", static_cast<int>(strlen(text)), text);
        len += n > 0 ? static_cast<unsigned>(n) : 0;
    }
    int length() const { return static_cast<int>(len < size ? len : size); }
};

// The four 16-bit values that "se" and "sx" report.
void putTimings(Response &r)
{
    for (uint32_t value : {0x0001u, 0x0002u, 0x0020u, 0x0007u})
        r.word(value);
}

int refuse(uint8_t *resp, unsigned size)
{
    Response r{resp, size};
    r.byte(KX_CA_REFUSED);
    return r.length();
}

// Queries that report a status and one constant byte.
int reportByte(uint8_t *resp, unsigned size, uint8_t value)
{
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.byte(value);
    return r.length();
}

// Settings that are accepted and forgotten.
int accept(uint8_t *resp, unsigned size)
{
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    return r.length();
}

// Little-endian word from argument bytes; bytes beyond the argument count
// as zero.
uint32_t argWord(const uint8_t *arg, unsigned argLen, unsigned from)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < 4 && from + i < argLen; ++i)
        value |= static_cast<uint32_t>(arg[from + i]) << (8 * i);
    return value;
}

} // namespace

int CAcommandIndex(const uint8_t *code)
{
    // The key stops at a zero byte. A match at an odd position straddles
    // two codes and is no code at all: look further.
    const char key[3] = {static_cast<char>(code[0]), static_cast<char>(code[1]), '\0'};
    for (const char *from = g_caCodes; const char *hit = strstr(from, key); from = hit + 1) {
        ptrdiff_t pos = hit - g_caCodes;
        if (pos % 2 == 0)
            return static_cast<int>(pos / 2);
    }
    return KX_CA_DEFAULT;
}

int CAdispatch(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned argLen, int index)
{
    if (index < 0 || index > KX_CA_DEFAULT)
        return refuse(resp, size);
    const CAcommand_t &row = g_caCommandTable[index];
    if (argLen < row.minArgLen || argLen > row.maxArgLen)
        return refuse(resp, size);
    return row.handler(resp, size, arg, argLen, index);
}

int CAsetDB(uint8_t *, unsigned, const uint8_t *arg, unsigned argLen, int)
{
    uint32_t level = argWord(arg, argLen, 0);
    uint32_t debug = argWord(arg, argLen, 4);
    KX_LOG(KX_LOG_WARN, "%s: g_debug_level = 0x%08x -> 0x%08x\n", __func__, g_debug_level, level);
    g_debug_level = level;
    // Judged by the new level: its bits choose this line's targets too.
    KX_LOG(KX_LOG_WARN, "%s: g_debug       = 0x%08x -> 0x%08x\n", __func__, g_debug, debug);
    g_debug = debug;
    return -1;
}

int CAgetCM(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    return r.length();
}

int CAgetCV(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.byte(0x02);
    r.byte(0x10);
    r.string("v01.01.01");
    r.string("LINDEN_VALE");
    return r.length();
}

int CAgetLC(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.byte(arg[0]);
    unsigned n = std::min<unsigned>(r.room(), KX_CANVAS_SIZE);
    memcpy(r.at(), g_canvas, n);
    r.len += n;
    return r.length();
}

int CAgetPV(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, 0x00);
}

int CAgetSE(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    r.zeros(19);
    putTimings(r);
    r.zeros(2);
    return r.length();
}

int CAgetST(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    r.zeros(3);
    return r.length();
}

int CAgetTM(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return refuse(resp, size);
}

int CAgetUM(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, 0x01);
}

int CAgetVS(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, 0x02);
}

int CAgetSH(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, 0x00);
}

int CAgetSX(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    r.zeros(3);
    r.byte(0x05);
    r.zeros(12);
    r.byte(0x80);
    r.byte(0x0A);
    r.byte(0x01);
    putTimings(r);
    r.zeros(27);
    return r.length();
}

int CAgetCC(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.zeros(31);
    return r.length();
}

int CAsetCM(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s: 0x%x\n", __func__, arg[0]);
    g_caMode = arg[0];
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    DrawTarget(g_caMode);
    return r.length();
}

int CAsetPV(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, 0x01);
}

int CAsetTM(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return accept(resp, size);
}

int CAsetUM(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return reportByte(resp, size, arg[0]);
}

int CAsetSH(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s: 0x%x\n", __func__, arg[0]);
    Response r{resp, size};
    r.byte(KX_CA_ACCEPTED);
    r.mode();
    return r.length();
}

// Power: 2 steps the mode 0, 1, 2, 3, 4, 0, ... and redraws; 0 makes the
// camera announce that it is ready to suspend, before this response.
int CAsetPW(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    if (arg[0] == 2) {
        g_caMode = g_caMode <= 3 ? static_cast<uint8_t>(g_caMode + 1) : 0;
        DrawTarget(g_caMode);
    } else if (arg[0] == 0) {
        CAsendSU();
    }
    return accept(resp, size);
}

int CAsetOO(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return accept(resp, size);
}

// Timeouts: a selector of three bits for TCP (low nibble) and one for UDP
// (high nibble); 4 means "unchanged", else 2 long, else 1 short.
int CAsetIT(uint8_t *resp, unsigned size, const uint8_t *arg, unsigned, int)
{
    unsigned tcp = arg[0] & 0x07;
    unsigned udp = (arg[0] >> 4) & 0x07;
    if (!(tcp & 4) && (tcp & 2))
        KX_LOG(KX_LOG_TRACE, "%s: TCP long timeout\n", __func__);
    else if (!(tcp & 4) && (tcp & 1))
        KX_LOG(KX_LOG_TRACE, "%s: TCP short timeout\n", __func__);
    if (!(udp & 4) && (udp & 2))
        KX_LOG(KX_LOG_TRACE, "%s: UDP long timeout\n", __func__);
    else if (!(udp & 4) && (udp & 1))
        KX_LOG(KX_LOG_TRACE, "%s: UDP short timeout\n", __func__);
    return accept(resp, size);
}

int CAsetHR(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s: RIVEDE says HELLO, I am ready.\n", __func__);
    return accept(resp, size);
}

int CAsetSU(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s: RIVEDE says ready to suspend.\n", __func__);
    return accept(resp, size);
}

int CAgetDefault(uint8_t *resp, unsigned size, const uint8_t *, unsigned, int)
{
    KX_LOG(KX_LOG_TRACE, "%s:\n", __func__);
    return refuse(resp, size);
}

// ------------------------------------------------------------------------
// Commands the camera sends on its own
// ------------------------------------------------------------------------

namespace {

// A type-10 command from the camera, in the layout of every command:
// code, arguments, source, destination, end. Its checks are reported as
// the sending function's (caller).
int sendOwnCommand(const char *code, const uint8_t *arg, unsigned argLen, const char *source,
                   const char *caller)
{
    uint8_t obuf[KXMSG_MAX];
    int len = sntlv_command(obuf, sizeof obuf, TLV_MSG_TYPE_CMD, code, arg, argLen, source,
                            KXMBOXtoKXNET);
    KX_ASSERT_AS(0 == tlv_validate(obuf), KX_MODULE, caller, "0 == tlv_validate(obuf)");
    kxTrace(KX_TRACE_FROM_RT, obuf, len);
    if (g_caOutbox != nullptr)
        return g_caOutbox(obuf, len);
    return mailToKxnet(obuf, len, KX_MODULE, caller);
}

} // namespace

CAoutbox *g_caOutbox = nullptr;

int CAsendLC(void)
{
    // The answer to "LC" comes back through the relay's mailbox.
    return sendOwnCommand("LC", g_canvas, KX_CANVAS_SIZE, KXMBOXtoRTOS, __func__);
}

int CAsendSU(void)
{
    return sendOwnCommand("SU", nullptr, 0, KXMBOXtoCAMERA, __func__);
}

void CAsendPendingLC(void)
{
    if (g_canvasChanged == 0)
        return;
    g_canvasChanged = 0;
    CAsendLC();
}
