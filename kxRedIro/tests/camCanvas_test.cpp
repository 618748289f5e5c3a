// The simulated camera's pixel canvas: the pixel layout, the target
// pictures with their clipping and log lines, and redrawing.
#include "camCommand.h"
#include "kxLog.h"
#include "kxtest.h"
#include "kxwire.h"

#include <bit>
#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

namespace {

using Point = std::pair<int32_t, int32_t>;

class CanvasTest : public ::testing::Test {
protected:
    // A private /dev/log: the large targets log thousands of lines.
    void SetUp() override { kxtest::syslogDrain(0); }
    void TearDown() override { g_debug_level = KX_DEBUG_LEVEL_INIT; }
};

std::string bytes(int from = 0, int count = KX_CANVAS_SIZE)
{
    return std::string(reinterpret_cast<const char *>(g_canvas) + from, count);
}

int countPixels()
{
    int count = 0;
    for (uint8_t byte : g_canvas)
        count += std::popcount(byte);
    return count;
}

// The points of the "Pixel out of range" lines that body logs at level 16
// (the lowest above the threshold 15) on standard output; any other line
// fails.
std::vector<Point> clipped(const std::function<void()> &body)
{
    g_debug_level = KX_DBG_STDOUT | 16u;
    kxtest::FdCapture capture(1);
    body();
    std::string text = capture.stop();
    static const std::regex pixel(
        R"(^\[       DrawPixel:[ \d]{3}\d\] Pixel out of range \((-?\d+), (-?\d+)\)$)");
    std::vector<Point> points;
    for (const std::string &line : kxtest::splitLines(text)) {
        std::smatch m;
        std::string body = kxtest::stripStamp(line);
        if (std::regex_match(body, m, pixel))
            points.emplace_back(std::stoi(m[1]), std::stoi(m[2]));
        else
            ADD_FAILURE() << "unexpected log line: " << line;
    }
    return points;
}

// A pixel is the bit 0x80 >> (x % 8) of byte y * 8 + x / 8; the rows of
// the targets below pin the rest of the layout.
TEST_F(CanvasTest, PixelsAreBitsLeftmostFirstAndOutsideOnesAreLoggedSigned)
{
    memset(g_canvas, 0, sizeof g_canvas);
    DrawPixel(59, 74);
    DrawPixel(59, 74); // twice stays drawn
    EXPECT_EQ(bytes(), std::string(599, '\0') + "\x10");
    const std::vector<Point> outside = {{60, 0}, {0, 75}, {-1, 0}, {0, -1}, {INT32_MIN, INT32_MAX}};
    EXPECT_EQ(clipped([&] {
                  for (const Point &p : outside)
                      DrawPixel(p.first, p.second);
              }),
              outside);
    EXPECT_EQ(bytes(), std::string(599, '\0') + "\x10");
}

// Rings of radius size + 9, + 10 and + 11 around (30, 40) and a cross
// whose arms reach size + 10 from it, drawn on a cleared canvas.
TEST_F(CanvasTest, TargetsOfTheModeSizesLieInsideAndLogNothing)
{
    const std::pair<int32_t, int> targets[] = {{0, 201}, {1, 221}, {2, 241}, {3, 265}, {4, 285},
                                               {-10, 5}}; // -10: the centre and its neighbours
    for (const auto &[size, pixels] : targets) {
        memset(g_canvas, 0xFF, sizeof g_canvas); // nothing of before remains
        g_canvasChanged = 0;
        EXPECT_EQ(clipped([size] { DrawTarget(size); }), std::vector<Point>{}) << size;
        EXPECT_EQ(countPixels(), pixels) << size;
        EXPECT_EQ(g_canvasChanged, 1u);
    }
    DrawTarget(0);
    EXPECT_EQ(bytes(0, 29 * 8), std::string(29 * 8, '\0'));
    EXPECT_EQ(bytes(52 * 8, 23 * 8), std::string(23 * 8, '\0'));
    for (int y : {29, 51})
        EXPECT_EQ(kxtest::toHex(bytes(y * 8, 8)), "00 00 00 1F C0 00 00 00") << y;
    EXPECT_EQ(kxtest::toHex(bytes(40 * 8, 8)), "00 00 1F FF FF C0 00 00");
    g_canvasChanged = 0;
    DrawCircle(5);
    EXPECT_EQ(g_canvasChanged, 0u) << "only a target marks the canvas changed";
}

// Each outside pixel is logged where it is drawn: rings first, then the
// vertical arm downwards and the horizontal one left to right.
TEST_F(CanvasTest, LargeTargetsKeepWhatLiesInsideAndLogTheRest)
{
    auto points = clipped([] { DrawTarget(19); });
    ASSERT_EQ(points.size(), 12u);
    EXPECT_EQ(points[0], Point(60, 40));
    for (const Point &p : points)
        EXPECT_EQ(p.first, 60) << "only the outer ring, radius 30, reaches column 60";

    points = clipped([] { DrawTarget(200); });
    ASSERT_GT(points.size(), 4000u);
    EXPECT_EQ(points.front(), Point(239, 40)) << "the first ring, radius 209";
    EXPECT_EQ(points.back(), Point(240, 40));
    std::string cross;
    for (int y = 0; y < KX_CANVAS_ROWS; ++y)
        cross += kxtest::hex(y == 40 ? "FF FF FF FF FF FF FF F0" : "00 00 00 02 00 00 00 00");
    EXPECT_EQ(bytes(), cross);

    points = clipped([] { DrawCircle(-1); DrawCircle(100); });
    const std::vector<Point> octants = {{130, 40}, {30, 140}, {-70, 40}, {30, 140},
                                        {-70, 40}, {30, -60}, {130, 40}, {30, -60}};
    ASSERT_GE(points.size(), 8u);
    EXPECT_EQ(std::vector<Point>(points.begin(), points.begin() + 8), octants);
}

} // namespace
