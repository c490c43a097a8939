// WebP pictures through libwebp: the container read by WebPDemux (EXIF chunk,
// an animation's first frame), the scaled and the full decode.
#include <cstddef>
#include <cstdint>

#include "FormatFuzz.h"
#include "imaging/LibraryFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_formats::Exercise(imaging::WebpFormat(), data, size);
    return 0;
}
