// PNG pictures through libpng: the header with its eXIf orientation, the rows streamed
// into the point sampling (interlaced pictures pass by pass), and the whole picture.
#include <cstddef>
#include <cstdint>

#include "FormatFuzz.h"
#include "imaging/LibraryFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_formats::Exercise(imaging::PngFormat(), data, size);
    return 0;
}
