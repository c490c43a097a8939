// HEIF and AVIF pictures through libheif: our count of a grid's tiles from the
// boxes, the primary picture, its embedded preview, and the whole picture.
#include <cstddef>
#include <cstdint>

#include "FormatFuzz.h"
#include "imaging/LibraryFormats.h"

// libdav1d (under libheif, for AVIF) keeps 40 bytes of a picture whose coded
// data is empty when it refuses it; that is the library's, not ours
// (av1_empty_data_leaks_in_libdav1d.avif in the corpus).
extern "C" const char* __lsan_default_suppressions() { return "leak:libdav1d.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_formats::Exercise(imaging::HeifFormat(), data, size);
    return 0;
}
