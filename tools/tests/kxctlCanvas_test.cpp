// kxctl canvas: the camera's 60 x 75 canvas (8 bytes a row, the most
// significant bit leftmost) as a picture in the terminal and in files.
#include "kxctltest.h"

#include <png.h>

namespace {

using namespace kxctltest;

bool drawn(const Bytes &canvas, int x, int y)
{
    return (static_cast<unsigned char>(canvas[static_cast<size_t>(y * 8 + x / 8)]) &
            (0x80 >> (x % 8))) != 0;
}

struct Grey {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

Grey readPng(const std::string &path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Grey grey;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return grey;
    image.format = PNG_FORMAT_GRAY;
    grey.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, grey.pixels.data(), 0, nullptr)) {
        grey.width = image.width;
        grey.height = image.height;
    }
    return grey;
}

class KxctlCanvas : public KxctlTest {
protected:
    void SetUp() override
    {
        KxctlTest::SetUp();
        startDaemon({"-s"});
    }
};

TEST_F(KxctlCanvas, PngPixelsAreTheDaemonsCanvas)
{
    ASSERT_EQ(kxctl({"call", "CM", "03"}).exitCode, 0);
    std::string png = "/tmp/x.png", big = "/tmp/big.png";
    auto r = kxctl({"canvas", "-o", png});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(kxctl({"canvas", "-o", big, "--scale", "3"}).exitCode, 0);
    Bytes canvas = fetchCanvas();
    ASSERT_EQ(canvas.size(), 600u);

    Grey one = readPng(png), three = readPng(big);
    ASSERT_EQ(one.width, 60u);
    ASSERT_EQ(one.height, 75u);
    ASSERT_EQ(three.width, 180u);
    ASSERT_EQ(three.height, 225u);
    int black = 0;
    for (int y = 0; y < 75; ++y) {
        for (int x = 0; x < 60; ++x) {
            bool isBlack = one.pixels[static_cast<size_t>(y * 60 + x)] == 0;
            black += isBlack;
            ASSERT_EQ(isBlack, drawn(canvas, x, y)) << x << "," << y;
            ASSERT_EQ(three.pixels[static_cast<size_t>((3 * y + 2) * 180 + 3 * x + 1)] == 0,
                      isBlack);
        }
    }
    EXPECT_EQ(black, 265) << "mode 3 draws 265 pixels";
}

TEST_F(KxctlCanvas, PbmHoldsTheCanvasBytesAsTheyAre)
{
    ASSERT_EQ(kxctl({"canvas", "-o", "/tmp/x.pbm"}).exitCode, 0);
    Bytes canvas = fetchCanvas();
    ASSERT_EQ(canvas.size(), 600u);
    // P4 rows are 60 bits padded to 8 bytes with 1 for black: the camera's
    // own layout.
    EXPECT_EQ(kxtest::readFile("/tmp/x.pbm"), "P4\n60 75\n" + canvas);
}

TEST_F(KxctlCanvas, TerminalPictureHasTwoRowsPerLine)
{
    auto r = kxctl({"canvas"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = kxtest::splitLines(r.out);
    ASSERT_EQ(lines.size(), 40u) << "a frame line, 38 lines for 75 rows, a frame line";
    auto cells = [](std::string text) { return "    \u2502" + text + "\u2502"; };
    std::string blank(60, ' ');
    // Mode 0: rows 0-28 are empty, row 29 is 00 00 00 1F C0 00 00 00
    // (columns 27-33), so the line of rows 28 and 29 shows lower halves.
    for (int line = 1; line <= 14; ++line)
        EXPECT_EQ(lines[static_cast<size_t>(line)], cells(blank)) << line;
    std::string lower;
    for (int i = 0; i < 7; ++i)
        lower += "\u2584";
    EXPECT_EQ(lines[15], cells(std::string(27, ' ') + lower + std::string(26, ' ')));
    // Rows 52-74 are empty: the last 11 lines of pixels.
    for (size_t line = 27; line <= 38; ++line)
        EXPECT_EQ(lines[line], cells(blank)) << line;
}

} // namespace
