// The camera's canvas as a picture: in the terminal, and as a PNG or PBM
// file. A drawn pixel is black on white, as the camera shows it.
#pragma once

#include "bytes.h"

#include <string>
#include <vector>

namespace kxmsg {

// Pixel (x, y) of a canvas in the camera's layout: 8 bytes a row, the most
// significant bit of a byte leftmost.
bool pixelAt(const Bytes &canvas, int x, int y);

// Two pixel rows per text line in half-block characters, framed.
std::vector<std::string> halfBlockLines(const Bytes &canvas);

// Writes the canvas to a ".png" or ".pbm" file, each pixel scale x scale.
// Error for another extension and when writing fails.
void writePicture(const Bytes &canvas, const std::string &path, int scale);

// Whether writePicture knows the file's extension.
bool knownPictureFile(const std::string &path);

} // namespace kxmsg
