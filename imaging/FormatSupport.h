// What the decoders over libpng, libwebp and libheif share: the clock that
// bounds a decoding's time, a file read whole within a bound, transparency
// composed over the page's background, and the orientation of an EXIF block
// stored without the JPEG segment's "Exif\0\0" in front.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace imaging {

// The failure of a decoding that ran past FormatMaxDecodeSeconds, and of a
// picture whose decoding would hold more than FormatMaxHeldBytes.
constexpr const char* DecodeTooLongMessage = "Picture takes too long to decode";
constexpr const char* PictureTooLargeMessage = "Bitmap image is too large";

// Started when a decoding starts; Check() raises DecodeTooLongMessage once
// FormatMaxDecodeSeconds have passed.
class DecodeClock {
public:
    DecodeClock();
    void Check() const;
    bool Expired() const;

private:
    double deadline_;
};

// Raises PictureTooLargeMessage unless pixels (width x height) are within
// MaxPixels and heldBytes within FormatMaxHeldBytes.
void CheckPictureCost(int64_t width, int64_t height, int64_t heldBytes);

// The whole file, when it is at most maxBytes long; raises "Cannot open file
// %s", "Stream read error", or PictureTooLargeMessage for a longer file.
std::string ReadFileWithin(const std::string& path, int64_t maxBytes);

// Pixels of R, G, B, A (not premultiplied) composed over the page's
// background into R, G, B.
void ComposeOverBackground(const uint8_t* rgba, uint8_t* rgb, int width);

// The orientation (1..8) in an EXIF block as PNG's eXIf and WebP's EXIF
// chunks hold it: a TIFF header and directories, with or without "Exif\0\0"
// in front; 1 when there is none or it cannot be read.
int ExifBlockOrientation(const void* data, size_t size);

}  // namespace imaging
