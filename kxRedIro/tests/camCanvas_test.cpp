// The simulated camera's pixel canvas: the pixel layout, the target
// pictures of the mode sizes, clipping at the edges with its log lines, and
// redrawing.
#include "camCommand.h"
#include "kxLog.h"
#include "kxtest.h"

#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using Row = std::array<uint8_t, 8>;
using Point = std::pair<int32_t, int32_t>;

// Level 16 is the lowest that lets a threshold-15 line through; bit 30
// sends it to standard output.
constexpr uint32_t kLogAboveWarn = 0x40000000u | 16u;
constexpr int kColumns = 60;
constexpr int kRows = 75;

// Worked out by hand: column 30 is bit 0x02 of byte 3; columns 56-59 are
// the high nibble of byte 7.
constexpr Row kColumn30Only = {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
constexpr Row kFullRow = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0};

class CanvasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A private /dev/log, so that the thousands of lines of the large
        // targets never reach the host's syslog.
        kxtest::syslogDrain(0);
        g_debug_level = 0;
        g_canvasChanged = 0;
        memset(g_canvas, 0, sizeof g_canvas);
    }
};

int countPixels()
{
    int count = 0;
    for (uint8_t byte : g_canvas)
        count += std::popcount(byte);
    return count;
}

Row rowAt(int y)
{
    Row row{};
    memcpy(row.data(), g_canvas + y * 8, row.size());
    return row;
}

bool isSet(int x, int y)
{
    return (g_canvas[y * 8 + x / 8] & (0x80 >> (x % 8))) != 0;
}

std::vector<uint8_t> snapshot()
{
    return std::vector<uint8_t>(g_canvas, g_canvas + sizeof g_canvas);
}

// Standard-output lines that body logs at the given debug word.
std::vector<std::string> stdoutLines(uint32_t level, const std::function<void()> &body)
{
    g_debug_level = level;
    kxtest::FdCapture capture(1);
    body();
    std::string text = capture.stop();
    g_debug_level = 0;
    return kxtest::splitLines(text);
}

// The coordinates of "Pixel out of range" lines; any other line fails.
std::vector<Point> outOfRangePoints(const std::vector<std::string> &lines)
{
    static const std::regex pixel(
        R"(^\[       DrawPixel:[ \d]{3}\d\] Pixel out of range \((-?\d+), (-?\d+)\)$)");
    std::vector<Point> points;
    for (const std::string &line : lines) {
        std::smatch m;
        std::string body = kxtest::stripStamp(line);
        if (!std::regex_match(body, m, pixel))
            ADD_FAILURE() << "unexpected log line: " << line;
        else
            points.emplace_back(std::stoi(m[1]), std::stoi(m[2]));
    }
    return points;
}

void expectOnlyTheFullCross()
{
    EXPECT_EQ(countPixels(), kRows + kColumns - 1);
    for (int y = 0; y < kRows; ++y)
        EXPECT_EQ(rowAt(y), y == 40 ? kFullRow : kColumn30Only) << "row " << y;
}

TEST_F(CanvasTest, PixelsAreBitsLeftmostFirstAndOutsideOnesAreLoggedSigned)
{
    for (int y = 0; y < kRows; ++y) {
        for (int x = 0; x < kColumns; ++x) {
            memset(g_canvas, 0, sizeof g_canvas);
            DrawPixel(x, y);
            DrawPixel(x, y); // twice stays drawn
            ASSERT_EQ(countPixels(), 1) << x << ", " << y;
            ASSERT_EQ(g_canvas[y * 8 + x / 8], 0x80 >> (x % 8)) << x << ", " << y;
        }
    }
    EXPECT_EQ(g_canvas[599], 0x10) << "(59, 74)";
    DrawCircle(5);
    EXPECT_EQ(g_canvasChanged, 0u) << "only a target marks the canvas changed";

    const auto before = snapshot();
    const std::vector<Point> asked = {
        {60, 0}, {0, 75}, {-1, 0}, {0, -1}, {INT32_MIN, INT32_MAX}, {INT32_MAX, 0}};
    auto lines = stdoutLines(kLogAboveWarn, [&] {
        for (const Point &p : asked)
            DrawPixel(p.first, p.second);
    });
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(outOfRangePoints(lines), asked);
    EXPECT_TRUE(stdoutLines(0x40000000u | 15u, [] { DrawPixel(60, 40); }).empty());
}

TEST_F(CanvasTest, CirclesAroundTheCentre)
{
    EXPECT_TRUE(stdoutLines(kLogAboveWarn, [] { DrawCircle(-1); DrawCircle(INT32_MIN); }).empty());
    EXPECT_EQ(countPixels(), 0);
    // Radius 100 lies wholly outside, so every plotted point is logged.
    auto points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawCircle(100); }));
    ASSERT_GE(points.size(), 8u);
    const std::vector<Point> first = {{130, 40}, {30, 140}, {-70, 40}, {30, 140},
                                      {-70, 40}, {30, -60}, {130, 40}, {30, -60}};
    EXPECT_EQ(std::vector<Point>(points.begin(), points.begin() + 8), first);
    EXPECT_EQ(points.size() % 8, 0u);
}

TEST_F(CanvasTest, ModeSizesSetTheirPixelsAndLogNothing)
{
    const int expected[] = {201, 221, 241, 265, 285};
    for (int32_t size = 0; size < 5; ++size) {
        g_canvasChanged = 0;
        EXPECT_TRUE(stdoutLines(kLogAboveWarn, [size] { DrawTarget(size); }).empty()) << size;
        EXPECT_EQ(countPixels(), expected[size]) << size;
        EXPECT_EQ(g_canvasChanged, 1u);
    }
    DrawTarget(0);
    const Row ringTop = {0x00, 0x00, 0x00, 0x1F, 0xC0, 0x00, 0x00, 0x00};
    const Row centre = {0x00, 0x00, 0x1F, 0xFF, 0xFF, 0xC0, 0x00, 0x00};
    for (int y = 0; y < kRows; ++y) {
        const bool blank = y <= 28 || y >= 52;
        if (blank || y == 29 || y == 40 || y == 51) {
            EXPECT_EQ(rowAt(y), blank ? Row{} : y == 40 ? centre : ringTop) << "row " << y;
        }
    }
    // Size -10: each line is the centre; rings of radius -1, 0 (the
    // centre) and 1 (its four neighbours).
    DrawTarget(-10);
    EXPECT_EQ(countPixels(), 5);
    EXPECT_TRUE(isSet(30, 40) && isSet(31, 40) && isSet(29, 40) && isSet(30, 41) && isSet(30, 39));
}

TEST_F(CanvasTest, LargeTargetsKeepWhatLiesInside)
{
    // The outer ring of size 19, radius 30, reaches column 60 at rows 10-70.
    auto points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawTarget(19); }));
    ASSERT_EQ(points.size(), 12u);
    EXPECT_EQ(points[0], Point(60, 40));
    for (const Point &p : points)
        EXPECT_EQ(p.first, 60) << p.second;

    // Size 200: the rings lie outside; the cross crosses the whole canvas.
    // Its outside pixels come last, in drawing order: column 30 from row 250
    // up to row -170, then row 40 from column -180 to column 240.
    points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawTarget(200); }));
    expectOnlyTheFullCross();
    std::vector<Point> cross;
    for (int y = 250; y >= -170; --y)
        if (y < 0 || y >= kRows)
            cross.emplace_back(30, y);
    for (int x = -180; x <= 240; ++x)
        if (x < 0 || x >= kColumns)
            cross.emplace_back(x, 40);
    ASSERT_GT(points.size(), 4000u);
    EXPECT_EQ(std::vector<Point>(points.end() - cross.size(), points.end()), cross);
    EXPECT_EQ(points[0], Point(239, 40)) << "the first ring, radius 209";

    // Sizes beyond the drawable ones say so once, and never overflow.
    auto lines = stdoutLines(kLogAboveWarn, [] { DrawTarget(INT32_MAX); });
    EXPECT_NE(lines.at(0).find("Target size 2147483647 out of range"), std::string::npos);
    for (int32_t size : {43, 255, INT32_MAX, -50, INT32_MIN}) {
        DrawTarget(size);
        expectOnlyTheFullCross();
    }
}

TEST_F(CanvasTest, RedrawingStartsFromAClearedCanvas)
{
    DrawTarget(0);
    const auto sizeZero = snapshot();
    for (int32_t earlier : {0, 4, 200}) {
        DrawTarget(earlier);
        DrawTarget(0);
        EXPECT_EQ(snapshot(), sizeZero) << earlier;
    }
    memset(g_canvas, 0xFF, sizeof g_canvas);
    DrawTarget(0);
    EXPECT_EQ(snapshot(), sizeZero);
}

} // namespace
