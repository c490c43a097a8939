#include "imaging/Picture.h"

#include <algorithm>
#include <cstring>
#include <memory>
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

// The sampling grid of one picture, from its header.
struct SampleGrid {
    int orientation = 1;
    int targetWidth = 0, targetHeight = 0;    // the upright result
    int sampledWidth = 0, sampledHeight = 0;  // the same in the stored orientation
    bool Empty() const { return targetWidth <= 0 || targetHeight <= 0; }
};

SampleGrid ReadGrid(JpegReader& reader, const ChooseTargetSize& choose, int* fullWidth, int* fullHeight) {
    reader.KeepExifSegment();
    reader.ReadHeader();
    const std::string& exif = reader.ExifSegment();
    SampleGrid grid;
    grid.orientation = exif.empty() ? 1 : imaging::ExifOrientation(exif.data(), exif.size());
    const bool swapped = imaging::SwapsSides(grid.orientation);
    const int uprightWidth = swapped ? reader.ImageHeight() : reader.ImageWidth();
    const int uprightHeight = swapped ? reader.ImageWidth() : reader.ImageHeight();
    if (fullWidth) *fullWidth = uprightWidth;
    if (fullHeight) *fullHeight = uprightHeight;
    choose(uprightWidth, uprightHeight, grid.targetWidth, grid.targetHeight);
    grid.sampledWidth = swapped ? grid.targetHeight : grid.targetWidth;
    grid.sampledHeight = swapped ? grid.targetWidth : grid.targetHeight;
    return grid;
}

// One decoding pass over a started reader: the sampled rows rowBegin to
// rowEnd - 1 (stored orientation), each handed to take(y, row) as it is made,
// row holding grid.sampledWidth pixels of reader.OutputComponents() bytes.
template <typename Take>
void SampleRows(JpegReader& reader, const SampleGrid& grid, int rowBegin, int rowEnd, Take take) {
    const int components = reader.OutputComponents();
    const bool indexed = components == 1;
    // Mirrored along an axis, the grid is taken from the far end: sample i of
    // the stored axis is upright sample count-1-i, at the mirrored position.
    const int sourceWidth = reader.OutputWidth(), sourceHeight = reader.OutputHeight();
    int cornerX = 0, cornerY = 0;  // where the upright picture's top-left pixel is stored
    imaging::StoredPosition(grid.orientation, 0, 0, sourceWidth, sourceHeight, cornerX, cornerY);
    const bool mirrorColumns = cornerX != 0, mirrorRows = cornerY != 0;
    auto sample = [](int i, int sourceLength, int count, bool mirrored) {
        return mirrored ? sourceLength - 1 - SampleSource(count - 1 - i, sourceLength, count)
                        : SampleSource(i, sourceLength, count);
    };
    std::vector<size_t> columns(static_cast<size_t>(grid.sampledWidth));
    for (int x = 0; x < grid.sampledWidth; ++x)
        columns[x] = static_cast<size_t>(sample(x, sourceWidth, grid.sampledWidth, mirrorColumns)) * components;
    std::vector<uint8_t> row(static_cast<size_t>(sourceWidth) * components);
    std::vector<uint8_t> sampled(static_cast<size_t>(grid.sampledWidth) * components);
    uint8_t* rowPointer = row.data();

    int previous = -1;
    for (int y = rowBegin; y < rowEnd; ++y) {
        int sy = sample(y, sourceHeight, grid.sampledHeight, mirrorRows);
        if (sy != previous) {  // enlarging repeats the row just made
            int gap = sy - reader.OutputScanline();
            if (gap > 0) {
                if (indexed)
                    while (gap-- > 0) reader.ReadRows(&rowPointer, 1);
                else
                    reader.SkipRows(gap);
            }
            reader.ReadRows(&rowPointer, 1);
            if (components == 3) {
                for (int x = 0; x < grid.sampledWidth; ++x) {
                    const uint8_t* p = rowPointer + columns[x];
                    sampled[3 * x] = p[0];
                    sampled[3 * x + 1] = p[1];
                    sampled[3 * x + 2] = p[2];
                }
            } else {
                for (int x = 0; x < grid.sampledWidth; ++x) sampled[x] = rowPointer[columns[x]];
            }
            previous = sy;
        }
        take(y, sampled.data());
    }
}

void PointSample(JpegReader& reader, const ChooseTargetSize& choose, TBitmap& out, int* fullWidth, int* fullHeight) {
    const SampleGrid grid = ReadGrid(reader, choose, fullWidth, fullHeight);
    TBitmap bitmap;
    if (grid.Empty()) {
        if (reader.SourceGrayscale()) bitmap.SetPixelFormat(pf8bit);
        bitmap.SetSize(grid.targetWidth, grid.targetHeight);
        out = std::move(bitmap);
        return;
    }
    reader.Start(JpegDecodeOptions());  // the full decode's settings: best quality, 24 bits
    const bool indexed = reader.OutputComponents() == 1;
    if (indexed) bitmap.SetPixelFormat(pf8bit);
    bitmap.SetSize(grid.sampledWidth, grid.sampledHeight);
    if (indexed) bitmap.SetPalette(reader.Colormap());
    const size_t rowBytes = bitmap.RowBytes();
    SampleRows(reader, grid, 0, grid.sampledHeight,
               [&](int y, const uint8_t* row) { std::memcpy(bitmap.MutableScanLine(y), row, rowBytes); });
    out = grid.orientation == 1 ? std::move(bitmap) : imaging::OrientUpright(bitmap, grid.orientation);
}

// The upright picture's rows as the encoder takes them (R, G, B), from
// sampled pixels of the reader's output components and palette.
class RgbRow {
public:
    RgbRow(int width, int components, std::vector<TColor> palette)
        : rgb_(static_cast<size_t>(width) * 3), components_(components), palette_(std::move(palette)) {}
    void Set(int x, const uint8_t* pixel) {
        uint8_t* target = &rgb_[static_cast<size_t>(x) * 3];
        if (components_ == 3) {
            target[0] = pixel[0];
            target[1] = pixel[1];
            target[2] = pixel[2];
            return;
        }
        // As a bitmap converted to 24 bits reads it: an index beyond the palette is black.
        TColor c = *pixel < palette_.size() ? palette_[*pixel] : 0;
        target[0] = static_cast<uint8_t>(RedOf(c));
        target[1] = static_cast<uint8_t>(GreenOf(c));
        target[2] = static_cast<uint8_t>(BlueOf(c));
    }
    void WriteTo(JpegWriter& writer) const {
        const uint8_t* row = rgb_.data();
        writer.WriteRows(&row, 1);
    }

private:
    std::vector<uint8_t> rgb_;
    int components_;
    std::vector<TColor> palette_;
};

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

bool ReadJpegUprightSize(Stream& picture, int& width, int& height) {
    try {
        JpegReader reader(picture, imaging::JpegHeaderBlockBytes);
        ReadGrid(reader, [](int, int, int&, int&) {}, &width, &height);
        return true;
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

void WriteJpegPointSampled(Stream& picture, const ChooseTargetSize& choose, int quality, Stream& out, int* fullWidth,
                           int* fullHeight, size_t bandBytes) {
    const int64_t start = picture.Position();
    auto reader = std::make_unique<JpegReader>(picture);
    const SampleGrid grid = ReadGrid(*reader, choose, fullWidth, fullHeight);
    if (grid.Empty()) return;  // an empty picture is written as no bytes at all
    reader->Start(JpegDecodeOptions());
    const int components = reader->OutputComponents();
    JpegWriter writer(out, grid.targetWidth, grid.targetHeight, quality);
    RgbRow rgb(grid.targetWidth, components, reader->Colormap());
    const int o = grid.orientation;
    const int sw = grid.sampledWidth, sh = grid.sampledHeight;

    if (o == 1 || o == 2) {
        // The upright rows are the stored rows in order (mirrored for 2):
        // each goes to the encoder as soon as it is sampled.
        SampleRows(*reader, grid, 0, sh, [&](int, const uint8_t* row) {
            for (int x = 0; x < sw; ++x) rgb.Set(x, row + static_cast<size_t>(o == 1 ? x : sw - 1 - x) * components);
            rgb.WriteTo(writer);
        });
        writer.Finish();
        return;
    }

    // Turned or flipped: the first upright rows come from the last stored rows
    // or from every stored row, so upright rows are made a band at a time, the
    // band's stored pixels held (at most bandBytes) and the picture decoded
    // once per band.
    const size_t uprightRowBytes = static_cast<size_t>(grid.targetWidth) * components;
    const int bandRows = static_cast<int>(
        std::clamp<size_t>(bandBytes / uprightRowBytes, 1, static_cast<size_t>(grid.targetHeight)));
    for (int y0 = 0; y0 < grid.targetHeight; y0 += bandRows) {
        const int y1 = std::min(grid.targetHeight, y0 + bandRows);
        // The stored rectangle of the upright rows y0 to y1 - 1.
        int ax = 0, ay = 0, bx = 0, by = 0;
        imaging::StoredPosition(o, 0, y0, sw, sh, ax, ay);
        imaging::StoredPosition(o, grid.targetWidth - 1, y1 - 1, sw, sh, bx, by);
        const int left = std::min(ax, bx), top = std::min(ay, by);
        const int bandWidth = std::max(ax, bx) - left + 1, bandHeight = std::max(ay, by) - top + 1;
        if (y0 > 0) {
            // One decompression at a time: a progressive picture's holds all
            // its coefficients.
            reader.reset();
            if (picture.Seek(start, 0) != start) throw Exception("Stream read error");
            reader = std::make_unique<JpegReader>(picture);
            reader->ReadHeader();
            reader->Start(JpegDecodeOptions());
        }
        std::vector<uint8_t> band(static_cast<size_t>(bandWidth) * bandHeight * components);
        SampleRows(*reader, grid, top, top + bandHeight, [&](int y, const uint8_t* row) {
            std::memcpy(&band[static_cast<size_t>(y - top) * bandWidth * components],
                        row + static_cast<size_t>(left) * components, static_cast<size_t>(bandWidth) * components);
        });
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < grid.targetWidth; ++x) {
                int sx = 0, sy = 0;
                imaging::StoredPosition(o, x, y, sw, sh, sx, sy);
                rgb.Set(x, &band[(static_cast<size_t>(sy - top) * bandWidth + (sx - left)) * components]);
            }
            rgb.WriteTo(writer);
        }
    }
    writer.Finish();
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
