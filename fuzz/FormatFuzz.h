// Shared by the harnesses of the formats read through libraries: a picture's
// header, then (for pictures small enough to keep runs short) the whole
// picture and thumbnails of sizes that vary with the input, every output
// byte read so that the sanitizers see a wrong size or an unwritten byte.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "FuzzTouch.h"
#include "imaging/PictureFormat.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"

namespace fuzz_formats {

// Larger pictures only make each run slower, not the code paths different.
constexpr int64_t MaxFuzzPixels = int64_t(1) << 20;

inline void Exercise(const imaging::PictureFormat& format, const uint8_t* data, size_t size) {
    static volatile uint64_t sink;
    (void)format.Recognises(data, size);
    // Through a file too: the decoders read files through a stream, not as
    // bytes (HEIF's boxes are walked on the stream).
    static const std::string path = "/tmp/pictorama-fuzz-" + std::to_string(getpid()) + ".picture";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
    try {
        auto decoder = format.Open(path);
        const imaging::PictureHeader stored = decoder->ReadHeader();
        if (static_cast<int64_t>(stored.storedWidth) * stored.storedHeight <= MaxFuzzPixels) {
            TBitmap sampled;
            imaging::DecodePointSampled(*decoder, [](int, int, int& w, int& h) { w = 7; h = 5; }, sampled);
            sink = sink + TouchEveryPixel(sampled);
        }
    } catch (const Exception&) {
    }
    try {
        auto header = format.OpenBytes(data, size);
        const imaging::PictureHeader h = header->ReadHeader();
        if (h.orientation < 1 || h.orientation > 8 || h.storedWidth < 0 || h.storedHeight < 0) __builtin_trap();
        if (static_cast<int64_t>(h.storedWidth) * h.storedHeight > MaxFuzzPixels) return;
    } catch (const Exception&) {
        return;
    }
    try {
        auto decoder = format.OpenBytes(data, size);
        TBitmap whole;
        imaging::DecodeWhole(*decoder, whole);
        sink = sink + TouchEveryPixel(whole);
    } catch (const Exception&) {
    }
    try {
        auto decoder = format.OpenBytes(data, size);
        TBitmap sampled;
        int fullWidth = 0, fullHeight = 0;
        // Shrinking and enlarging, and the targets the preview and the
        // scaled decode take.
        const int tw = 1 + static_cast<int>(size % 97), th = 1 + static_cast<int>((size / 97) % 71);
        imaging::DecodePointSampled(
            *decoder, [&](int, int, int& w, int& h) { w = tw; h = th; }, sampled, &fullWidth, &fullHeight);
        if (sampled.Width() != tw || sampled.Height() != th) __builtin_trap();
        sink = sink + TouchEveryPixel(sampled);
    } catch (const Exception&) {
    }
}

}  // namespace fuzz_formats
