// Shared by the GIF unit tests: loading bytes while collecting warnings, and
// the common pieces of hand-made files.
#pragma once
#include <string>
#include <vector>

#include "imaging/Gif.h"
#include "support/GifBytes.h"

namespace gif_test {

using gif_bytes::Bytes;

// Loads bytes and returns the warnings, in order. Every warning must carry severity 1.
inline std::vector<std::string> Load(TGIFImage& image, const std::string& bytes) {
    std::vector<std::string> warnings;
    image.OnWarning = [&warnings](int severity, const std::string& message) {
        warnings.push_back(severity == 1 ? message : "severity " + std::to_string(severity) + ": " + message);
    };
    try {
        image.LoadFromMemory(bytes.data(), bytes.size());
    } catch (...) {
        image.OnWarning = nullptr;
        throw;
    }
    image.OnWarning = nullptr;
    return warnings;
}

// The message of the EGIFError that loading raises, or "" when it loads.
inline std::string FaultOf(const std::string& bytes) {
    TGIFImage image;
    try {
        image.LoadFromMemory(bytes.data(), bytes.size());
    } catch (const EGIFError& e) {
        return e.what();
    }
    return "";
}

// The frame's palette indices, rows top to bottom (none when not kept).
inline std::vector<uint8_t> Indices(const TGIFSubImage& frame) {
    const uint8_t* p = frame.Pixels();
    return p ? std::vector<uint8_t>(p, p + static_cast<size_t>(frame.Width()) * frame.Height())
             : std::vector<uint8_t>();
}

// "GIF89a", a logical screen of w x h with a global table of 4 colours
// (black, red, green, blue).
inline Bytes Header4(int w, int h, const char* version = "GIF89a") {
    Bytes b;
    b.Text(version)                                            // signature and version
        .U16(w).U16(h)                                         // logical screen size
        .U8(0x81)                                              // global table, 2 << 1 = 4 entries
        .U8(0)                                                 // background colour index
        .U8(0)                                                 // pixel aspect ratio
        .Colors({0x000000, 0xFF0000, 0x00FF00, 0x0000FF});     // the table
    return b;
}

// An image descriptor at (left, top) of w x h, with the given packed flags.
inline Bytes& Descriptor(Bytes& b, int left, int top, int w, int h, int flags = 0) {
    return b.U8(',').U16(left).U16(top).U16(w).U16(h).U8(flags);
}

// A graphic control extension with the transparent index (or none when < 0).
inline Bytes& GraphicControl(Bytes& b, int transparentIndex) {
    return b.U8('!').U8(0xF9)                      // extension introducer and label
        .U8(4)                                     // block size
        .U8(transparentIndex >= 0 ? 1 : 0)         // flags: bit 0 transparent colour present
        .U16(10)                                   // delay
        .U8(transparentIndex >= 0 ? transparentIndex : 0)
        .U8(0);                                    // terminator
}

}  // namespace gif_test
