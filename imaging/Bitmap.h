// An in-memory raster: 24 bits per pixel, or 8 bits per pixel with a palette.
// There is no display here, so the drawing surface is just what the gallery
// uses of one: a solid brush, rectangle fills and point-sampled stretching.
//
// Pixel layout (for code using the raw rows): rows top-down, tightly packed
// (RowBytes() == width * bytes per pixel); a 24-bit pixel is the three bytes
// R, G, B in that order (the order libjpeg reads and writes); an 8-bit pixel is
// an index into the palette.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A colour: red in the low byte, then green, then blue; the high byte 0.
using TColor = int32_t;
// No valid colour (reading outside a bitmap).
constexpr TColor clNone = -1;

inline TColor RGBColor(int r, int g, int b) { return r | (g << 8) | (b << 16); }
inline int RedOf(TColor c) { return c & 0xFF; }
inline int GreenOf(TColor c) { return (c >> 8) & 0xFF; }
inline int BlueOf(TColor c) { return (c >> 16) & 0xFF; }

enum PixelFormat { pf8bit, pf24bit };

// The failure of a bitmap (or a picture header) above imaging::MaxPixels.
constexpr const char* BitmapTooLargeMessage = "Bitmap image is too large";

// A rectangle; Right and Bottom are excluded.
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};
inline TRect Rect(int left, int top, int right, int bottom) { return TRect{left, top, right, bottom}; }

// The point-sampling rule shared by every path that shrinks or enlarges a
// picture (the stretch below and the streaming JPEG thumbnailer): the source
// column (or row) whose pixel lands on target position dst when srcLen
// source positions are spread over dstLen target positions. Each target pixel
// takes the source pixel under its centre. Requires 0 <= dst < dstLen.
inline int SampleSource(int dst, int srcLen, int dstLen) {
    return static_cast<int>(((2 * static_cast<int64_t>(dst) + 1) * srcLen) / (2 * static_cast<int64_t>(dstLen)));
}

// The fixed 256-colour halftone palette that conversion to 8 bits uses: a
// 6 x 6 x 6 colour cube (index r + 6g + 36b, levels 0, 51, ... 255) followed by
// 40 grey levels that the cube lacks.
const std::vector<TColor>& HalftonePalette();

// Index of the palette colour nearest to c (squared RGB distance; the lowest
// index wins a tie). The palette must not be empty.
int NearestPaletteIndex(const std::vector<TColor>& palette, TColor c);

class TBitmap {
public:
    TBitmap();
    // Copies share the pixel storage until one of them is changed.
    TBitmap(const TBitmap& other) = default;
    TBitmap& operator=(const TBitmap& other) = default;
    TBitmap(TBitmap&& other) noexcept = default;
    TBitmap& operator=(TBitmap&& other) noexcept = default;
    void Assign(const TBitmap& source) { *this = source; }

    int Width() const;
    int Height() const;
    bool Empty() const { return Width() == 0 || Height() == 0; }
    // Resizing keeps the area common to the old and new size; a new area is
    // black (index 0 in an 8-bit bitmap). Raises Exception when the result
    // would exceed imaging::MaxPixels; negative sizes count as 0.
    void SetWidth(int width);
    void SetHeight(int height);
    void SetSize(int width, int height);

    PixelFormat GetPixelFormat() const;
    // To 8 bits: the halftone palette and every pixel mapped to its nearest
    // colour. To 24 bits: every index replaced by its palette colour. Setting
    // the current format changes nothing.
    void SetPixelFormat(PixelFormat format);

    // The palette of an 8-bit bitmap (at most 256 entries); empty at 24 bits.
    const std::vector<TColor>& Palette() const;
    // Replaces the palette of an 8-bit bitmap; the indices stay as they are
    // (an index beyond the palette reads as black).
    void SetPalette(const std::vector<TColor>& palette);

    // The colour at (x, y), or clNone outside the bitmap.
    TColor Pixel(int x, int y) const;
    // Sets (x, y); nothing happens outside. An 8-bit bitmap stores the nearest
    // palette colour.
    void SetPixel(int x, int y, TColor color);

    TColor BrushColor() const { return brush_; }
    void SetBrushColor(TColor color) { brush_ = color; }
    // Paints the rectangle, clipped to the bitmap, with the brush colour.
    void FillRect(const TRect& rect);

    TColor TransparentColor() const { return transparent_; }
    void SetTransparentColor(TColor color) { transparent_ = color; }

    // Draws the whole source, point sampled (SampleSource), into rect, opaque.
    // The parts of rect outside this bitmap are clipped. Colours are converted
    // when the formats or palettes differ.
    void StretchDraw(const TRect& rect, const TBitmap& source);

    // The whole bitmap point sampled to width x height (SampleSource), in the
    // same pixel format and palette, without touching this bitmap: what a
    // stretch-draw of the whole bitmap into a bitmap of that size gives,
    // at the cost of the result only.
    TBitmap StretchedCopy(int width, int height) const;

    // Raw rows for fast code. The mutable form makes the storage this bitmap's
    // own first, so a shared copy never sees the change.
    int BytesPerPixel() const { return GetPixelFormat() == pf24bit ? 3 : 1; }
    size_t RowBytes() const;
    const uint8_t* ScanLine(int y) const;
    uint8_t* MutableScanLine(int y);

    // True when both bitmaps use the same storage (copy not yet changed).
    bool SharesStorageWith(const TBitmap& other) const { return image_ == other.image_; }

private:
    struct Image;
    Image& Own();

    std::shared_ptr<Image> image_;
    TColor brush_ = 0xFFFFFF;
    TColor transparent_ = clNone;
};
