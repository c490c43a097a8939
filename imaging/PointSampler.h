// Consumers of a PictureDecoder's rows: the point sampling that makes
// thumbnails and slides (only the rows and columns it takes are kept), and the
// whole picture. Both hand back the upright picture.
#pragma once
#include <functional>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/PictureFormat.h"

namespace imaging {

// Samples delivered rows onto a target of the upright picture: the same pixels
// as the whole delivered picture turned upright (OrientUpright) and then
// stretched (TBitmap::StretchedCopy) to the target, without holding either.
// The grid is the upright picture's (SampleSource over the upright size),
// carried back through the orientation; the small result is turned upright at
// the end.
class PointSampler : public RowSink {
public:
    // orientation: of the delivered rows (1..8); target: the upright size, both > 0.
    PointSampler(int orientation, int targetWidth, int targetHeight);

    void Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) override;
    int NextWanted(int y) const override;
    void Row(int y, const uint8_t* pixels) override;

    // The upright result (rows never delivered are black). Empty before Begin.
    TBitmap Result() const;

private:
    int orientation_;
    int targetWidth_, targetHeight_;
    int sampledWidth_ = 0, sampledHeight_ = 0;  // in the stored orientation
    int bytesPerPixel_ = 3;
    std::vector<size_t> columns_;  // byte offset in a delivered row, per sampled column
    std::vector<int> rows_;        // delivered row, per sampled row (non-decreasing)
    size_t nextRow_ = 0;           // first sampled row not yet filled
    int height_ = 0;               // of the delivered picture
    TBitmap bitmap_;
};

// Keeps every delivered row; the result is the whole picture, upright.
class WholePicture : public RowSink {
public:
    explicit WholePicture(int orientation) : orientation_(orientation) {}
    void Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) override;
    int NextWanted(int y) const override { return y; }
    void Row(int y, const uint8_t* pixels) override;
    TBitmap Result() const;

private:
    int orientation_;
    TBitmap bitmap_;
};

// Hands a decoded bitmap's rows to a sink (for decoders that make the whole
// picture at once): the rows it wants, in its layout and palette.
void DeliverRows(const TBitmap& picture, RowSink& sink);

// The target size from the upright full size: choose(fullWidth, fullHeight,
// targetWidth, targetHeight).
using TargetChooser = std::function<void(int fullWidth, int fullHeight, int& targetWidth, int& targetHeight)>;

// Reads the header, lets choose pick the upright target, and decodes through a
// PointSampler (the decoder told the target, so that it may decode less).
// fullWidth and fullHeight receive the upright size. A target width or height
// of 0 or less gives an empty bitmap of that size, decoding nothing.
void DecodePointSampled(PictureDecoder& decoder, const TargetChooser& choose, TBitmap& out, int* fullWidth = nullptr,
                        int* fullHeight = nullptr);

// The whole picture, upright, at full size.
void DecodeWhole(PictureDecoder& decoder, TBitmap& out);

}  // namespace imaging
