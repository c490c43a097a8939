// Making GIF bytes by hand in tests: a byte builder and a plain LZW encoder
// for pixel data, written from the GIF89a standard.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace gif_bytes {

// Appends fields of a file one by one, so that tests can comment each.
class Bytes {
public:
    Bytes& Text(const std::string& s) { bytes_ += s; return *this; }
    Bytes& U8(int v) { bytes_.push_back(static_cast<char>(v & 0xFF)); return *this; }
    Bytes& U16(int v) { return U8(v).U8(v >> 8); }  // little-endian
    Bytes& Raw(const std::string& s) { bytes_ += s; return *this; }
    // Colour table entries r, g, b.
    Bytes& Colors(const std::vector<uint32_t>& rgb);
    const std::string& Str() const { return bytes_; }
    operator const std::string&() const { return bytes_; }

private:
    std::string bytes_;
};

// Packs codes of given widths least significant bit first, as GIF does.
class CodeWriter {
public:
    CodeWriter& Put(uint32_t code, int width);
    std::string Bytes() const;  // the partial last byte included

private:
    std::string bytes_;
    uint64_t bits_ = 0;
    int count_ = 0;
};

struct LzwOptions {
    bool clearFirst = true;
    bool endCode = true;
    // When the 4096-entry table is full: send a clear code (what most writers
    // do), or go on with 12-bit codes and no new entries (also valid).
    bool clearWhenFull = true;
};

// The code stream for the pixels (each below 2^minCodeSize), not yet in sub-blocks.
std::string LzwEncode(const std::vector<uint8_t>& pixels, int minCodeSize, LzwOptions options = {});

// Splits data into sub-blocks of at most blockSize bytes, each after its size
// byte, and ends with the zero-length terminator unless told not to.
std::string SubBlocks(const std::string& data, size_t blockSize = 255, bool terminator = true);

// Minimum code size byte and the sub-blocks of the encoded pixels.
std::string ImageData(const std::vector<uint8_t>& pixels, int minCodeSize, LzwOptions options = {});

}  // namespace gif_bytes
