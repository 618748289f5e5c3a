// The simulated camera's pixel canvas: the pixel layout, the target
// pictures of the mode sizes, clipping at the edges with its log lines, and
// redrawing.
#include "camCommand.h"
#include "kxLog.h"
#include "kxtest.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
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
constexpr uint32_t kLogAtWarn = 0x40000000u | 15u;

constexpr int kColumns = 60;
constexpr int kRows = 75;

// Rows that hold no pixel but column 30, and all 60 pixels: worked out by
// hand (column 30 is bit 1 of byte 3; columns 56-59 are the high nibble of
// byte 7).
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

// A row read as one big-endian 64-bit number: pixel x is bit 63 - x.
uint64_t rowBits(int y)
{
    uint64_t bits = 0;
    for (uint8_t byte : rowAt(y))
        bits = bits << 8 | byte;
    return bits;
}

bool isSet(int x, int y)
{
    return (rowBits(y) >> (63 - x) & 1u) != 0;
}

std::array<uint8_t, 600> snapshot()
{
    std::array<uint8_t, 600> copy{};
    memcpy(copy.data(), g_canvas, copy.size());
    return copy;
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
        if (!std::regex_match(body, m, pixel)) {
            ADD_FAILURE() << "unexpected log line: " << line;
            continue;
        }
        points.emplace_back(std::stoi(m[1]), std::stoi(m[2]));
    }
    return points;
}

bool inside(const Point &p)
{
    return p.first >= 0 && p.first < kColumns && p.second >= 0 && p.second < kRows;
}

void expectOnlyTheFullCross()
{
    EXPECT_EQ(countPixels(), kRows + kColumns - 1);
    for (int y = 0; y < kRows; ++y)
        EXPECT_EQ(rowAt(y), y == 40 ? kFullRow : kColumn30Only) << "row " << y;
}

// ---------------------------------------------------------------------------
// Pixels
// ---------------------------------------------------------------------------

TEST_F(CanvasTest, EachPixelIsItsOwnBitLeftmostFirst)
{
    for (int y = 0; y < kRows; ++y) {
        for (int x = 0; x < kColumns; ++x) {
            memset(g_canvas, 0, sizeof g_canvas);
            DrawPixel(x, y);
            ASSERT_EQ(countPixels(), 1) << x << ", " << y;
            ASSERT_EQ(rowBits(y), uint64_t{1} << (63 - x)) << x << ", " << y;
        }
    }
    memset(g_canvas, 0, sizeof g_canvas);
    DrawPixel(59, 74);
    EXPECT_EQ(g_canvas[599], 0x10);
    DrawPixel(0, 0);
    EXPECT_EQ(g_canvas[0], 0x80);
    EXPECT_EQ(countPixels(), 2);
}

TEST_F(CanvasTest, EveryPixelDrawnFillsAllButTheSpareBitsAndTwiceStaysDrawn)
{
    for (int pass = 0; pass < 2; ++pass)
        for (int y = 0; y < kRows; ++y)
            for (int x = 0; x < kColumns; ++x)
                DrawPixel(x, y);
    EXPECT_EQ(countPixels(), kColumns * kRows);
    for (int y = 0; y < kRows; ++y)
        EXPECT_EQ(rowAt(y), kFullRow) << "row " << y;
    EXPECT_EQ(g_canvasChanged, 0u);
}

TEST_F(CanvasTest, OutsidePixelsChangeNothingAndAreLoggedSigned)
{
    DrawTarget(0);
    const auto before = snapshot();
    const std::vector<Point> asked = {
        {60, 0}, {0, 75}, {-1, 0}, {0, -1}, {INT32_MIN, INT32_MAX}, {INT32_MAX, 0}};
    auto lines = stdoutLines(kLogAboveWarn, [&] {
        for (const Point &p : asked)
            DrawPixel(p.first, p.second);
    });
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(outOfRangePoints(lines), asked);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[2].find("Pixel out of range (-1, 0)"), std::string::npos);
}

TEST_F(CanvasTest, OutOfRangeLineHasTheLogFormatAndNeedsLevelAbove15)
{
    auto lines = stdoutLines(kLogAboveWarn, [] { DrawPixel(60, 40); });
    ASSERT_EQ(lines.size(), 1u);
    static const std::regex full(R"(^[A-Z][a-z]{2}\d\d \d\d:\d\d:\d\d )"
                                 R"(\[       DrawPixel:[ \d]{3}\d\] Pixel out of range \(60, 40\)$)");
    EXPECT_TRUE(std::regex_match(lines[0], full)) << lines[0];

    EXPECT_TRUE(stdoutLines(kLogAtWarn, [] { DrawPixel(60, 40); }).empty());
    EXPECT_TRUE(stdoutLines(0x40000000u | 0xFFu, [] { DrawPixel(0, 0); }).empty());
    EXPECT_EQ(countPixels(), 1);
}

// ---------------------------------------------------------------------------
// Circles
// ---------------------------------------------------------------------------

TEST_F(CanvasTest, TinyAndNegativeCircles)
{
    auto lines = stdoutLines(kLogAboveWarn, [] {
        DrawCircle(-1);
        DrawCircle(INT32_MIN);
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(countPixels(), 0);

    DrawCircle(0);
    EXPECT_EQ(countPixels(), 1);
    EXPECT_TRUE(isSet(30, 40));

    // Radius 1: one step, x = 1 and y = 0, gives the four neighbours.
    memset(g_canvas, 0, sizeof g_canvas);
    DrawCircle(1);
    EXPECT_EQ(countPixels(), 4);
    EXPECT_TRUE(isSet(31, 40) && isSet(29, 40) && isSet(30, 41) && isSet(30, 39));
    EXPECT_EQ(g_canvasChanged, 0u);
}

TEST_F(CanvasTest, CirclePlotsItsEightPointsInOrder)
{
    // Radius 100 lies wholly outside, so every plotted point is logged.
    auto points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawCircle(100); }));
    ASSERT_GE(points.size(), 8u);
    const std::vector<Point> first = {{130, 40}, {30, 140}, {-70, 40}, {30, 140},
                                      {-70, 40}, {30, -60}, {130, 40}, {30, -60}};
    EXPECT_EQ(std::vector<Point>(points.begin(), points.begin() + 8), first);
    EXPECT_EQ(points.size() % 8, 0u);
    EXPECT_EQ(countPixels(), 0);
}

// ---------------------------------------------------------------------------
// Targets of the mode sizes
// ---------------------------------------------------------------------------

TEST_F(CanvasTest, ModeSizesSetTheirPixelCountsAndLogNothing)
{
    const std::array<int, 5> expected = {201, 221, 241, 265, 285};
    for (int32_t size = 0; size < 5; ++size) {
        SCOPED_TRACE(size);
        g_canvasChanged = 0;
        auto lines = stdoutLines(kLogAboveWarn, [size] { DrawTarget(size); });
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(countPixels(), expected[size]);
        EXPECT_EQ(g_canvasChanged, 1u);
    }
}

TEST_F(CanvasTest, SizeZeroRows)
{
    DrawTarget(0);
    // Column 30 is bit 0x02 of byte 3, so the outer ring's top and bottom
    // (columns 27-33) are 1F C0; row 40 runs from column 19 to 41.
    const Row ringTop = {0x00, 0x00, 0x00, 0x1F, 0xC0, 0x00, 0x00, 0x00};
    const Row centre = {0x00, 0x00, 0x1F, 0xFF, 0xFF, 0xC0, 0x00, 0x00};
    const Row empty{};
    for (int y = 0; y <= 28; ++y)
        EXPECT_EQ(rowAt(y), empty) << "row " << y;
    for (int y = 52; y < kRows; ++y)
        EXPECT_EQ(rowAt(y), empty) << "row " << y;
    EXPECT_EQ(rowAt(29), ringTop);
    EXPECT_EQ(rowAt(40), centre);
    EXPECT_EQ(rowAt(51), ringTop);
}

// Up to size 18 the whole picture stays within 29 pixels of the centre, so
// it must be symmetric about column 30, about row 40 and about the diagonal
// through the centre; the cross reaches exactly size + 10 along each axis.
TEST_F(CanvasTest, SmallTargetsAreSymmetricWithAFullCross)
{
    for (int32_t size = -10; size <= 18; ++size) {
        SCOPED_TRACE(size);
        DrawTarget(size);
        int inBox = 0;
        for (int y = 11; y <= 69; ++y) {
            for (int x = 1; x <= 59; ++x) {
                const bool set = isSet(x, y);
                inBox += set;
                ASSERT_EQ(set, isSet(60 - x, y)) << x << ", " << y;
                ASSERT_EQ(set, isSet(x, 80 - y)) << x << ", " << y;
                ASSERT_EQ(set, isSet(y - 10, x + 10)) << x << ", " << y;
            }
        }
        EXPECT_EQ(inBox, countPixels());
        const int arm = size + 10;
        for (int d = -arm; d <= arm; ++d)
            EXPECT_TRUE(isSet(30 + d, 40) && isSet(30, 40 + d)) << d;
    }
}

// A midpoint circle keeps every pixel within half a pixel of its ring; the
// pixels off the cross must all belong to one of the three rings.
TEST_F(CanvasTest, SmallTargetsRingPixelsLieOnTheRings)
{
    for (int32_t size = 0; size <= 18; ++size) {
        SCOPED_TRACE(size);
        DrawTarget(size);
        for (int y = 0; y < kRows; ++y) {
            for (int x = 0; x < kColumns; ++x) {
                if (!isSet(x, y) || x == 30 || y == 40)
                    continue;
                const double r = std::hypot(x - 30, y - 40);
                EXPECT_GE(r, size + 9 - 0.5) << x << ", " << y;
                EXPECT_LE(r, size + 11 + 0.5) << x << ", " << y;
            }
        }
    }
}

TEST_F(CanvasTest, SizeMinusTenIsTheCentreAndTheUnitRing)
{
    DrawTarget(-10);
    EXPECT_EQ(countPixels(), 5);
    EXPECT_TRUE(isSet(30, 40));
    EXPECT_TRUE(isSet(31, 40) && isSet(29, 40) && isSet(30, 41) && isSet(30, 39));
}

// ---------------------------------------------------------------------------
// Targets that leave the canvas
// ---------------------------------------------------------------------------

TEST_F(CanvasTest, Size19LeavesTwelvePixelsOutsideAtColumn60)
{
    // The outer ring, radius 30, reaches column 60 but only rows 10-70.
    auto points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawTarget(19); }));
    ASSERT_EQ(points.size(), 12u);
    EXPECT_EQ(points[0], Point(60, 40));
    for (const Point &p : points)
        EXPECT_EQ(p.first, 60) << p.second;

    // Syslog gets the same lines, at priority debug, without a timestamp.
    kxtest::syslogDrain();
    g_debug_level = 16;
    DrawTarget(19);
    auto logged = kxtest::syslogDrain();
    ASSERT_EQ(logged.size(), 12u);
    EXPECT_EQ(logged[0].priority & 7, 7);
    EXPECT_EQ(logged[0].message.rfind("[       DrawPixel:", 0), 0u) << logged[0].message;
    EXPECT_NE(logged[0].message.find("] Pixel out of range (60, 40)"), std::string::npos);
}

// The outside pixels of the cross, in drawing order: column 30 from row 250
// up to row -170, then row 40 from column -180 to column 240.
std::vector<Point> crossOutsideSize200()
{
    std::vector<Point> points;
    for (int y = 250; y >= -170; --y)
        if (y < 0 || y >= kRows)
            points.emplace_back(30, y);
    for (int x = -180; x <= 240; ++x)
        if (x < 0 || x >= kColumns)
            points.emplace_back(x, 40);
    return points;
}

// Checks one ring's logged points: groups of eight from one step, y going
// up by one per step from 0, x stepping in by at most one, every point
// within half a pixel of the radius, and the last step the one at which y
// reaches x. Returns how many points the ring took.
size_t checkRing(const std::vector<Point> &points, size_t from, int32_t radius)
{
    int32_t lastX = radius;
    size_t at = from;
    for (int32_t y = 0; at + 8 <= points.size(); ++y, at += 8) {
        const int32_t x = points[at].first - 30;
        if (y > 0 && points[at].second == 40)
            break; // the next ring starts
        const std::vector<Point> expected = {
            {30 + x, 40 + y}, {30 + y, 40 + x}, {30 - x, 40 + y}, {30 - y, 40 + x},
            {30 - x, 40 - y}, {30 - y, 40 - x}, {30 + x, 40 - y}, {30 + y, 40 - x}};
        EXPECT_EQ(std::vector<Point>(points.begin() + at, points.begin() + at + 8), expected);
        EXPECT_TRUE(x == lastX || x == lastX - 1) << radius << ": " << x;
        EXPECT_NEAR(std::hypot(x, y), radius, 0.5);
        EXPECT_LE(y, x);
        lastX = x;
    }
    const int32_t lastY = static_cast<int32_t>((at - from) / 8) - 1;
    EXPECT_LE(lastX - lastY, 1) << "ring " << radius << " stopped early";
    return at - from;
}

TEST_F(CanvasTest, Size200KeepsOnlyTheCrossAndLogsEveryOutsidePixel)
{
    auto points = outOfRangePoints(stdoutLines(kLogAboveWarn, [] { DrawTarget(200); }));
    expectOnlyTheFullCross();
    EXPECT_GT(points.size(), 4000u);
    for (const Point &p : points)
        EXPECT_FALSE(inside(p)) << p.first << ", " << p.second;

    const auto cross = crossOutsideSize200();
    ASSERT_EQ(cross.size(), 176u + 170u + 180u + 181u);
    ASSERT_GT(points.size(), cross.size());
    const size_t ringPoints = points.size() - cross.size();
    EXPECT_EQ(std::vector<Point>(points.begin() + ringPoints, points.end()), cross);

    const std::vector<Point> rings(points.begin(), points.begin() + ringPoints);
    size_t at = 0;
    for (int32_t radius : {209, 210, 211}) {
        ASSERT_LT(at, rings.size());
        EXPECT_EQ(rings[at], Point(30 + radius, 40));
        at += checkRing(rings, at, radius);
    }
    EXPECT_EQ(at, rings.size());
}

// Huge sizes must not overflow anything. The canvas can only show the full
// cross for them, as it does for every size from 43 on and from -50 down.
TEST_F(CanvasTest, HugeSizesDrawTheFullCross)
{
    for (int32_t size : {43, 255, KX_TARGET_SIZE_LIMIT, KX_TARGET_SIZE_LIMIT + 1,
                         INT32_MAX - 50, INT32_MAX, -50, -KX_TARGET_SIZE_LIMIT - 1, INT32_MIN}) {
        SCOPED_TRACE(size);
        g_canvasChanged = 0;
        DrawTarget(size);
        expectOnlyTheFullCross();
        EXPECT_EQ(g_canvasChanged, 1u);
    }
    memset(g_canvas, 0, sizeof g_canvas);
    DrawCircle(INT32_MAX);
    DrawCircle(INT32_MAX - 40);
    EXPECT_EQ(countPixels(), 0);
}

TEST_F(CanvasTest, HugeSizeSaysItIsLimitedAndLogsOnlyOutsidePixels)
{
    auto lines = stdoutLines(kLogAboveWarn, [] { DrawTarget(INT32_MAX); });
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("Target size 2147483647 out of range"), std::string::npos)
        << lines[0];
    lines.erase(lines.begin());
    auto points = outOfRangePoints(lines);
    EXPECT_EQ(points.size(), lines.size());
    for (const Point &p : points)
        ASSERT_FALSE(inside(p)) << p.first << ", " << p.second;
}

// ---------------------------------------------------------------------------
// Redrawing
// ---------------------------------------------------------------------------

TEST_F(CanvasTest, RedrawingStartsFromAClearedCanvas)
{
    DrawTarget(0);
    const auto sizeZero = snapshot();
    DrawTarget(0);
    EXPECT_EQ(snapshot(), sizeZero);

    for (int32_t earlier : {4, 200, 255}) {
        DrawTarget(earlier);
        EXPECT_NE(snapshot(), sizeZero) << earlier;
        DrawTarget(0);
        EXPECT_EQ(snapshot(), sizeZero) << earlier;
    }
    memset(g_canvas, 0xFF, sizeof g_canvas);
    DrawTarget(0);
    EXPECT_EQ(snapshot(), sizeZero);
    EXPECT_EQ(countPixels(), 201);
}

TEST_F(CanvasTest, OnlyDrawTargetMarksTheCanvasChanged)
{
    DrawPixel(1, 1);
    DrawPixel(-1, 1);
    DrawCircle(5);
    EXPECT_EQ(g_canvasChanged, 0u);
    DrawTarget(1);
    EXPECT_EQ(g_canvasChanged, 1u);
    DrawTarget(2);
    EXPECT_EQ(g_canvasChanged, 1u);
}

TEST_F(CanvasTest, SpareBitsOfEveryRowStayClearForAllSizes)
{
    for (int32_t size = -60; size <= 260; ++size) {
        DrawTarget(size);
        for (int y = 0; y < kRows; ++y)
            ASSERT_EQ(g_canvas[y * 8 + 7] & 0x0F, 0) << "size " << size << ", row " << y;
    }
}

} // namespace
