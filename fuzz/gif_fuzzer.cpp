// GIF reading from untrusted bytes: the whole reader, then the first frame
// as a bitmap, every output byte read so that a wrong size or an
// uninitialised byte shows under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/Gif.h"

namespace {
// Pictures up to 1 Mpixel keep each run short; the size check itself is
// exercised all the same, just at a lower bound.
constexpr uint64_t kFuzzMaxPixels = uint64_t(1) << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TGIFImage image;
    image.MaxPixels = kFuzzMaxPixels;
    size_t warnings = 0;
    image.OnWarning = [&warnings](int, const std::string& message) { warnings += message.size(); };
    image.OnProgress = [](int percent) {
        if (percent < 0 || percent > 100) __builtin_trap();
    };
    try {
        image.LoadFromMemory(data, size);
    } catch (const EGIFError&) {
        return 0;
    }

    uint32_t sum = static_cast<uint32_t>(warnings);
    for (const TGIFSubImage& frame : image.Frames()) {
        if (const uint8_t* pixels = frame.Pixels())
            for (size_t i = 0, n = static_cast<size_t>(frame.Width()) * frame.Height(); i < n; ++i) sum += pixels[i];
        for (uint8_t v : frame.TransparencyMask()) sum += v;
        for (const TGIFColor& c : image.ActiveColorMap(frame)) sum += c.Red + c.Green + c.Blue;
    }
    TBitmap bitmap;
    image.AssignTo(bitmap);
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (size_t x = 0; x < bitmap.RowBytes(); ++x) sum += row[x];
    }
    for (TColor c : bitmap.Palette()) sum += static_cast<uint32_t>(c);
    // Keeps the reads from being optimised away.
    volatile uint32_t sink = sum;
    (void)sink;
    return 0;
}
