#include "support/ExifBytes.h"

#include <cstdint>

namespace exif_bytes {

namespace {

struct Writer {
    bool bigEndian;
    std::string bytes;
    void Put16(uint32_t v) {
        if (bigEndian) {
            bytes += static_cast<char>((v >> 8) & 0xFF);
            bytes += static_cast<char>(v & 0xFF);
        } else {
            bytes += static_cast<char>(v & 0xFF);
            bytes += static_cast<char>((v >> 8) & 0xFF);
        }
    }
    void Put32(uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            int shift = bigEndian ? 8 * (3 - i) : 8 * i;
            bytes += static_cast<char>((v >> shift) & 0xFF);
        }
    }
};

}  // namespace

std::string OrientationBlock(int orientation, bool bigEndian) {
    Writer w{bigEndian, {}};
    w.bytes = bigEndian ? std::string("MM") : std::string("II");
    w.Put16(42);
    w.Put32(8);       // IFD0 right after the header
    w.Put16(1);       // one entry
    w.Put16(0x0112);  // Orientation
    w.Put16(3);       // SHORT
    w.Put32(1);       // one value, held in the entry's first two bytes
    w.Put16(static_cast<uint32_t>(orientation));
    w.Put16(0);
    w.Put32(0);  // no next directory
    return std::string("Exif\0\0", 6) + w.bytes;
}

std::string WithApp1(const std::string& jpeg, const std::string& block) {
    size_t length = block.size() + 2;
    std::string segment = "\xFF\xE1";
    segment += static_cast<char>((length >> 8) & 0xFF);
    segment += static_cast<char>(length & 0xFF);
    segment += block;
    return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

}  // namespace exif_bytes
