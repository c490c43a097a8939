// The variable-length-code LZW decoder of GIF pixel data. Used by the GIF
// reader only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gif_lzw {

// Readable zero bytes the caller puts after the code bytes, so that a code is
// always one unaligned 8-byte load.
constexpr size_t kInputSlack = 8;
// Writable bytes the caller provides after the pixels: strings are copied in
// 16-byte steps and may run up to 15 bytes past their end.
constexpr size_t kOutputSlack = 16;
// The code table of the format: codes are at most 12 bits wide.
constexpr int kMaxCodeBits = 12;
constexpr uint32_t kTableSize = 1u << kMaxCodeBits;

struct Result {
    uint64_t pixels = 0;    // pixels produced, at most the count asked for
    bool underrun = false;  // the codes ran out before an end code or a full frame
};

// Decodes the joined sub-blocks `codes` (codeBytes long, kInputSlack readable
// bytes after) into out[0, count) in decoding order, stopping at an end code,
// at a full frame or when the codes run out. Bytes of out from the returned
// count on are undefined and must be filled by the caller. Raises EGIFError
// "Circular decoder table entry" for a code that names a table entry not yet
// made (one that would have to be built from itself). minCodeSize must be at
// most imaging::GifMaxMinCodeSize; count must be below 2^32.
Result Decode(int minCodeSize, const uint8_t* codes, size_t codeBytes, uint8_t* out, uint64_t count);

// The same walk through the codes without storing pixels: the same faults, the
// same count, for frames whose pixels are not kept.
Result Count(int minCodeSize, const uint8_t* codes, size_t codeBytes, uint64_t count);

}  // namespace gif_lzw
