#include "support/GifBytes.h"

#include <map>

namespace gif_bytes {

Bytes& Bytes::Colors(const std::vector<uint32_t>& rgb) {
    for (uint32_t c : rgb) U8(c >> 16).U8(c >> 8).U8(c);
    return *this;
}

CodeWriter& CodeWriter::Put(uint32_t code, int width) {
    bits_ |= static_cast<uint64_t>(code) << count_;
    count_ += width;
    while (count_ >= 8) {
        bytes_.push_back(static_cast<char>(bits_ & 0xFF));
        bits_ >>= 8;
        count_ -= 8;
    }
    return *this;
}

std::string CodeWriter::Bytes() const {
    std::string out = bytes_;
    if (count_ > 0) out.push_back(static_cast<char>(bits_ & 0xFF));
    return out;
}

std::string LzwEncode(const std::vector<uint8_t>& pixels, int minCodeSize, LzwOptions options) {
    const uint32_t clear = 1u << minCodeSize, end = clear + 1;
    CodeWriter out;
    std::map<std::pair<uint32_t, uint8_t>, uint32_t> table;
    int width = minCodeSize + 1;
    uint32_t next = end + 1;
    auto reset = [&] {
        table.clear();
        width = minCodeSize + 1;
        next = end + 1;
    };
    if (options.clearFirst) out.Put(clear, width);
    if (pixels.empty()) {
        if (options.endCode) out.Put(end, width);
        return out.Bytes();
    }
    uint32_t prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        uint8_t c = pixels[i];
        auto found = table.find({prefix, c});
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        out.Put(prefix, width);
        if (next < 4096) {
            table[{prefix, c}] = next++;
            // The decoder makes this entry one code later, and widens when
            // its next free entry reaches 2^width: one entry behind us.
            if (next > (1u << width) && width < 12) ++width;
        } else if (options.clearWhenFull) {
            out.Put(clear, width);
            reset();
        }
        prefix = c;
    }
    out.Put(prefix, width);
    if (options.endCode) {
        if (next < 4096 && next + 1 > (1u << width) && width < 12) ++width;
        out.Put(end, width);
    }
    return out.Bytes();
}

std::string SubBlocks(const std::string& data, size_t blockSize, bool terminator) {
    std::string out;
    for (size_t i = 0; i < data.size(); i += blockSize) {
        size_t n = std::min(blockSize, data.size() - i);
        out.push_back(static_cast<char>(n));
        out.append(data, i, n);
    }
    if (terminator) out.push_back('\0');
    return out;
}

std::string ImageData(const std::vector<uint8_t>& pixels, int minCodeSize, LzwOptions options) {
    std::string out(1, static_cast<char>(minCodeSize));
    return out + SubBlocks(LzwEncode(pixels, minCodeSize, options));
}

}  // namespace gif_bytes
