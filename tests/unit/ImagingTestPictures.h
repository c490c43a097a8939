// Pictures the imaging tests make for themselves, and JPEG files written by the
// library directly (so that the reader is tested on files our own writer
// cannot make: greyscale, other samplings, restart markers, progressive).
#pragma once
#include <string>

#include "imaging/Bitmap.h"

namespace imaging_test {

// Gradients, noise and a few hard-edged shapes: enough detail that a wrong
// row, column or channel shows in any comparison.
TBitmap CameraLikePicture(int width, int height, unsigned seed = 1);

struct LibjpegOptions {
    int quality = 85;
    bool grayscale = false;   // one-component file
    bool progressive = false;
    int lumaH = 2, lumaV = 2;  // luminance sampling factors (chroma 1x1)
    int restartRows = 0;       // restart interval in MCU rows, 0 for none
    std::string comment = {};  // a COM segment when not empty
};
std::string EncodeWithLibjpeg(const TBitmap& picture, const LibjpegOptions& options);

// Pixel-by-pixel comparison; "" when equal, else where they first differ.
std::string Difference(const TBitmap& a, const TBitmap& b);

}  // namespace imaging_test
