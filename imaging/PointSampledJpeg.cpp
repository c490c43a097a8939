#include "imaging/PointSampledJpeg.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"

namespace imaging {

namespace {

// Takes the sampled pixels of a rectangle of the sampled grid (stored
// orientation) from the delivered rows, as R, G, B: left, top, width x height.
// A palette index beyond the palette reads black, as a bitmap converted to
// 24 bits reads it; rows the decoder never delivers stay black.
class RectangleSampler : public RowSink {
public:
    RectangleSampler(int orientation, int sampledWidth, int sampledHeight, int left, int top, int width, int height,
                     std::function<void(int row, const uint8_t* rgb)> take)
        : orientation_(orientation),
          sampledWidth_(sampledWidth),
          sampledHeight_(sampledHeight),
          left_(left),
          top_(top),
          width_(width),
          height_(height),
          take_(std::move(take)),
          rgb_(static_cast<size_t>(width) * 3) {}

    void Begin(int width, int height, RowLayout layout, const std::vector<TColor>& palette) override {
        SampledPositions(orientation_, width, height, sampledWidth_, sampledHeight_, columns_, rows_);
        indexed_ = layout == RowLayout::Indexed;
        palette_ = palette;
        delivered_ = height;
        next_ = top_;
    }
    int NextWanted(int y) const override {
        for (int i = next_; i < top_ + height_; ++i)
            if (rows_[i] >= y) return rows_[i];
        return delivered_;
    }
    void Row(int y, const uint8_t* pixels) override {
        while (next_ < top_ + height_ && rows_[next_] < y) Black();
        while (next_ < top_ + height_ && rows_[next_] == y) {
            for (int x = 0; x < width_; ++x) {
                const size_t column = static_cast<size_t>(columns_[left_ + x]);
                uint8_t* target = &rgb_[static_cast<size_t>(x) * 3];
                if (!indexed_) {
                    std::memcpy(target, pixels + column * 3, 3);
                } else {
                    const uint8_t index = pixels[column];
                    const TColor c = index < palette_.size() ? palette_[index] : 0;
                    target[0] = static_cast<uint8_t>(RedOf(c));
                    target[1] = static_cast<uint8_t>(GreenOf(c));
                    target[2] = static_cast<uint8_t>(BlueOf(c));
                }
            }
            take_(next_++, rgb_.data());
        }
    }
    // The rows the decoder did not deliver, black.
    void Finish() {
        while (next_ < top_ + height_) Black();
    }

private:
    void Black() {
        std::fill(rgb_.begin(), rgb_.end(), 0);
        take_(next_++, rgb_.data());
    }

    int orientation_, sampledWidth_, sampledHeight_;
    int left_, top_, width_, height_;
    std::function<void(int, const uint8_t*)> take_;
    std::vector<uint8_t> rgb_;
    std::vector<int> columns_, rows_;
    bool indexed_ = false;
    std::vector<TColor> palette_;
    int delivered_ = 0;
    int next_ = 0;
};

}  // namespace

void WritePointSampledJpeg(const DecoderOpener& open, const TargetChooser& choose, int quality, Stream& out,
                           int* fullWidth, int* fullHeight, size_t bandBytes) {
    std::unique_ptr<PictureDecoder> decoder = open();
    const PictureHeader header = decoder->ReadHeader();
    if (fullWidth) *fullWidth = header.UprightWidth();
    if (fullHeight) *fullHeight = header.UprightHeight();
    int targetWidth = 0, targetHeight = 0;
    choose(header.UprightWidth(), header.UprightHeight(), targetWidth, targetHeight);
    if (targetWidth <= 0 || targetHeight <= 0) return;  // an empty picture is written as no bytes at all
    const int o = header.orientation;
    const bool swapped = SwapsSides(o);
    const int sw = swapped ? targetHeight : targetWidth, sh = swapped ? targetWidth : targetHeight;
    DecodeRequest request;
    request.targetWidth = targetWidth;
    request.targetHeight = targetHeight;
    JpegWriter writer(out, targetWidth, targetHeight, quality);

    if (o == 1 || o == 2) {
        // The upright rows are the stored rows in order (mirrored for 2):
        // each goes to the encoder as soon as it is sampled.
        std::vector<uint8_t> mirrored(static_cast<size_t>(sw) * 3);
        RectangleSampler sampler(o, sw, sh, 0, 0, sw, sh, [&](int, const uint8_t* rgb) {
            const uint8_t* row = rgb;
            if (o == 2) {
                for (int x = 0; x < sw; ++x) std::memcpy(&mirrored[static_cast<size_t>(x) * 3], rgb + (sw - 1 - x) * 3, 3);
                row = mirrored.data();
            }
            writer.WriteRows(&row, 1);
        });
        decoder->Decode(request, sampler);
        sampler.Finish();
        writer.Finish();
        return;
    }

    // Turned or flipped: the first upright rows come from the last stored
    // rows or from every stored row, so upright rows are made a band at a
    // time, the band's stored pixels held (at most bandBytes) and the picture
    // decoded once per band.
    const size_t uprightRowBytes = static_cast<size_t>(targetWidth) * 3;
    const int bandRows =
        static_cast<int>(std::clamp<size_t>(bandBytes / uprightRowBytes, 1, static_cast<size_t>(targetHeight)));
    std::vector<uint8_t> upright(uprightRowBytes);
    for (int y0 = 0; y0 < targetHeight; y0 += bandRows) {
        const int y1 = std::min(targetHeight, y0 + bandRows);
        // The stored rectangle of the upright rows y0 to y1 - 1.
        int ax = 0, ay = 0, bx = 0, by = 0;
        StoredPosition(o, 0, y0, sw, sh, ax, ay);
        StoredPosition(o, targetWidth - 1, y1 - 1, sw, sh, bx, by);
        const int left = std::min(ax, bx), top = std::min(ay, by);
        const int bandWidth = std::max(ax, bx) - left + 1, bandHeight = std::max(ay, by) - top + 1;
        if (y0 > 0) {
            decoder.reset();  // one decoding at a time
            decoder = open();
            decoder->ReadHeader();
        }
        std::vector<uint8_t> band(static_cast<size_t>(bandWidth) * bandHeight * 3);
        RectangleSampler sampler(o, sw, sh, left, top, bandWidth, bandHeight, [&](int y, const uint8_t* rgb) {
            std::memcpy(&band[static_cast<size_t>(y - top) * bandWidth * 3], rgb, static_cast<size_t>(bandWidth) * 3);
        });
        decoder->Decode(request, sampler);
        sampler.Finish();
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < targetWidth; ++x) {
                int sx = 0, sy = 0;
                StoredPosition(o, x, y, sw, sh, sx, sy);
                std::memcpy(&upright[static_cast<size_t>(x) * 3],
                            &band[(static_cast<size_t>(sy - top) * bandWidth + (sx - left)) * 3], 3);
            }
            const uint8_t* row = upright.data();
            writer.WriteRows(&row, 1);
        }
    }
    writer.Finish();
}

}  // namespace imaging
