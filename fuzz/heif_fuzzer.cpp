// HEIF and AVIF pictures through libheif: our count of a grid's tiles from the
// boxes, the primary picture, its embedded preview, and the whole picture.
#include <cstddef>
#include <cstdint>

#include "FormatFuzz.h"
#include "imaging/LibraryFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_formats::Exercise(imaging::HeifFormat(), data, size);
    return 0;
}
