#include "imaging/Bitmap.h"

#include <algorithm>
#include <cstring>

#include "imaging/Limits.h"
#include "platform/Exception.h"
#include "platform/Memory.h"

namespace {

// Pixel memory, zeroed (a new area of a bitmap is black), from the platform's
// block allocator so that full-size pictures do not pay a fault per page.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(size_t size) : size_(size) {
        if (size) data_ = static_cast<uint8_t*>(platform::AllocateZeroedBlock(size));
    }
    Buffer(const Buffer& other) : Buffer(other.size_) {
        if (size_) std::memcpy(data_, other.data_, size_);
    }
    Buffer& operator=(const Buffer&) = delete;
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~Buffer() { platform::FreeBlock(data_, size_); }
    uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

std::vector<TColor> MakeHalftonePalette() {
    std::vector<TColor> palette;
    palette.reserve(256);
    for (int b = 0; b < 6; ++b)
        for (int g = 0; g < 6; ++g)
            for (int r = 0; r < 6; ++r) palette.push_back(RGBColor(r * 51, g * 51, b * 51));
    // 40 greys spread over 0..255 between the cube's six.
    for (int k = 1; palette.size() < 256; ++k) {
        int v = (k * 255 + 20) / 41;
        if (v % 51 == 0) v += 1;  // never duplicate a cube grey
        palette.push_back(RGBColor(v, v, v));
    }
    return palette;
}

int Distance(TColor a, TColor b) {
    int dr = RedOf(a) - RedOf(b), dg = GreenOf(a) - GreenOf(b), db = BlueOf(a) - BlueOf(b);
    return dr * dr + dg * dg + db * db;
}

// Nearest halftone index without scanning all 256 entries: the nearest cube
// colour is the nearest level in each channel separately, and the nearest grey
// is one of the two greys around the mean of the channels (the distance to a
// grey g grows with |3g - (r + g + b)|). The closer of those wins, lowest index
// on a tie, exactly as the full scan would choose.
class HalftoneMapper {
public:
    HalftoneMapper() : palette_(HalftonePalette()) {
        for (int i = 0; i < 256; ++i) {
            TColor c = palette_[i];
            if (RedOf(c) == GreenOf(c) && GreenOf(c) == BlueOf(c)) greys_.push_back({RedOf(c), i});
        }
        std::sort(greys_.begin(), greys_.end());
    }
    int Map(int r, int g, int b) const {
        auto level = [](int v) { return (v + 25) / 51; };
        TColor c = RGBColor(r, g, b);
        int best = level(r) + 6 * level(g) + 36 * level(b);
        int bestDist = Distance(c, palette_[best]);
        int sum = r + g + b;
        // First grey with 3 * value >= sum, and the one before it.
        auto it = std::lower_bound(greys_.begin(), greys_.end(), sum,
                                   [](const std::pair<int, int>& e, int s) { return 3 * e.first < s; });
        for (int k = 0; k < 2; ++k) {
            if (k == 0 && it == greys_.end()) continue;
            if (k == 1 && it == greys_.begin()) continue;
            const auto& e = k == 0 ? *it : *(it - 1);
            int d = Distance(c, palette_[e.second]);
            if (d < bestDist || (d == bestDist && e.second < best)) {
                best = e.second;
                bestDist = d;
            }
        }
        return best;
    }

private:
    const std::vector<TColor>& palette_;
    std::vector<std::pair<int, int>> greys_;  // (level, index)
};

const HalftoneMapper& Halftone() {
    static const HalftoneMapper mapper;
    return mapper;
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// Maps colours to the indices of one palette, remembering the last answer
// (pictures repeat colours run after run).
class PaletteMapper {
public:
    explicit PaletteMapper(const std::vector<TColor>& palette)
        : palette_(palette), halftone_(palette == HalftonePalette()) {}
    uint8_t Map(TColor c) {
        if (palette_.empty()) return 0;
        if (c == lastColor_) return lastIndex_;
        lastColor_ = c;
        lastIndex_ = static_cast<uint8_t>(halftone_ ? Halftone().Map(RedOf(c), GreenOf(c), BlueOf(c))
                                                    : NearestPaletteIndex(palette_, c));
        return lastIndex_;
    }

private:
    const std::vector<TColor>& palette_;
    bool halftone_;
    TColor lastColor_ = clNone;
    uint8_t lastIndex_ = 0;
};

}  // namespace

struct TBitmap::Image {
    int width = 0;
    int height = 0;
    PixelFormat format = pf24bit;
    std::vector<TColor> palette;
    size_t rowBytes = 0;
    Buffer pixels;

    uint8_t* Row(int y) const { return pixels.Data() + static_cast<size_t>(y) * rowBytes; }
    TColor IndexColor(uint8_t index) const { return index < palette.size() ? palette[index] : 0; }
};

const std::vector<TColor>& HalftonePalette() {
    static const std::vector<TColor> palette = MakeHalftonePalette();
    return palette;
}

int NearestPaletteIndex(const std::vector<TColor>& palette, TColor c) {
    int best = 0;
    int bestDist = Distance(c, palette[0]);
    for (size_t i = 1; i < palette.size() && bestDist > 0; ++i) {
        int d = Distance(c, palette[i]);
        if (d < bestDist) {
            best = static_cast<int>(i);
            bestDist = d;
        }
    }
    return best;
}

TBitmap::TBitmap() : image_(std::make_shared<Image>()) {}

TBitmap::Image& TBitmap::Own() {
    if (image_.use_count() > 1) image_ = std::make_shared<Image>(*image_);
    return *image_;
}

int TBitmap::Width() const { return image_->width; }
int TBitmap::Height() const { return image_->height; }
PixelFormat TBitmap::GetPixelFormat() const { return image_->format; }
const std::vector<TColor>& TBitmap::Palette() const { return image_->palette; }
size_t TBitmap::RowBytes() const { return image_->rowBytes; }

void TBitmap::SetWidth(int width) { SetSize(width, Height()); }
void TBitmap::SetHeight(int height) { SetSize(Width(), height); }

void TBitmap::SetSize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const Image& old = *image_;
    if (width == old.width && height == old.height) return;
    if (width > imaging::MaxPixels || height > imaging::MaxPixels ||
        static_cast<int64_t>(width) * height > imaging::MaxPixels)
        throw Exception(BitmapTooLargeMessage);
    size_t bpp = old.format == pf24bit ? 3 : 1;
    auto image = std::make_shared<Image>();
    image->width = width;
    image->height = height;
    image->format = old.format;
    image->palette = old.palette;
    image->rowBytes = static_cast<size_t>(width) * bpp;
    // A dimension of 0 holds no pixels whatever the other one is.
    image->pixels = Buffer(width && height ? image->rowBytes * static_cast<size_t>(height) : 0);
    size_t common = static_cast<size_t>(std::min(width, old.width)) * bpp;
    int rows = std::min(height, old.height);
    if (common)
        for (int y = 0; y < rows; ++y) std::memcpy(image->Row(y), old.Row(y), common);
    image_ = std::move(image);
}

void TBitmap::SetPixelFormat(PixelFormat format) {
    if (format == image_->format) return;
    const Image& old = *image_;
    auto image = std::make_shared<Image>();
    image->width = old.width;
    image->height = old.height;
    image->format = format;
    image->rowBytes = static_cast<size_t>(old.width) * (format == pf24bit ? 3 : 1);
    image->pixels = Buffer(old.width && old.height ? image->rowBytes * static_cast<size_t>(old.height) : 0);
    if (format == pf8bit) {
        image->palette = HalftonePalette();
        PaletteMapper mapper(image->palette);
        for (int y = 0; y < old.height; ++y) {
            const uint8_t* s = old.Row(y);
            uint8_t* d = image->Row(y);
            for (int x = 0; x < old.width; ++x, s += 3) d[x] = mapper.Map(RGBColor(s[0], s[1], s[2]));
        }
    } else {
        for (int y = 0; y < old.height; ++y) {
            const uint8_t* s = old.Row(y);
            uint8_t* d = image->Row(y);
            for (int x = 0; x < old.width; ++x, d += 3) {
                TColor c = old.IndexColor(s[x]);
                d[0] = static_cast<uint8_t>(RedOf(c));
                d[1] = static_cast<uint8_t>(GreenOf(c));
                d[2] = static_cast<uint8_t>(BlueOf(c));
            }
        }
    }
    image_ = std::move(image);
}

void TBitmap::SetPalette(const std::vector<TColor>& palette) {
    if (image_->format != pf8bit) return;
    std::vector<TColor> p(palette.begin(), palette.begin() + std::min<size_t>(palette.size(), imaging::MaxPaletteEntries));
    if (p == image_->palette) return;
    Own().palette = std::move(p);
}

TColor TBitmap::Pixel(int x, int y) const {
    const Image& im = *image_;
    if (x < 0 || y < 0 || x >= im.width || y >= im.height) return clNone;
    const uint8_t* row = im.Row(y);
    if (im.format == pf8bit) return im.IndexColor(row[x]);
    const uint8_t* p = row + 3 * static_cast<size_t>(x);
    return RGBColor(p[0], p[1], p[2]);
}

void TBitmap::SetPixel(int x, int y, TColor color) {
    if (x < 0 || y < 0 || x >= image_->width || y >= image_->height) return;
    Image& im = Own();
    uint8_t* row = im.Row(y);
    if (im.format == pf8bit) {
        row[x] = PaletteMapper(im.palette).Map(color & 0xFFFFFF);
    } else {
        uint8_t* p = row + 3 * static_cast<size_t>(x);
        p[0] = static_cast<uint8_t>(RedOf(color));
        p[1] = static_cast<uint8_t>(GreenOf(color));
        p[2] = static_cast<uint8_t>(BlueOf(color));
    }
}

void TBitmap::FillRect(const TRect& rect) {
    int left = Clamp(rect.Left, 0, Width()), right = Clamp(rect.Right, 0, Width());
    int top = Clamp(rect.Top, 0, Height()), bottom = Clamp(rect.Bottom, 0, Height());
    if (left >= right || top >= bottom) return;
    Image& im = Own();
    TColor c = brush_ & 0xFFFFFF;
    if (im.format == pf8bit) {
        uint8_t index = PaletteMapper(im.palette).Map(c);
        for (int y = top; y < bottom; ++y) std::memset(im.Row(y) + left, index, static_cast<size_t>(right - left));
    } else {
        uint8_t rgb[3] = {static_cast<uint8_t>(RedOf(c)), static_cast<uint8_t>(GreenOf(c)),
                          static_cast<uint8_t>(BlueOf(c))};
        for (int y = top; y < bottom; ++y) {
            uint8_t* p = im.Row(y) + 3 * static_cast<size_t>(left);
            for (int x = left; x < right; ++x, p += 3) std::memcpy(p, rgb, 3);
        }
    }
}

void TBitmap::StretchDraw(const TRect& rect, const TBitmap& source) {
    int rectW = rect.Right - rect.Left, rectH = rect.Bottom - rect.Top;
    if (rectW <= 0 || rectH <= 0 || source.Empty()) return;
    int left = Clamp(rect.Left, 0, Width()), right = Clamp(rect.Right, 0, Width());
    int top = Clamp(rect.Top, 0, Height()), bottom = Clamp(rect.Bottom, 0, Height());
    if (left >= right || top >= bottom) return;
    // Hold the source's storage: drawing a bitmap into itself (or a copy that
    // shares with it) must read the pixels as they were.
    std::shared_ptr<Image> src = source.image_;
    Image& dst = Own();
    const int srcW = src->width, srcH = src->height;

    std::vector<int> columns(static_cast<size_t>(right - left));
    for (int x = left; x < right; ++x) columns[x - left] = SampleSource(x - rect.Left, srcW, rectW);

    // Source pixels as the target stores them, per source index (8-bit source)
    // or converted on the fly.
    const bool same8 = dst.format == pf8bit && src->format == pf8bit && dst.palette == src->palette;
    PaletteMapper mapper(dst.palette);
    std::vector<uint8_t> indexMap;  // 8-bit source into a different 8-bit target
    if (dst.format == pf8bit && src->format == pf8bit && !same8) {
        indexMap.resize(256);
        for (int i = 0; i < 256; ++i) indexMap[i] = mapper.Map(src->IndexColor(static_cast<uint8_t>(i)));
    }

    int lastSy = -1;
    uint8_t* lastRow = nullptr;
    for (int y = top; y < bottom; ++y) {
        int sy = SampleSource(y - rect.Top, srcH, rectH);
        uint8_t* d = dst.Row(y);
        size_t span = static_cast<size_t>(right - left) * (dst.format == pf24bit ? 3 : 1);
        uint8_t* out = d + static_cast<size_t>(left) * (dst.format == pf24bit ? 3 : 1);
        if (sy == lastSy) {
            std::memcpy(out, lastRow, span);  // enlarging: repeat the row just made
            continue;
        }
        const uint8_t* s = src->Row(sy);
        if (dst.format == pf24bit && src->format == pf24bit) {
            for (size_t i = 0; i < columns.size(); ++i) std::memcpy(out + 3 * i, s + 3 * static_cast<size_t>(columns[i]), 3);
        } else if (dst.format == pf24bit) {
            for (size_t i = 0; i < columns.size(); ++i) {
                TColor c = src->IndexColor(s[columns[i]]);
                out[3 * i] = static_cast<uint8_t>(RedOf(c));
                out[3 * i + 1] = static_cast<uint8_t>(GreenOf(c));
                out[3 * i + 2] = static_cast<uint8_t>(BlueOf(c));
            }
        } else if (src->format == pf24bit) {
            for (size_t i = 0; i < columns.size(); ++i) {
                const uint8_t* p = s + 3 * static_cast<size_t>(columns[i]);
                out[i] = mapper.Map(RGBColor(p[0], p[1], p[2]));
            }
        } else if (same8) {
            for (size_t i = 0; i < columns.size(); ++i) out[i] = s[columns[i]];
        } else {
            for (size_t i = 0; i < columns.size(); ++i) out[i] = indexMap[s[columns[i]]];
        }
        lastSy = sy;
        lastRow = out;
    }
}

TBitmap TBitmap::StretchedCopy(int width, int height) const {
    TBitmap result;
    result.SetPixelFormat(GetPixelFormat());
    result.SetPalette(Palette());
    result.SetSize(width, height);
    result.StretchDraw(Rect(0, 0, width, height), *this);
    return result;
}

const uint8_t* TBitmap::ScanLine(int y) const {
    if (y < 0 || y >= image_->height) return nullptr;
    return image_->Row(y);
}

uint8_t* TBitmap::MutableScanLine(int y) {
    if (y < 0 || y >= image_->height) return nullptr;
    return Own().Row(y);
}
