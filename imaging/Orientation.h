// The EXIF orientation of a picture: which of the eight turns and mirrorings
// of the stored pixels shows it upright, read from the "Exif" APP1 segment of
// a JPEG file, and the turn itself on a bitmap.
//
// The values are those of the TIFF/EXIF Orientation tag (0x0112), naming
// where row 0 and column 0 of the stored picture belong:
//   1 top-left (as stored)      5 left-top (transposed)
//   2 top-right (mirrored)      6 right-top (turned a quarter clockwise)
//   3 bottom-right (half turn)  7 right-bottom (transverse)
//   4 bottom-left (flipped)     8 left-bottom (turned a quarter anticlockwise)
#pragma once
#include <cstddef>

#include "imaging/Bitmap.h"

namespace imaging {

// An APP1 segment is at most 65533 bytes after its length field.
constexpr size_t ExifSegmentMaxBytes = 65533;

// The orientation in the bytes of an APP1 segment (after its length field,
// starting "Exif\0\0"): 1..8, and 1 when the segment is no EXIF block, holds
// no orientation in its first directory, or cannot be read.
int ExifOrientation(const void* data, size_t size);

// Orientations 5 to 8 swap the stored width and height.
inline bool SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

// The bitmap turned and mirrored as the orientation says, so that it shows
// upright; an orientation outside 2..8 returns it as it is.
TBitmap OrientUpright(const TBitmap& stored, int orientation);

// Where the upright picture's pixel (x, y) lies in the stored picture of
// storedWidth x storedHeight.
void StoredPosition(int orientation, int x, int y, int storedWidth, int storedHeight, int& storedX, int& storedY);

}  // namespace imaging
