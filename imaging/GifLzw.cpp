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

// Code bytes come through a small buffer refilled from the sub-blocks, so the
// compressed data is never copied whole. A code is one unaligned 8-byte load;
// the buffer has 8 bytes after its end for the last loads.
class BitReader {
public:
    explicit BitReader(CodeInput& input) : input_(input) { std::memset(buffer_, 0, sizeof buffer_); }

    // False when fewer than width bits are left in the whole input.
    bool Has(int width) {
        if (bitPos_ + width <= availableBits_) return true;
        Refill();
        return bitPos_ + width <= availableBits_;
    }
    uint32_t Take(int width, uint32_t mask) {
        uint64_t word;
        std::memcpy(&word, buffer_ + (bitPos_ >> 3), sizeof word);
        // GIF packs codes from the least significant bit up.
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        uint32_t code = static_cast<uint32_t>(word >> (bitPos_ & 7)) & mask;
        bitPos_ += width;
        return code;
    }

private:
    static constexpr size_t kCapacity = 4096;

    void Refill() {
        size_t consumed = bitPos_ >> 3;
        size_t kept = available_ - consumed;
        std::memmove(buffer_, buffer_ + consumed, kept);
        available_ = kept;
        bitPos_ &= 7;
        while (!exhausted_ && available_ < kCapacity) {
            size_t n = input_.Read(buffer_ + available_, kCapacity - available_);
            if (n == 0) exhausted_ = true;
            available_ += n;
        }
        availableBits_ = static_cast<uint64_t>(available_) * 8;
    }

    CodeInput& input_;
    uint8_t buffer_[kCapacity + 8];
    size_t available_ = 0;
    uint64_t availableBits_ = 0;
    uint64_t bitPos_ = 0;
    bool exhausted_ = false;
};

// Copies len bytes from src to dst where src + len <= dst, in 16-byte steps
// (each loaded before it is stored): up to 15 bytes after dst + len are
// overwritten, so the caller makes sure they are pixels not decoded yet.
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

template <bool kStore>
Result Run(int minCodeSize, CodeInput& input, uint8_t* out, uint64_t count) {
    Table table;
    BitReader bits(input);
    const uint32_t clear = 1u << minCodeSize;
    const uint32_t end = clear + 1;

    int width = minCodeSize + 1;
    uint32_t limit = 1u << width;
    uint32_t mask = limit - 1;
    uint32_t next = end + 1;
    bool havePrevious = false;
    uint64_t previousPos = 0;
    uint32_t previousLength = 0;

    uint64_t pos = 0;
    Result result;
    while (pos < count) {
        if (!bits.Has(width)) {
            result.underrun = true;
            break;
        }
        uint32_t code = bits.Take(width, mask);

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
                if (length + 15 <= room)
                    CopyEarlier(out + pos, src, length);
                else
                    std::memcpy(out + pos, src, static_cast<size_t>(length < room ? length : room));
            }
        } else if (code == next && havePrevious) {
            // The entry being made now: the previous string and its own first byte.
            length = previousLength + 1;
            if constexpr (kStore) {
                const uint8_t* src = out + previousPos;
                if (length + 15 <= room) {
                    CopyEarlier(out + pos, src, previousLength);
                    out[pos + previousLength] = src[0];
                } else {
                    // src + previousLength is out + pos: the two do not overlap.
                    uint64_t n = length < room ? length : room;
                    std::memcpy(out + pos, src, static_cast<size_t>(n < previousLength ? n : previousLength));
                    if (n == length) out[pos + previousLength] = src[0];
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

Result Decode(int minCodeSize, CodeInput& input, uint8_t* out, uint64_t count) {
    return Run<true>(minCodeSize, input, out, count);
}

Result Count(int minCodeSize, CodeInput& input, uint64_t count) {
    return Run<false>(minCodeSize, input, nullptr, count);
}

}  // namespace gif_lzw
