// The formats the gallery has always read, on the common decoder interface
// (imaging/PictureFormat.h), each giving the same pixels as its own routine
// in imaging/Picture.h, imaging/Gif.h and imaging/Bmp.h:
//   JpegFormat  .jpg; rows streamed from libjpeg at full size with the
//               best-quality settings (24 bits, or 8 bits of at most 236
//               greys), rows the consumer does not want skipped; the EXIF
//               orientation from the first EXIF segment.
//   GifFormat   .gif; our decoder's first frame on the logical screen, 8 bits
//               with the frame's palette. Faults raise EGIFError.
//   BmpFormat   .bmp; up to 8 bits per pixel with the file's palette, more in
//               24 bits.
#pragma once
#include "imaging/PictureFormat.h"

namespace imaging {

const PictureFormat& JpegFormat();
const PictureFormat& GifFormat();
const PictureFormat& BmpFormat();

}  // namespace imaging
