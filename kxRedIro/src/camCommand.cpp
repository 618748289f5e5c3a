// The simulated camera: its state, its command handlers and its pixel
// canvas.
#include "camCommand.h"

#include "kxLog.h"

#include <algorithm>
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
