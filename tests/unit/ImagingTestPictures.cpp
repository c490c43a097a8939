#include "ImagingTestPictures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <jpeglib.h>

namespace imaging_test {

TBitmap CameraLikePicture(int width, int height, unsigned seed) {
    TBitmap b;
    b.SetSize(width, height);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            int r = 40 + 180 * x / std::max(width, 1) + noise(rng);
            int g = 30 + 200 * y / std::max(height, 1) + noise(rng);
            int bl = 128 + ((x / 7 + y / 5) % 2 ? 60 : -60) + noise(rng);
            // A disc and a bar with hard edges.
            int dx = x - width / 3, dy = y - height / 2;
            if (dx * dx + dy * dy < (height / 4) * (height / 4)) r = 250, g = 220, bl = 10;
            if (x > width * 2 / 3 && x < width * 2 / 3 + width / 10) r = g = bl = 15;
            row[3 * x] = static_cast<uint8_t>(std::clamp(r, 0, 255));
            row[3 * x + 1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
            row[3 * x + 2] = static_cast<uint8_t>(std::clamp(bl, 0, 255));
        }
    }
    return b;
}

std::string EncodeWithLibjpeg(const TBitmap& picture, const LibjpegOptions& options) {
    TBitmap rgb = picture;
    rgb.SetPixelFormat(pf24bit);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);  // tests give valid input; the library may end the process otherwise
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(rgb.Width());
    c.image_height = static_cast<JDIMENSION>(rgb.Height());
    c.input_components = options.grayscale ? 1 : 3;
    c.in_color_space = options.grayscale ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, options.quality, TRUE);
    if (!options.grayscale) {
        c.comp_info[0].h_samp_factor = options.lumaH;
        c.comp_info[0].v_samp_factor = options.lumaV;
    }
    if (options.progressive) jpeg_simple_progression(&c);
    c.restart_in_rows = options.restartRows;
    jpeg_start_compress(&c, TRUE);
    if (!options.comment.empty())
        jpeg_write_marker(&c, JPEG_COM, reinterpret_cast<const JOCTET*>(options.comment.data()),
                          static_cast<unsigned>(options.comment.size()));
    std::vector<uint8_t> grey(static_cast<size_t>(rgb.Width()));
    while (c.next_scanline < c.image_height) {
        const uint8_t* row = rgb.ScanLine(static_cast<int>(c.next_scanline));
        JSAMPROW p = const_cast<JSAMPROW>(row);
        if (options.grayscale) {
            for (int x = 0; x < rgb.Width(); ++x)
                grey[x] = static_cast<uint8_t>((row[3 * x] * 3 + row[3 * x + 1] * 5 + row[3 * x + 2] * 2) / 10);
            p = grey.data();
        }
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    std::free(out);
    return bytes;
}

std::string Difference(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return "size " + std::to_string(a.Width()) + "x" + std::to_string(a.Height()) + " vs " +
               std::to_string(b.Width()) + "x" + std::to_string(b.Height());
    if (a.GetPixelFormat() != b.GetPixelFormat()) return "pixel format";
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) {
                char text[96];
                std::snprintf(text, sizeof text, "at %d,%d: %06X vs %06X", x, y, a.Pixel(x, y), b.Pixel(x, y));
                return text;
            }
    return "";
}

}  // namespace imaging_test
