// Pictures of the library formats made by the libraries' own encoders, so
// that the decoders are tested on files written independently of them, and
// the pixels a decoder should give for them.
#pragma once
#include <functional>
#include <string>

#include "imaging/Bitmap.h"

namespace format_pictures {

// The opacity every picture with transparency here gets at (x, y): all 256
// values over any 16 x 16 block.
int AlphaAt(int x, int y);

// An RGB picture composed over the photo page's background with AlphaAt, as
// an independent reference: out = (c * a + bg * (255 - a) + 127) / 255.
TBitmap ComposedReference(const TBitmap& rgb);

// ---- PNG (libpng's writer) ----
enum class PngKind { Rgb, RgbAlpha, Grey, GreyAlpha, Palette, PaletteTransparent, GreyTransparent, RgbTransparent };
struct PngOptions {
    PngKind kind = PngKind::Rgb;
    int bitDepth = 8;  // 1, 2, 4, 8 or 16, as the kind allows
    bool interlaced = false;
    std::string exif;  // an eXIf chunk's bytes (a TIFF block) when not empty
};
// The picture as a PNG file, and in *expected the pixels a decoder should
// give (greys and palette levels as the depth holds them, transparency
// composed over the background).
std::string EncodePng(const TBitmap& rgb, const PngOptions& options, TBitmap* expected = nullptr);

// ---- WebP (libwebp's encoder and muxer) ----
struct WebpOptions {
    bool lossless = true;
    bool alpha = false;  // AlphaAt as the picture's alpha
    int quality = 90;
    std::string exif;    // an EXIF chunk's bytes when not empty
};
std::string EncodeWebp(const TBitmap& rgb, const WebpOptions& options);

// ---- HEIF and AVIF (libheif's encoders) ----
struct HeifOptions {
    bool av1 = false;         // AVIF instead of HEVC
    int quality = 92;
    int orientation = 1;      // written as the format's rotation and mirror
    bool alpha = false;       // AlphaAt as the picture's alpha
    std::string exif;         // EXIF metadata (a TIFF block) when not empty
    const TBitmap* preview = nullptr;  // encoded as the embedded preview, scaled into previewBox
    int previewBox = 0;
};
std::string EncodeHeif(const TBitmap& rgb, const HeifOptions& options);

// The TIFF block of an EXIF orientation tag, without the "Exif\0\0" of a JPEG segment.
std::string TiffOrientationBlock(int orientation);

// The largest difference of any channel between two 24-bit bitmaps of one
// size (256 when their sizes differ), and the mean difference.
int MaxDifference(const TBitmap& a, const TBitmap& b);
double MeanDifference(const TBitmap& a, const TBitmap& b);

// Gradients, a disc and a bar off the centre, without noise: lossy coding
// keeps it close, and any turn or mirror of it shows.
TBitmap SmoothPicture(int width, int height);

// A bitmap of one colour.
TBitmap Plain(int width, int height, int r, int g, int b);

}  // namespace format_pictures
