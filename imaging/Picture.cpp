#include "imaging/Picture.h"

#include <cstring>
#include <vector>

#include "imaging/Bmp.h"
#include "imaging/Jpeg.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace {

// Full-size rows in, point-sampled rows out. Row sy of the picture is the
// source of target row ty exactly when StretchDraw would take it, because both
// use SampleSource; the rows in between are skipped, except after the
// greyscale quantiser, whose Floyd-Steinberg dithering carries each row's
// error into the next: there every row up to the last sampled one is decoded
// (and dropped) so that the sampled rows come out as in a full decode.
void PointSample(JpegReader& reader, const ChooseTargetSize& choose, TBitmap& out, int* fullWidth, int* fullHeight) {
    reader.ReadHeader();
    if (fullWidth) *fullWidth = reader.ImageWidth();
    if (fullHeight) *fullHeight = reader.ImageHeight();
    int targetWidth = 0, targetHeight = 0;
    choose(reader.ImageWidth(), reader.ImageHeight(), targetWidth, targetHeight);
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
    if (indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(targetWidth, targetHeight);
    if (indexed) bitmap.SetPalette(reader.Colormap());

    const int sourceWidth = reader.OutputWidth(), sourceHeight = reader.OutputHeight();
    std::vector<size_t> columns(static_cast<size_t>(targetWidth));
    for (int x = 0; x < targetWidth; ++x)
        columns[x] = static_cast<size_t>(SampleSource(x, sourceWidth, targetWidth)) * components;
    std::vector<uint8_t> row(static_cast<size_t>(sourceWidth) * components);
    uint8_t* rowPointer = row.data();
    const size_t targetRowBytes = bitmap.RowBytes();

    int previous = -1;
    for (int y = 0; y < targetHeight; ++y) {
        uint8_t* target = bitmap.MutableScanLine(y);
        int sy = SampleSource(y, sourceHeight, targetHeight);
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
            for (int x = 0; x < targetWidth; ++x) {
                const uint8_t* p = rowPointer + columns[x];
                target[3 * x] = p[0];
                target[3 * x + 1] = p[1];
                target[3 * x + 2] = p[2];
            }
        } else {
            for (int x = 0; x < targetWidth; ++x) target[x] = rowPointer[columns[x]];
        }
        previous = sy;
    }
    out = std::move(bitmap);
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
