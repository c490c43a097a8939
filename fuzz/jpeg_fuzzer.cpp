// JPEG loading: the header, the full decode with the gallery's settings, the
// streaming point-sampled path (into a bitmap, and straight into the encoder),
// and the picture object with other settings.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzTouch.h"
#include "imaging/Jpeg.h"
#include "imaging/Picture.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

namespace {
// Larger pictures only make each run slower, not the code paths different.
constexpr int64_t MaxFuzzPixels = int64_t(1) << 20;
volatile uint64_t sink;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        JpegReader header(data, size);
        header.ReadHeader();
        const int64_t pixels = static_cast<int64_t>(header.ImageWidth()) * header.ImageHeight();
        if (pixels > MaxFuzzPixels) {
            // A progressive picture keeps at least 2 bytes of coefficients
            // per pixel: above the library's memory ceiling its decoding
            // must fail as it starts, before any scan is read, so it costs
            // no more than a small one. Anything else this large is skipped.
            if (header.Progressive() && pixels * 2 > imaging::JpegMaxMemoryBytes) {
                TBitmap sampled;
                bool failed = false;
                try {
                    DecodeJpegPointSampled(data, size, 70, 70, sampled);
                } catch (const Exception&) {
                    failed = true;
                }
                if (!failed) __builtin_trap();
            }
            return 0;
        }
    } catch (const Exception&) {
        return 0;
    }
    {
        // The header through the block-reading source that files use (it
        // seeks over segments instead of reading them).
        MemoryStream stream;
        stream.Data().assign(reinterpret_cast<const char*>(data), size);
        int w = 0, h = 0;
        if (ReadJpegHeader(stream, w, h)) sink = sink + static_cast<uint64_t>(w) * h;
    }
    try {
        TBitmap full;
        DecodeJpeg(data, size, JpegDecodeOptions(), full);
        sink = sink + TouchEveryPixel(full);
    } catch (const Exception&) {
    }
    try {
        TBitmap sampled;
        int w = 0, h = 0;
        // The target size varies with the input: shrinking and enlarging.
        int tw = 1 + static_cast<int>(size % 97), th = 1 + static_cast<int>((size / 97) % 71);
        DecodeJpegPointSampled(data, size, tw, th, sampled, &w, &h);
        sink = sink + TouchEveryPixel(sampled);
        sink = sink + EncodeJpeg(sampled, 75).size();
    } catch (const Exception&) {
    }
    {
        // The same sampling written straight into the encoder (turned
        // pictures in bands of a size that varies with the input): the very
        // bytes of the sampled bitmap encoded, or the same failure.
        int tw = 1 + static_cast<int>(size % 89), th = 1 + static_cast<int>((size / 89) % 67);
        std::string expected;
        bool sampledFailed = false, streamedFailed = false;
        try {
            TBitmap sampled;
            DecodeJpegPointSampled(data, size, tw, th, sampled);
            expected = EncodeJpeg(sampled, 90);
        } catch (const Exception&) {
            sampledFailed = true;
        }
        MemoryStream in, out;
        in.Data().assign(reinterpret_cast<const char*>(data), size);
        try {
            WriteJpegPointSampled(
                in,
                [tw, th](int, int, int& w, int& h) {
                    w = tw;
                    h = th;
                },
                90, out, nullptr, nullptr, 1 + size % 4096);
        } catch (const Exception&) {
            streamedFailed = true;
        }
        if (sampledFailed != streamedFailed || (!sampledFailed && out.Data() != expected)) __builtin_trap();
    }
    try {
        TJPEGImage jpeg;
        jpeg.LoadFromBytes(std::string(reinterpret_cast<const char*>(data), size));
        uint8_t pick = data[size / 2];
        jpeg.SetScale(static_cast<TJPEGScale>(pick & 3));
        jpeg.SetPixelFormat((pick & 4) ? jf8Bit : jf24Bit);
        jpeg.SetPerformance((pick & 8) ? jpBestSpeed : jpBestQuality);
        jpeg.SetGrayscale(pick & 16);
        jpeg.SetSmoothing(!(pick & 32));
        sink = sink + TouchEveryPixel(jpeg.Bitmap());
    } catch (const Exception&) {
    }
    return 0;
}
