#include "support/JpegBytes.h"

#include <cstdint>

namespace jpeg_bytes {
namespace {

void Marker(std::string& out, int code) {
    out.push_back(static_cast<char>(0xFF));
    out.push_back(static_cast<char>(code));
}

void U16(std::string& out, int v) {
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
    out.push_back(static_cast<char>(v & 0xFF));
}

// A segment: marker, length (counting itself), body.
void Segment(std::string& out, int code, const std::string& body) {
    Marker(out, code);
    U16(out, static_cast<int>(body.size()) + 2);
    out += body;
}

// A Huffman table holding one symbol with the one-bit code 0.
std::string OneSymbolTable(int tableClass, int symbol) {
    std::string body;
    body.push_back(static_cast<char>(tableClass << 4));  // class, table 0
    body.push_back(1);                                   // one code of length 1
    body.append(15, '\0');
    body.push_back(static_cast<char>(symbol));
    return body;
}

// Entropy-coded bits, most significant first, with a 0 stuffed after every
// 0xFF byte and the last byte padded with 1 bits.
class BitWriter {
public:
    void Put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            byte_ = static_cast<uint8_t>((byte_ << 1) | ((bits >> i) & 1));
            if (++filled_ == 8) Flush();
        }
    }
    std::string Finish() {
        while (filled_ != 0) Put(1, 1);
        return out_;
    }

private:
    void Flush() {
        out_.push_back(static_cast<char>(byte_));
        if (byte_ == 0xFF) out_.push_back('\0');
        byte_ = 0;
        filled_ = 0;
    }
    std::string out_;
    uint8_t byte_ = 0;
    int filled_ = 0;
};

}  // namespace

std::string ProgressiveJpeg(int width, int height, int components, int acScans) {
    std::string out;
    Marker(out, 0xD8);  // SOI
    // One quantisation table of ones.
    std::string dqt(1, '\0');
    dqt.append(64, '\1');
    Segment(out, 0xDB, dqt);
    // Progressive frame (SOF2): 8-bit samples, every component 1x1 on table 0.
    std::string sof;
    sof.push_back(8);
    U16(sof, height);
    U16(sof, width);
    sof.push_back(static_cast<char>(components));
    for (int c = 1; c <= components; ++c) {
        sof.push_back(static_cast<char>(c));
        sof.push_back(0x11);
        sof.push_back(0);
    }
    Segment(out, 0xC2, sof);
    // DC table: the difference category 0. AC table: EOB14, a run of 2^14
    // blocks plus the 14 bits that follow it.
    Segment(out, 0xC4, OneSymbolTable(0, 0x00));
    Segment(out, 0xC4, OneSymbolTable(1, 0xE0));

    // DC first scan of all components, Al = 1; no data.
    std::string sos;
    sos.push_back(static_cast<char>(components));
    for (int c = 1; c <= components; ++c) {
        sos.push_back(static_cast<char>(c));
        sos.push_back(0x00);
    }
    sos += std::string("\x00\x00\x10", 3);  // Ss 0, Se 0, Ah 0, Al 1
    Segment(out, 0xDA, sos);

    // AC refinement scans (Ah 1, Al 0) of one component each.
    const int64_t blocks = ((static_cast<int64_t>(width) + 7) / 8) * ((static_cast<int64_t>(height) + 7) / 8);
    const int64_t runs = (blocks + 32766) / 32767;
    BitWriter bits;
    for (int64_t r = 0; r < runs; ++r) {
        bits.Put(0, 1);         // EOB14
        bits.Put(0x3FFF, 14);   // + 16383
    }
    const std::string data = bits.Finish();
    for (int s = 0; s < acScans; ++s) {
        std::string ac;
        ac.push_back(1);
        ac.push_back(static_cast<char>(1 + s % components));
        ac.push_back(0x00);
        ac += std::string("\x01\x3F\x10", 3);  // Ss 1, Se 63, Ah 1, Al 0
        Segment(out, 0xDA, ac);
        out += data;
    }
    Marker(out, 0xD9);  // EOI
    return out;
}

}  // namespace jpeg_bytes
