// Windows bitmap (BMP) files: the file header followed by a core, info, v4 or
// v5 header; 1, 4, 8, 16, 24 and 32 bits per pixel; uncompressed, RLE8, RLE4
// and bit fields; rows bottom-up or top-down. Up to 8 bits per pixel gives an
// 8-bit bitmap with the file's palette, more gives a 24-bit bitmap.
//
// Failures: "Bitmap image is not valid" for a header that is not a bitmap we
// can read, "Stream read error" when the file ends before the header or the
// pixels it announces, "Bitmap image is too large" above imaging::MaxPixels.
#pragma once
#include <cstddef>

#include "imaging/Bitmap.h"

class Stream;

// Reads a BMP file from the stream's current position.
void LoadBmpFromStream(Stream& stream, TBitmap& out);
// The same from bytes in memory.
void ReadBmp(const void* data, size_t size, TBitmap& out);
