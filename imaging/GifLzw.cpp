#include "imaging/GifLzw.h"

#include <bit>
#include <cstring>

#include "imaging/Gif.h"

namespace gif_lzw {
namespace {

// Every table entry's string is the previous code's string plus the first
// byte of the next one, and those two strings lie next to each other in the
// output. So an entry is just where its string was first written and how long
// it is, and decoding a code is a copy from earlier output, not a walk down a
// prefix chain.
struct Table {
    uint32_t offset[kTableSize];
    uint16_t length[kTableSize];
};

// Copies len bytes from src to dst where src + len <= dst. Works in 16-byte
// steps (each loaded before it is stored), so up to 15 bytes after dst + len
// are overwritten: they are pixels not decoded yet, or the caller's slack.
inline void CopyEarlier(uint8_t* dst, const uint8_t* src, uint32_t len) {
    uint8_t chunk[16];
    for (;;) {
        std::memcpy(chunk, src, 16);
        std::memcpy(dst, chunk, 16);
        if (len <= 16) return;
        len -= 16;
        src += 16;
        dst += 16;
    }
}

inline uint32_t LoadCode(const uint8_t* codes, uint64_t bitPos, uint32_t mask) {
    uint64_t word;
    std::memcpy(&word, codes + (bitPos >> 3), sizeof word);
    // GIF packs codes from the least significant bit up.
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return static_cast<uint32_t>(word >> (bitPos & 7)) & mask;
}

template <bool kStore>
Result Run(int minCodeSize, const uint8_t* codes, size_t codeBytes, uint8_t* out, uint64_t count) {
    Table table;
    const uint32_t clear = 1u << minCodeSize;
    const uint32_t end = clear + 1;
    const uint64_t totalBits = static_cast<uint64_t>(codeBytes) * 8;

    int width = minCodeSize + 1;
    uint32_t limit = 1u << width;
    uint32_t mask = limit - 1;
    uint32_t next = end + 1;
    bool havePrevious = false;
    uint64_t previousPos = 0;
    uint32_t previousLength = 0;

    uint64_t bitPos = 0;
    uint64_t pos = 0;
    Result result;
    while (pos < count) {
        if (bitPos + width > totalBits) {
            result.underrun = true;
            break;
        }
        uint32_t code = LoadCode(codes, bitPos, mask);
        bitPos += width;

        if (code == clear) {
            width = minCodeSize + 1;
            limit = 1u << width;
            mask = limit - 1;
            next = end + 1;
            havePrevious = false;  // the next code is output as it stands
            continue;
        }
        if (code == end) break;

        uint32_t length;
        const uint64_t room = count - pos;
        if (code < clear) {
            length = 1;
            if constexpr (kStore) out[pos] = static_cast<uint8_t>(code);
        } else if (code < next) {
            length = table.length[code];
            if constexpr (kStore) {
                const uint8_t* src = out + table.offset[code];
                if (length <= room)
                    CopyEarlier(out + pos, src, length);
                else
                    std::memcpy(out + pos, src, static_cast<size_t>(room));
            }
        } else if (code == next && havePrevious) {
            // The entry being made now: the previous string and its own first byte.
            length = previousLength + 1;
            if constexpr (kStore) {
                const uint8_t* src = out + previousPos;
                if (length <= room) {
                    CopyEarlier(out + pos, src, previousLength);
                    out[pos + previousLength] = src[0];
                } else {
                    std::memcpy(out + pos, src, static_cast<size_t>(room));
                }
            }
        } else {
            // The entry would be made from itself, or does not exist yet.
            throw EGIFError("Circular decoder table entry");
        }

        if (havePrevious && next < kTableSize) {
            if constexpr (kStore) table.offset[next] = static_cast<uint32_t>(previousPos);
            table.length[next] = static_cast<uint16_t>(previousLength + 1);
            ++next;
        }
        // Widen once the next entry needs another bit. Only for the tiny code
        // sizes 0 and 1 can this happen before any entry is made.
        if (next >= limit && width < kMaxCodeBits) {
            ++width;
            limit <<= 1;
            mask = limit - 1;
        }
        havePrevious = true;
        previousPos = pos;
        previousLength = length;
        pos += length;
    }
    result.pixels = pos < count ? pos : count;
    return result;
}

}  // namespace

Result Decode(int minCodeSize, const uint8_t* codes, size_t codeBytes, uint8_t* out, uint64_t count) {
    return Run<true>(minCodeSize, codes, codeBytes, out, count);
}

Result Count(int minCodeSize, const uint8_t* codes, size_t codeBytes, uint64_t count) {
    return Run<false>(minCodeSize, codes, codeBytes, nullptr, count);
}

}  // namespace gif_lzw
