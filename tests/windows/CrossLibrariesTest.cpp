// The libraries that scripts/windows-deps cross-builds, run under Wine the way
// the imaging layer calls them: libjpeg-turbo with its SIMD code (compression,
// full and 1/8-scaled decompression, skipped rows) and libexif reading the
// orientation tag in both byte orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libexif/exif-data.h>

#include "support/ExifBytes.h"

namespace {

constexpr int kWidth = 96, kHeight = 64;

// A smooth colour field: JPEG keeps it within a few levels at high quality.
std::vector<unsigned char> Gradient() {
    std::vector<unsigned char> rgb(kWidth * kHeight * 3);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            unsigned char* p = &rgb[(y * kWidth + x) * 3];
            p[0] = static_cast<unsigned char>(x * 255 / (kWidth - 1));
            p[1] = static_cast<unsigned char>(y * 255 / (kHeight - 1));
            p[2] = static_cast<unsigned char>(128 + (x - y) / 2);
        }
    return rgb;
}

std::string Compress(const std::vector<unsigned char>& rgb, bool progressive) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = kWidth;
    c.image_height = kHeight;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&rgb[c.next_scanline * kWidth * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    std::free(out);
    return bytes;
}

struct Decoded {
    int width = 0, height = 0, components = 0;
    std::vector<unsigned char> pixels;  // the rows read, skipped ones left out
};

Decoded Decompress(const std::string& jpeg, int scaleDenom, int skipRows = 0) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&d, TRUE);
    d.scale_num = 1;
    d.scale_denom = scaleDenom;
    jpeg_start_decompress(&d);
    Decoded r;
    r.width = static_cast<int>(d.output_width);
    r.height = static_cast<int>(d.output_height);
    r.components = d.output_components;
    if (skipRows) jpeg_skip_scanlines(&d, skipRows);
    std::vector<unsigned char> row(r.width * r.components);
    while (d.output_scanline < d.output_height) {
        JSAMPROW p = row.data();
        jpeg_read_scanlines(&d, &p, 1);
        r.pixels.insert(r.pixels.end(), row.begin(), row.end());
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return r;
}

// The largest difference between the decoded rows and the original's rows
// from firstRow on.
int MaxDifference(const Decoded& d, const std::vector<unsigned char>& rgb, int firstRow) {
    int worst = 0;
    for (size_t i = 0; i < d.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(d.pixels[i]) - int(rgb[firstRow * kWidth * 3 + i])));
    return worst;
}

TEST(CrossBuiltJpeg, BaselineAndProgressiveRoundTripsStayClose) {
    const auto rgb = Gradient();
    for (bool progressive : {false, true}) {
        SCOPED_TRACE(progressive ? "progressive" : "baseline");
        const std::string jpeg = Compress(rgb, progressive);
        ASSERT_GT(jpeg.size(), 100u);
        Decoded d = Decompress(jpeg, 1);
        ASSERT_EQ(d.width, kWidth);
        ASSERT_EQ(d.height, kHeight);
        ASSERT_EQ(d.components, 3);
        ASSERT_EQ(d.pixels.size(), rgb.size());
        EXPECT_LE(MaxDifference(d, rgb, 0), 8);
    }
}

TEST(CrossBuiltJpeg, ScaledAndSkippingDecodesMatchTheFullOne) {
    const auto rgb = Gradient();
    const std::string jpeg = Compress(rgb, false);

    Decoded eighth = Decompress(jpeg, 8);
    ASSERT_EQ(eighth.width, kWidth / 8);
    ASSERT_EQ(eighth.height, kHeight / 8);
    // Each pixel of the 1/8 picture is its 8x8 block's average colour.
    Decoded full = Decompress(jpeg, 1);
    for (int by = 0; by < eighth.height; ++by)
        for (int bx = 0; bx < eighth.width; ++bx)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        sum += full.pixels[((by * 8 + y) * kWidth + bx * 8 + x) * 3 + c];
                EXPECT_NEAR(eighth.pixels[(by * eighth.width + bx) * 3 + c], sum / 64, 3)
                    << "block " << bx << "," << by << " component " << c;
            }

    Decoded skipped = Decompress(jpeg, 1, 24);
    ASSERT_EQ(skipped.pixels.size(), static_cast<size_t>((kHeight - 24) * kWidth * 3));
    EXPECT_LE(MaxDifference(skipped, rgb, 24), 8);
}

TEST(CrossBuiltExif, ReadsTheOrientationInBothByteOrders) {
    for (bool bigEndian : {false, true})
        for (int orientation : {1, 6, 8}) {
            SCOPED_TRACE(std::string(bigEndian ? "MM " : "II ") + std::to_string(orientation));
            const std::string block = exif_bytes::OrientationBlock(orientation, bigEndian);
            ExifData* exif = exif_data_new();
            ASSERT_NE(exif, nullptr);
            exif_data_load_data(exif, reinterpret_cast<const unsigned char*>(block.data()),
                                static_cast<unsigned int>(block.size()));
            ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(exif_data_get_byte_order(exif), bigEndian ? EXIF_BYTE_ORDER_MOTOROLA : EXIF_BYTE_ORDER_INTEL);
            EXPECT_EQ(exif_get_short(entry->data, exif_data_get_byte_order(exif)), orientation);
            exif_data_unref(exif);
        }
}

}  // namespace
