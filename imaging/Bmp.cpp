#include "imaging/Bmp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/Limits.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3;
constexpr uint32_t CoreHeaderSize = 12, InfoHeaderSize = 40;

[[noreturn]] void Invalid() { throw Exception("Bitmap image is not valid"); }
[[noreturn]] void ShortRead() { throw Exception("Stream read error"); }

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// One colour channel of a 16- or 32-bit pixel, scaled to 8 bits by repeating
// its bits (so that the channel's maximum becomes 255).
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    // False for a mask whose bits are not contiguous.
    bool Set(uint32_t m) {
        mask = m;
        shift = bits = 0;
        if (!m) return true;
        while (!((m >> shift) & 1)) ++shift;
        uint32_t v = m >> shift;
        while (bits < 32 && ((v >> bits) & 1)) ++bits;
        return bits == 32 || (v >> bits) == 0;
    }
    uint8_t Value(uint32_t pixel) const {
        if (!bits) return 0;
        uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
        uint32_t r = 0;
        for (int s = 8 - bits; s > -bits; s -= bits) r |= s >= 0 ? v << s : v >> -s;
        return static_cast<uint8_t>(r);
    }
};

// What the headers say, once checked.
struct Header {
    int64_t width = 0;
    int64_t height = 0;  // rows, positive
    bool topDown = false;
    int bitCount = 0;
    uint32_t compression = BI_RGB;
    uint32_t imageSize = 0;  // bytes of (compressed) pixel data, 0 when not given
    Channel red, green, blue;
    std::vector<TColor> palette;
    int64_t pixelOffset = 0;  // from the start of the file
};

// The reader's state: the stream, where the file starts in it and how long it is.
class BmpReader {
public:
    explicit BmpReader(Stream& stream) : stream_(stream) {
        start_ = stream.Position();
        int64_t size = stream.Size();
        length_ = (start_ >= 0 && size >= start_) ? size - start_ : -1;
    }

    void Read(TBitmap& out) {
        Header h = ReadHeaders();
        TBitmap bitmap;
        if (h.bitCount <= 8) bitmap.SetPixelFormat(pf8bit);
        bitmap.SetSize(static_cast<int>(h.width), static_cast<int>(h.height));
        if (h.bitCount <= 8) bitmap.SetPalette(h.palette);
        SeekTo(h.pixelOffset);
        if (h.compression == BI_RLE8 || h.compression == BI_RLE4)
            ReadRle(h, bitmap);
        else
            ReadRows(h, bitmap);
        out = std::move(bitmap);
    }

private:
    void ReadBytes(void* buffer, int64_t count) { stream_.ReadBuffer(buffer, count); }

    void SeekTo(int64_t offset) {
        if (stream_.Seek(start_ + offset, 0) != start_ + offset) ShortRead();
    }

    // The checks come in a fixed order, all before the bitmap is allocated:
    // signature, header kind and dimensions, the format, the palette, the
    // offsets inside the file, the byte count of the pixels.
    Header ReadHeaders() {
        uint8_t file[imaging::BmpFileHeaderSize];
        ReadBytes(file, sizeof file);
        if (file[0] != 'B' || file[1] != 'M') Invalid();
        uint32_t offBits = U32(file + 10);

        uint8_t info[imaging::BmpMaxInfoHeaderSize] = {};
        ReadBytes(info, 4);
        uint32_t headerSize = U32(info);
        bool core = headerSize == CoreHeaderSize;
        if (!core && headerSize != InfoHeaderSize && headerSize != 52 && headerSize != 56 && headerSize != 64 &&
            headerSize != 108 && headerSize != 124)
            Invalid();
        ReadBytes(info + 4, headerSize - 4);

        Header h;
        if (core) {
            h.width = U16(info + 4);
            h.height = U16(info + 6);
            h.bitCount = U16(info + 10);
        } else {
            int32_t w = static_cast<int32_t>(U32(info + 4));
            int32_t ht = static_cast<int32_t>(U32(info + 8));
            h.width = w;
            h.topDown = ht < 0;
            h.height = ht < 0 ? -static_cast<int64_t>(ht) : ht;
            h.bitCount = U16(info + 14);
            h.compression = U32(info + 16);
            h.imageSize = U32(info + 20);
        }
        if (h.width <= 0 || h.height <= 0) Invalid();
        if (h.width > imaging::MaxPixels || h.height > imaging::MaxPixels ||
            h.width * h.height > imaging::MaxPixels)
            throw Exception(BitmapTooLargeMessage);

        switch (h.bitCount) {
            case 1: case 4: case 8: case 16: case 24: case 32: break;
            default: Invalid();
        }
        switch (h.compression) {
            case BI_RGB: break;
            case BI_RLE8: if (h.bitCount != 8 || h.topDown) Invalid(); break;
            case BI_RLE4: if (h.bitCount != 4 || h.topDown) Invalid(); break;
            case BI_BITFIELDS: if ((h.bitCount != 16 && h.bitCount != 32) || headerSize == 64) Invalid(); break;
            default: Invalid();
        }

        int64_t position = imaging::BmpFileHeaderSize + headerSize;
        uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // 16 bits without bit fields: 5-5-5
        if (h.bitCount == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
        if (h.compression == BI_BITFIELDS) {
            uint8_t m[12];
            if (headerSize >= 52) {
                std::memcpy(m, info + 40, 12);
            } else {
                ReadBytes(m, 12);  // the info header is followed by the three masks
                position += 12;
            }
            for (int i = 0; i < 3; ++i) masks[i] = U32(m + 4 * i);
        }
        if (!h.red.Set(masks[0]) || !h.green.Set(masks[1]) || !h.blue.Set(masks[2])) Invalid();

        if (h.bitCount <= 8) {
            uint32_t used = core ? 0 : U32(info + 32);
            uint32_t colours = used ? used : 1u << h.bitCount;
            if (colours > (1u << h.bitCount)) Invalid();
            int entry = core ? 3 : 4;
            if (length_ >= 0 && position + static_cast<int64_t>(colours) * entry > length_) ShortRead();
            std::vector<uint8_t> raw(static_cast<size_t>(colours) * entry);
            ReadBytes(raw.data(), static_cast<int64_t>(raw.size()));
            for (uint32_t i = 0; i < colours; ++i) {
                const uint8_t* q = raw.data() + static_cast<size_t>(i) * entry;
                h.palette.push_back(RGBColor(q[2], q[1], q[0]));
            }
            position += static_cast<int64_t>(raw.size());
        }

        // Where the pixels start: the file header says; 0 means right after the palette.
        h.pixelOffset = offBits ? offBits : position;
        if (h.pixelOffset < imaging::BmpFileHeaderSize + headerSize) Invalid();
        if (length_ >= 0 && h.pixelOffset > length_) ShortRead();

        // The pixel bytes the file must hold, overflow-checked (every factor is
        // bounded: width and height by MaxPixels, bits by 32).
        int64_t available = length_ >= 0 ? length_ - h.pixelOffset : INT64_MAX;
        if (h.compression == BI_RLE8 || h.compression == BI_RLE4) {
            if (h.imageSize > available) ShortRead();
        } else {
            int64_t stride = (h.width * h.bitCount + 31) / 32 * 4;
            if (stride > INT64_MAX / h.height) Invalid();
            if (stride * h.height > available) ShortRead();
        }
        return h;
    }

    int TargetRow(const Header& h, int64_t fileRow) const {
        return static_cast<int>(h.topDown ? fileRow : h.height - 1 - fileRow);
    }

    void ReadRows(const Header& h, TBitmap& bitmap) {
        const size_t stride = static_cast<size_t>((h.width * h.bitCount + 31) / 32 * 4);
        std::vector<uint8_t> row(stride);
        const int width = static_cast<int>(h.width);
        for (int64_t fileRow = 0; fileRow < h.height; ++fileRow) {
            ReadBytes(row.data(), static_cast<int64_t>(stride));
            uint8_t* out = bitmap.MutableScanLine(TargetRow(h, fileRow));
            const uint8_t* in = row.data();
            switch (h.bitCount) {
                case 1:
                    for (int x = 0; x < width; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
                    break;
                case 4:
                    for (int x = 0; x < width; ++x) out[x] = (in[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F;
                    break;
                case 8:
                    std::memcpy(out, in, static_cast<size_t>(width));
                    break;
                case 24:
                    for (int x = 0; x < width; ++x, in += 3, out += 3) {
                        out[0] = in[2];
                        out[1] = in[1];
                        out[2] = in[0];
                    }
                    break;
                case 16:
                case 32: {
                    const int bytes = h.bitCount / 8;
                    for (int x = 0; x < width; ++x, in += bytes, out += 3) {
                        uint32_t pixel = bytes == 2 ? U16(in) : U32(in);
                        out[0] = h.red.Value(pixel);
                        out[1] = h.green.Value(pixel);
                        out[2] = h.blue.Value(pixel);
                    }
                    break;
                }
            }
        }
    }

    // Run-length data, with every run and jump clipped to the bitmap: pixels
    // past the right edge are dropped, decoding ends past the top row. Pixels
    // the data never sets keep index 0.
    void ReadRle(const Header& h, TBitmap& bitmap) {
        int64_t available = length_ >= 0 ? length_ - h.pixelOffset : -1;
        int64_t count = h.imageSize ? h.imageSize : available;
        std::vector<uint8_t> data;
        if (count >= 0) {
            data.resize(static_cast<size_t>(count));
            ReadBytes(data.data(), count);
        } else {
            char block[65536];
            for (int64_t n; (n = stream_.Read(block, sizeof block)) > 0;) data.insert(data.end(), block, block + n);
        }
        const bool four = h.compression == BI_RLE4;
        const int64_t width = h.width, height = h.height;
        int64_t x = 0, y = 0;
        uint8_t* row = bitmap.MutableScanLine(TargetRow(h, 0));
        auto moveTo = [&](int64_t nx, int64_t ny) {
            x = std::min(nx, width);
            if (ny != y) {
                y = std::min(ny, height);
                if (y < height) row = bitmap.MutableScanLine(TargetRow(h, y));
            }
        };
        size_t i = 0;
        const size_t n = data.size();
        while (i + 1 < n && y < height) {
            uint8_t a = data[i], b = data[i + 1];
            i += 2;
            if (a > 0) {  // a pixels of colour b (two alternating colours in RLE4)
                for (int k = 0; k < a && x < width; ++k, ++x) row[x] = four ? ((k & 1) ? b & 0x0F : b >> 4) : b;
                continue;
            }
            if (b == 0) {  // end of line
                moveTo(0, y + 1);
            } else if (b == 1) {  // end of bitmap
                break;
            } else if (b == 2) {  // jump right and up
                if (i + 1 >= n) break;
                moveTo(x + data[i], y + data[i + 1]);
                i += 2;
            } else {  // b literal pixels, padded to a 16-bit boundary
                size_t bytes = four ? (b + 1) / 2 : b;
                for (int k = 0; k < b && x < width; ++k, ++x) {
                    size_t at = i + (four ? k / 2 : k);
                    if (at >= n) break;
                    uint8_t v = data[at];
                    row[x] = four ? ((k & 1) ? v & 0x0F : v >> 4) : v;
                }
                i += (bytes + 1) & ~size_t(1);
            }
        }
    }

    Stream& stream_;
    int64_t start_ = 0;
    int64_t length_ = -1;  // bytes from start_ to the end, -1 when unknown
};

}  // namespace

void LoadBmpFromStream(Stream& stream, TBitmap& out) { BmpReader(stream).Read(out); }

void ReadBmp(const void* data, size_t size, TBitmap& out) {
    MemoryStream stream;
    stream.Data().assign(static_cast<const char*>(data), size);
    LoadBmpFromStream(stream, out);
}
