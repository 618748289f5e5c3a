#include "picture.h"

#include "error.h"

#include "camCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <png.h>

namespace kxmsg {

namespace {

constexpr int kWidth = KX_CANVAS_COLUMNS;
constexpr int kHeight = KX_CANVAS_ROWS;

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           strcasecmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

std::string repeat(const char *piece, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

// One text line: the upper pixel row y, the lower y + 1 (none past the end).
std::string halfBlockLine(const Bytes &canvas, int y)
{
    static const char *const cells[] = {" ", "\u2580", "\u2584", "\u2588"};
    std::string line = "\u2502";
    for (int x = 0; x < kWidth; ++x) {
        int upper = pixelAt(canvas, x, y) ? 1 : 0;
        int lower = y + 1 < kHeight && pixelAt(canvas, x, y + 1) ? 2 : 0;
        line += cells[upper | lower];
    }
    return line + "\u2502";
}

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

File openForWriting(const std::string &path)
{
    File file(fopen(path.c_str(), "wb"), fclose);
    if (!file)
        throw Error(path + ": " + strerror(errno));
    return file;
}

// One scaled row of the picture, 1 bit a pixel, set bit = drawn; every
// format here packs its rows this way.
std::vector<uint8_t> packedRow(const Bytes &canvas, int y, int scale)
{
    const int width = kWidth * scale;
    std::vector<uint8_t> row(static_cast<size_t>((width + 7) / 8));
    for (int x = 0; x < width; ++x)
        if (pixelAt(canvas, x / scale, y))
            row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80u >> (x % 8));
    return row;
}

// PBM: 1 is black, exactly the camera's own bits.
void writePbm(const Bytes &canvas, FILE *file, int scale)
{
    fprintf(file, "P4\n%d %d\n", kWidth * scale, kHeight * scale);
    for (int y = 0; y < kHeight * scale; ++y) {
        auto row = packedRow(canvas, y / scale, scale);
        fwrite(row.data(), 1, row.size(), file);
    }
}

// PNG through libpng's simplified interface, which reports errors by its
// result instead of a long jump through our frames: 8-bit grey, 0 black.
void writePng(const Bytes &canvas, FILE *file, int scale, const std::string &path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(kWidth * scale);
    image.height = static_cast<png_uint_32>(kHeight * scale);
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(static_cast<size_t>(image.width) * image.height);
    for (png_uint_32 y = 0; y < image.height; ++y)
        for (png_uint_32 x = 0; x < image.width; ++x)
            pixels[y * image.width + x] =
                pixelAt(canvas, static_cast<int>(x) / scale, static_cast<int>(y) / scale) ? 0x00
                                                                                          : 0xFF;
    if (!png_image_write_to_stdio(&image, file, 0, pixels.data(), 0, nullptr))
        throw Error(path + ": cannot write PNG: " + image.message);
}

} // namespace

bool pixelAt(const Bytes &canvas, int x, int y)
{
    size_t at = static_cast<size_t>(y) * KX_CANVAS_ROW_BYTES + static_cast<size_t>(x) / 8;
    return at < canvas.size() && (canvas[at] & (0x80u >> (x % 8))) != 0;
}

std::vector<std::string> halfBlockLines(const Bytes &canvas)
{
    std::vector<std::string> lines;
    lines.push_back("\u250c" + repeat("\u2500", kWidth) + "\u2510");
    for (int y = 0; y < kHeight; y += 2)
        lines.push_back(halfBlockLine(canvas, y));
    lines.push_back("\u2514" + repeat("\u2500", kWidth) + "\u2518");
    return lines;
}

bool knownPictureFile(const std::string &path)
{
    return endsWith(path, ".png") || endsWith(path, ".pbm");
}

void writePicture(const Bytes &canvas, const std::string &path, int scale)
{
    if (!knownPictureFile(path))
        throw Error(path + ": the picture file must end in .png or .pbm");
    File file = openForWriting(path);
    if (endsWith(path, ".png"))
        writePng(canvas, file.get(), scale, path);
    else
        writePbm(canvas, file.get(), scale);
    if (fflush(file.get()) != 0 || ferror(file.get()))
        throw Error(path + ": " + strerror(errno));
}

} // namespace kxmsg
