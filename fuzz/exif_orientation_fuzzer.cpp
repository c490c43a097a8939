// The EXIF orientation: the tag read from an APP1 segment's bytes, and the
// same bytes as the APP1 segment of a small JPEG picture, read while the
// header is read and applied by the streaming point-sampled path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzTouch.h"
#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"
#include "imaging/Picture.h"
#include "platform/Exception.h"

namespace {

volatile uint64_t sink;

// A 9 x 5 colour picture, encoded once.
const std::string& SmallPicture() {
    static const std::string bytes = [] {
        TBitmap b;
        b.SetSize(9, 5);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 9; ++x) b.SetPixel(x, y, RGBColor(28 * x, 50 * y, 7 * x * y));
        return EncodeJpegBytes(b, 90);
    }();
    return bytes;
}

int Orientation(const std::string& block) {
    int o = imaging::ExifOrientation(block.data(), block.size());
    if (o < 1 || o > 8) __builtin_trap();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    Orientation(block);
    // Most inputs lack the "Exif" name; the TIFF structure after it is what
    // the library parses.
    std::string named = std::string("Exif\0\0", 6) + block;
    if (named.size() > imaging::ExifSegmentMaxBytes) named.resize(imaging::ExifSegmentMaxBytes);
    const int orientation = Orientation(named);

    const std::string& picture = SmallPicture();
    const size_t length = named.size() + 2;
    std::string file = picture.substr(0, 2);
    file += '\xFF';
    file += '\xE1';
    file += static_cast<char>(length >> 8);
    file += static_cast<char>(length & 0xFF);
    file += named;
    file.append(picture, 2, std::string::npos);
    try {
        TBitmap sampled;
        int w = 0, h = 0;
        DecodeJpegPointSampled(file.data(), file.size(), 4, 7, sampled, &w, &h);
        // The size reported is the upright picture's.
        if (w != (imaging::SwapsSides(orientation) ? 5 : 9)) __builtin_trap();
        if (sampled.Width() != 4 || sampled.Height() != 7) __builtin_trap();
        sink = sink + TouchEveryPixel(sampled);
    } catch (const Exception&) {
        __builtin_trap();  // the picture itself is sound: no EXIF block may break it
    }
    return 0;
}
