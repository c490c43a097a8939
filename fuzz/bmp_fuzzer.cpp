// BMP reading: every header kind, bit depth and compression.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzTouch.h"
#include "imaging/Bmp.h"
#include "platform/Exception.h"

namespace {
// Larger pictures only make each run slower, not the code paths different.
constexpr int64_t MaxFuzzPixels = int64_t(1) << 20;
volatile uint64_t sink;

int64_t Le(const uint8_t* p, int bytes) {
    int64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The size the header claims (core header: 16-bit fields, else 32-bit signed).
    if (size >= 26) {
        bool core = Le(data + 14, 4) == 12;
        int64_t w = core ? Le(data + 18, 2) : static_cast<int32_t>(Le(data + 18, 4));
        int64_t h = core ? Le(data + 20, 2) : static_cast<int32_t>(Le(data + 22, 4));
        if (std::llabs(w) * std::llabs(h) > MaxFuzzPixels) return 0;
    }
    try {
        TBitmap bitmap;
        ReadBmp(data, size, bitmap);
        sink = sink + TouchEveryPixel(bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
