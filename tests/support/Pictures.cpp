#include "support/Pictures.h"

#include <cstdint>
#include <vector>

#include "imaging/Bitmap.h"
#include "imaging/Picture.h"
#include "support/TestSupport.h"

namespace testing_support {

void MakeJpeg(const std::string& path, int width, int height) {
    TBitmap b;
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
            row[3 * x + 2] = static_cast<uint8_t>((x + y) & 0xFF);
        }
    }
    WriteFile(path, EncodeJpeg(b, 90));
}

namespace {
void Put16(std::string& s, int v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
}  // namespace

void MakeGif(const std::string& path, int width, int height) {
    std::string g = "GIF89a";
    Put16(g, width);
    Put16(g, height);
    g += static_cast<char>(0x81);  // global table of 4 entries
    g += '\0';
    g += '\0';
    const uint8_t table[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    g.append(reinterpret_cast<const char*>(table), 12);
    g += ',';
    Put16(g, 0);
    Put16(g, 0);
    Put16(g, width);
    Put16(g, height);
    g += '\0';
    g += static_cast<char>(2);  // LZW minimum code size
    // Codes of 3 bits: clear (4), then at most two pixels before the next clear
    // so the table never grows past 8 entries.
    std::vector<int> codes;
    int n = width * height;
    for (int i = 0; i < n; ++i) {
        if (i % 2 == 0) codes.push_back(4);
        codes.push_back((i / width / 2 + i % width / 3) % 4);
    }
    codes.push_back(5);
    std::string data;
    uint32_t acc = 0;
    int bits = 0;
    for (int c : codes) {
        acc |= static_cast<uint32_t>(c) << bits;
        bits += 3;
        while (bits >= 8) {
            data += static_cast<char>(acc & 0xFF);
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) data += static_cast<char>(acc & 0xFF);
    for (size_t i = 0; i < data.size(); i += 255) {
        size_t len = std::min<size_t>(255, data.size() - i);
        g += static_cast<char>(len);
        g += data.substr(i, len);
    }
    g += '\0';
    g += ';';
    WriteFile(path, g);
}

void MakeBmp(const std::string& path, int width, int height) {
    int rowBytes = (width * 3 + 3) & ~3;
    std::string b = "BM";
    Put32(b, static_cast<uint32_t>(54 + rowBytes * height));
    Put32(b, 0);
    Put32(b, 54);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(width));
    Put32(b, static_cast<uint32_t>(height));
    Put16(b, 1);
    Put16(b, 24);
    Put32(b, 0);
    Put32(b, static_cast<uint32_t>(rowBytes * height));
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, 0);
    Put32(b, 0);
    for (int y = height - 1; y >= 0; --y) {
        std::string row;
        for (int x = 0; x < width; ++x) {
            row += static_cast<char>(x & 0xFF);
            row += static_cast<char>(y & 0xFF);
            row += static_cast<char>(0x80);
        }
        row.resize(static_cast<size_t>(rowBytes), '\0');
        b += row;
    }
    WriteFile(path, b);
}

bool JpegSize(const std::string& path, int& width, int& height) { return ReadJpegSize(path, width, height); }

}  // namespace testing_support
