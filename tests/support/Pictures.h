// Pictures the tests make: JPEG through the imaging layer, small GIF and BMP
// files written byte by byte.
#pragma once
#include <string>

namespace testing_support {

// A colour JPEG of w x h with smooth gradients (quality 90).
void MakeJpeg(const std::string& path, int width, int height);
// A GIF of w x h, 4 colours, stripes; LZW with a clear code often enough that
// codes stay 3 bits wide (min code size 2).
void MakeGif(const std::string& path, int width, int height);
// A 24-bit bottom-up BMP of w x h.
void MakeBmp(const std::string& path, int width, int height);
// The size from a JPEG header; false for an empty or unreadable file.
bool JpegSize(const std::string& path, int& width, int& height);

}  // namespace testing_support
