// The variable-length-code LZW decoder of GIF pixel data. Used by the GIF
// reader only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gif_lzw {

// The code table of the format: codes are at most 12 bits wide.
constexpr int kMaxCodeBits = 12;
constexpr uint32_t kTableSize = 1u << kMaxCodeBits;

// Where the decoder gets its code bytes: the data sub-blocks' contents, in order.
class CodeInput {
public:
    virtual ~CodeInput() = default;
    // Copies up to max bytes to dst; 0 when there are no more.
    virtual size_t Read(uint8_t* dst, size_t max) = 0;
};

struct Result {
    uint64_t pixels = 0;    // pixels produced, at most the count asked for
    bool underrun = false;  // the codes ran out before an end code or a full frame
};

// Decodes codes into out[0, count) in the order they come, stopping at an end
// code, at a full frame or when the input runs out. Bytes of out from the
// returned count on are undefined and must be filled by the caller. Raises
// EGIFError "Circular decoder table entry" for a code that names a table
// entry not yet made (one that would have to be built from itself).
// minCodeSize must be at most imaging::GifMaxMinCodeSize; count below 2^32.
Result Decode(int minCodeSize, CodeInput& input, uint8_t* out, uint64_t count);

// The same walk through the codes without storing pixels: the same faults, the
// same count, for frames whose pixels are not kept.
Result Count(int minCodeSize, CodeInput& input, uint64_t count);

}  // namespace gif_lzw
