// Shared by the picture harnesses: read every byte a decoder produced, so that
// the sanitizers see any pixel left unwritten or written out of bounds.
#pragma once
#include <cstdint>

#include "imaging/Bitmap.h"

inline uint64_t TouchEveryPixel(const TBitmap& bitmap) {
    uint64_t sum = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (size_t i = 0; i < bitmap.RowBytes(); ++i) sum += row[i];
    }
    for (TColor c : bitmap.Palette()) sum += static_cast<uint32_t>(c);
    // Through the public pixel reader too (palette lookups of every index).
    if (bitmap.Width() > 0)
        for (int y = 0; y < bitmap.Height(); ++y) sum += static_cast<uint32_t>(bitmap.Pixel(y % bitmap.Width(), y));
    return sum;
}
