// EXIF blocks written by hand in tests, from the TIFF 6.0 and EXIF layouts:
// "Exif\0\0", a TIFF header, and IFD0 with the orientation entry.
#pragma once
#include <string>

namespace exif_bytes {

// The APP1 segment's bytes after its length field: "Exif\0\0", the TIFF
// header in Intel ("II") or Motorola ("MM") order, and IFD0 holding one entry,
// tag 0x0112 of type SHORT with one value.
std::string OrientationBlock(int orientation, bool bigEndian = false);

// The JPEG file with an APP1 segment holding the block put right after SOI.
std::string WithApp1(const std::string& jpeg, const std::string& block);

}  // namespace exif_bytes
