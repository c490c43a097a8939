#include "imaging/Picture.h"

#include <cstring>
#include <vector>

#include "imaging/Bmp.h"
#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace {

// Full-size rows in, point-sampled rows out. The picture is sampled where the
// upright picture's point-sampling grid falls (SampleSource over the upright
// width and height, carried back through the orientation), in the stored
// orientation, and the small result is then turned upright: the same pixels as
// a full decode turned upright and stretched, without holding either.
//
// Row sy of the picture is the source of a sampled row exactly when the
// stretch would take it; the rows in between are skipped, except after the
// greyscale quantiser, whose Floyd-Steinberg dithering carries each row's
// error into the next: there every row up to the last sampled one is decoded
// (and dropped) so that the sampled rows come out as in a full decode.
void PointSample(JpegReader& reader, const ChooseTargetSize& choose, TBitmap& out, int* fullWidth, int* fullHeight) {
    reader.KeepExifSegment();
    reader.ReadHeader();
    const std::string& exif = reader.ExifSegment();
    const int orientation = exif.empty() ? 1 : imaging::ExifOrientation(exif.data(), exif.size());
    const bool swapped = imaging::SwapsSides(orientation);
    const int uprightWidth = swapped ? reader.ImageHeight() : reader.ImageWidth();
    const int uprightHeight = swapped ? reader.ImageWidth() : reader.ImageHeight();
    if (fullWidth) *fullWidth = uprightWidth;
    if (fullHeight) *fullHeight = uprightHeight;
    int targetWidth = 0, targetHeight = 0;
    choose(uprightWidth, uprightHeight, targetWidth, targetHeight);
    TBitmap bitmap;
    if (targetWidth <= 0 || targetHeight <= 0) {
        if (reader.SourceGrayscale()) bitmap.SetPixelFormat(pf8bit);
        bitmap.SetSize(targetWidth, targetHeight);
        out = std::move(bitmap);
        return;
    }
    reader.Start(JpegDecodeOptions());  // the full decode's settings: best quality, 24 bits
    const int components = reader.OutputComponents();
    const bool indexed = components == 1;
    // The sampled picture in the stored orientation.
    const int sampledWidth = swapped ? targetHeight : targetWidth;
    const int sampledHeight = swapped ? targetWidth : targetHeight;
    if (indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(sampledWidth, sampledHeight);
    if (indexed) bitmap.SetPalette(reader.Colormap());

    // Mirrored along an axis, the grid is taken from the far end: sample i of
    // the stored axis is upright sample count-1-i, at the mirrored position.
    const int sourceWidth = reader.OutputWidth(), sourceHeight = reader.OutputHeight();
    int cornerX = 0, cornerY = 0;  // where the upright picture's top-left pixel is stored
    imaging::StoredPosition(orientation, 0, 0, sourceWidth, sourceHeight, cornerX, cornerY);
    const bool mirrorColumns = cornerX != 0, mirrorRows = cornerY != 0;
    auto sample = [](int i, int sourceLength, int count, bool mirrored) {
        return mirrored ? sourceLength - 1 - SampleSource(count - 1 - i, sourceLength, count)
                        : SampleSource(i, sourceLength, count);
    };
    std::vector<size_t> columns(static_cast<size_t>(sampledWidth));
    for (int x = 0; x < sampledWidth; ++x)
        columns[x] = static_cast<size_t>(sample(x, sourceWidth, sampledWidth, mirrorColumns)) * components;
    std::vector<uint8_t> row(static_cast<size_t>(sourceWidth) * components);
    uint8_t* rowPointer = row.data();
    const size_t targetRowBytes = bitmap.RowBytes();

    int previous = -1;
    for (int y = 0; y < sampledHeight; ++y) {
        uint8_t* target = bitmap.MutableScanLine(y);
        int sy = sample(y, sourceHeight, sampledHeight, mirrorRows);
        if (sy == previous) {  // enlarging: the row just made, again
            std::memcpy(target, bitmap.ScanLine(y - 1), targetRowBytes);
            continue;
        }
        int gap = sy - reader.OutputScanline();
        if (gap > 0) {
            if (indexed)
                while (gap-- > 0) reader.ReadRows(&rowPointer, 1);
            else
                reader.SkipRows(gap);
        }
        reader.ReadRows(&rowPointer, 1);
        if (components == 3) {
            for (int x = 0; x < sampledWidth; ++x) {
                const uint8_t* p = rowPointer + columns[x];
                target[3 * x] = p[0];
                target[3 * x + 1] = p[1];
                target[3 * x + 2] = p[2];
            }
        } else {
            for (int x = 0; x < sampledWidth; ++x) target[x] = rowPointer[columns[x]];
        }
        previous = sy;
    }
    out = orientation == 1 ? std::move(bitmap) : imaging::OrientUpright(bitmap, orientation);
}

ChooseTargetSize FixedSize(int width, int height) {
    return [width, height](int, int, int& w, int& h) {
        w = width;
        h = height;
    };
}

}  // namespace

bool ReadJpegSize(const std::string& path, int& width, int& height) {
    try {
        FileStream file(path, platform::OpenMode::Read);
        return ReadJpegHeader(file, width, height);
    } catch (const std::exception&) {
        return false;
    }
}

// What a TJPEGImage with the best-quality setting decodes, but read from the
// file in blocks instead of holding all its bytes first (for a camera file
// that saves a thousand page faults).
void LoadJpegFile(const std::string& path, TBitmap& out) {
    FileStream file(path, platform::OpenMode::Read);
    JpegReader reader(file);
    DecodeJpeg(reader, JpegDecodeOptions(), out);
}

void LoadJpegPointSampled(const std::string& path, int targetWidth, int targetHeight, TBitmap& out, int* fullWidth,
                          int* fullHeight) {
    FileStream file(path, platform::OpenMode::Read);
    JpegReader reader(file);
    PointSample(reader, FixedSize(targetWidth, targetHeight), out, fullWidth, fullHeight);
}

void LoadJpegPointSampled(const std::string& path, const ChooseTargetSize& choose, TBitmap& out, int* fullWidth,
                          int* fullHeight) {
    FileStream file(path, platform::OpenMode::Read);
    JpegReader reader(file);
    PointSample(reader, choose, out, fullWidth, fullHeight);
}

void DecodeJpegPointSampled(const void* data, size_t size, int targetWidth, int targetHeight, TBitmap& out,
                            int* fullWidth, int* fullHeight) {
    JpegReader reader(data, size);
    PointSample(reader, FixedSize(targetWidth, targetHeight), out, fullWidth, fullHeight);
}

void LoadBmpFile(const std::string& path, TBitmap& out) {
    FileStream file(path, platform::OpenMode::Read);
    LoadBmpFromStream(file, out);
}

std::string EncodeJpeg(const TBitmap& bitmap, int quality) {
    TJPEGImage jpeg;
    jpeg.Assign(bitmap);
    jpeg.SetCompressionQuality(quality);
    jpeg.Encode();
    return jpeg.Data();
}

void SaveJpegFile(const TBitmap& bitmap, const std::string& path, int quality) {
    TJPEGImage jpeg;
    jpeg.Assign(bitmap);
    jpeg.SetCompressionQuality(quality);
    jpeg.Encode();
    jpeg.SaveToFile(path);
}
