#include "imaging/PointSampler.h"

#include <cstring>

#include "imaging/Orientation.h"

namespace imaging {

PointSampler::PointSampler(int orientation, int targetWidth, int targetHeight)
    : orientation_(orientation), targetWidth_(targetWidth), targetHeight_(targetHeight) {}

void PointSampler::Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) {
    const bool swapped = SwapsSides(orientation_);
    sampledWidth_ = swapped ? targetHeight_ : targetWidth_;
    sampledHeight_ = swapped ? targetWidth_ : targetHeight_;
    bytesPerPixel_ = layout == RowLayout::Rgb ? 3 : 1;
    TBitmap bitmap;
    if (layout == RowLayout::Indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(sampledWidth_, sampledHeight_);
    if (layout == RowLayout::Indexed) bitmap.SetPalette(palette);
    bitmap_ = std::move(bitmap);

    // Mirrored along an axis, the grid is taken from the far end: sample i of
    // the stored axis is upright sample count-1-i, at the mirrored position.
    int cornerX = 0, cornerY = 0;  // where the upright picture's top-left pixel is stored
    StoredPosition(orientation_, 0, 0, width, height, cornerX, cornerY);
    const bool mirrorColumns = cornerX != 0, mirrorRows = cornerY != 0;
    auto sample = [](int i, int length, int count, bool mirrored) {
        return mirrored ? length - 1 - SampleSource(count - 1 - i, length, count) : SampleSource(i, length, count);
    };
    columns_.assign(static_cast<size_t>(sampledWidth_), 0);
    for (int x = 0; x < sampledWidth_; ++x)
        columns_[x] = static_cast<size_t>(sample(x, width, sampledWidth_, mirrorColumns)) * bytesPerPixel_;
    rows_.assign(static_cast<size_t>(sampledHeight_), 0);
    for (int y = 0; y < sampledHeight_; ++y) rows_[y] = sample(y, height, sampledHeight_, mirrorRows);
    nextRow_ = 0;
    height_ = height;
}

int PointSampler::NextWanted(int y) const {
    for (size_t i = nextRow_; i < rows_.size(); ++i)
        if (rows_[i] >= y) return rows_[i];
    return height_;
}

void PointSampler::Row(int y, const uint8_t* pixels) {
    while (nextRow_ < rows_.size() && rows_[nextRow_] < y) ++nextRow_;  // rows the decoder never gave stay black
    while (nextRow_ < rows_.size() && rows_[nextRow_] == y) {
        uint8_t* target = bitmap_.MutableScanLine(static_cast<int>(nextRow_));
        if (bytesPerPixel_ == 3) {
            for (int x = 0; x < sampledWidth_; ++x) std::memcpy(target + 3 * x, pixels + columns_[x], 3);
        } else {
            for (int x = 0; x < sampledWidth_; ++x) target[x] = pixels[columns_[x]];
        }
        ++nextRow_;
    }
}

TBitmap PointSampler::Result() const { return orientation_ == 1 ? bitmap_ : OrientUpright(bitmap_, orientation_); }

void WholePicture::Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) {
    TBitmap bitmap;
    if (layout == RowLayout::Indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(width, height);
    if (layout == RowLayout::Indexed) bitmap.SetPalette(palette);
    bitmap_ = std::move(bitmap);
}

void WholePicture::Row(int y, const uint8_t* pixels) {
    if (uint8_t* row = bitmap_.MutableScanLine(y)) std::memcpy(row, pixels, bitmap_.RowBytes());
}

TBitmap WholePicture::Result() const { return orientation_ == 1 ? bitmap_ : OrientUpright(bitmap_, orientation_); }

void DeliverRows(const TBitmap& picture, RowSink& sink) {
    const bool indexed = picture.GetPixelFormat() == pf8bit;
    sink.Begin(picture.Width(), picture.Height(), indexed ? RowLayout::Indexed : RowLayout::Rgb, picture.Palette());
    if (picture.Width() <= 0) return;
    for (int y = sink.NextWanted(0); y < picture.Height(); y = sink.NextWanted(y + 1)) sink.Row(y, picture.ScanLine(y));
}

void DecodePointSampled(PictureDecoder& decoder, const TargetChooser& choose, TBitmap& out, int* fullWidth,
                        int* fullHeight) {
    const PictureHeader header = decoder.ReadHeader();
    if (fullWidth) *fullWidth = header.UprightWidth();
    if (fullHeight) *fullHeight = header.UprightHeight();
    int targetWidth = 0, targetHeight = 0;
    choose(header.UprightWidth(), header.UprightHeight(), targetWidth, targetHeight);
    if (targetWidth <= 0 || targetHeight <= 0) {
        TBitmap empty;
        empty.SetSize(targetWidth, targetHeight);
        out = std::move(empty);
        return;
    }
    PointSampler sampler(header.orientation, targetWidth, targetHeight);
    DecodeRequest request;
    request.targetWidth = targetWidth;
    request.targetHeight = targetHeight;
    decoder.Decode(request, sampler);
    out = sampler.Result();
}

void DecodeWhole(PictureDecoder& decoder, TBitmap& out) {
    const PictureHeader header = decoder.ReadHeader();
    WholePicture whole(header.orientation);
    decoder.Decode(DecodeRequest(), whole);
    out = whole.Result();
}

}  // namespace imaging
