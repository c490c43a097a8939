// The formats read through Debian's libraries, on the common decoder
// interface (imaging/PictureFormat.h). Each composes transparency over the
// photo page's background and keeps to the bounds of imaging/Limits.h
// (pixels, memory held, time, file length) whatever the file says.
//   PngFormat   .png; libpng's rows streamed into the consumer, only the rows
//               it wants composed (an interlaced picture: only those rows
//               kept while its passes are read); the eXIf chunk's orientation.
//   WebpFormat  .webp; libwebp's scaled decode straight to the consumer's
//               size, fed in pieces so that the clock is looked at; the EXIF
//               chunk's orientation (WebPDemux); an animation's first frame.
//   HeifFormat  .heic, .heif, .avif; libheif's primary picture with the
//               format's own rotation and mirror applied (its EXIF orientation
//               is then not used), or its embedded preview where that is at
//               least the consumer's size and has the picture's proportions.
#pragma once
#include "imaging/PictureFormat.h"

namespace imaging {

const PictureFormat& PngFormat();
const PictureFormat& WebpFormat();
const PictureFormat& HeifFormat();

}  // namespace imaging
