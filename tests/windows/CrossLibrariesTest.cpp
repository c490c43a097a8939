// The libraries that scripts/windows-deps cross-builds, run under Wine the way
// the imaging layer calls them: libjpeg-turbo with its SIMD code (compression,
// full and 1/8-scaled decompression, skipped rows), libexif reading the
// orientation tag in both byte orders, and libpng, libwebp and libheif (over
// libde265 and dav1d) decoding pictures that Debian's tools made on the
// build machine to the very pixels those tools decode from them there
// (tests/windows/make-reference-pictures.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libexif/exif-data.h>
#include <libheif/heif.h>
#include <png.h>
#include <webp/decode.h>
#include <webp/demux.h>

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

// The pictures of make-reference-pictures.sh: all 64x48, with transparency.
constexpr int kPictureWidth = 64, kPictureHeight = 48;

std::string ReadPicture(const std::string& name) {
    const std::string path = std::string(PICTORAMA_REFERENCE_PICTURES) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decoded RGBA rows against the reference's, sample by sample, the first
// difference named. Samples of more than 8 bits are 16-bit ones, most
// significant byte first, as heif-convert writes them: the decoder's bits on
// top of the reference's samples.
void ExpectSamePixels(const std::vector<unsigned char>& decoded, const std::string& referenceName, int width,
                      int bits = 8) {
    const std::string reference = ReadPicture(referenceName);
    ASSERT_EQ(decoded.size(), reference.size()) << referenceName;
    const int sampleBytes = bits > 8 ? 2 : 1;
    for (size_t i = 0; i < decoded.size(); i += sampleBytes) {
        auto sample = [&](const auto& bytes, size_t at) {
            return sampleBytes == 1 ? int(uint8_t(bytes[at])) : int(uint8_t(bytes[at])) << 8 | uint8_t(bytes[at + 1]);
        };
        const int mine = sample(decoded, i), theirs = sample(reference, i) >> (sampleBytes * 8 - bits);
        if (mine != theirs) {
            const size_t pixel = i / sampleBytes / 4;
            FAIL() << referenceName << ": pixel " << pixel % width << "," << pixel / width << " sample "
                   << i / sampleBytes % 4 << " is " << mine << ", not " << theirs;
        }
    }
}

// libpng's simplified reader (its errors longjmp back inside it) to 8-bit RGBA.
bool DecodePng(const std::string& file, int& width, int& height, std::vector<unsigned char>& rgba,
               std::string& error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        error = image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGBA;
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    rgba.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
        error = image.message;
        return false;
    }
    return true;
}

TEST(CrossBuiltPng, DecodesAlphaAndInterlacedPaletteTransparencyAsDebiansTools) {
    for (const char* name : {"rgba.png", "palette.png"}) {
        SCOPED_TRACE(name);
        int width = 0, height = 0;
        std::vector<unsigned char> rgba;
        std::string error;
        ASSERT_TRUE(DecodePng(ReadPicture(name), width, height, rgba, error)) << error;
        EXPECT_EQ(width, kPictureWidth);
        EXPECT_EQ(height, kPictureHeight);
        ExpectSamePixels(rgba, std::string(name) + ".rgba", width);
    }
}

TEST(CrossBuiltPng, ATruncatedFileIsAnErrorNotACrash) {
    const std::string file = ReadPicture("rgba.png");
    ASSERT_GT(file.size(), 200u);
    int width = 0, height = 0;
    std::vector<unsigned char> rgba;
    std::string error;
    EXPECT_FALSE(DecodePng(file.substr(0, file.size() / 2), width, height, rgba, error));
    EXPECT_FALSE(error.empty());
}

TEST(CrossBuiltWebp, DecodesLosslessAndLossyAsDwebp) {
    for (const char* name : {"lossless.webp", "lossy.webp"}) {
        SCOPED_TRACE(name);
        const std::string file = ReadPicture(name);
        int width = 0, height = 0;
        uint8_t* pixels = WebPDecodeRGBA(reinterpret_cast<const uint8_t*>(file.data()), file.size(), &width, &height);
        ASSERT_NE(pixels, nullptr);
        std::vector<unsigned char> rgba(pixels, pixels + size_t(width) * height * 4);
        WebPFree(pixels);
        EXPECT_EQ(width, kPictureWidth);
        EXPECT_EQ(height, kPictureHeight);
        ExpectSamePixels(rgba, std::string(name) + ".rgba", width);
    }
}

TEST(CrossBuiltWebp, ScaledDecodeMatchesDwebpScale) {
    const std::string file = ReadPicture("lossy.webp");
    WebPDecoderConfig config;
    ASSERT_TRUE(WebPInitDecoderConfig(&config));
    config.options.use_scaling = 1;
    config.options.scaled_width = kPictureWidth / 2;
    config.options.scaled_height = kPictureHeight / 2;
    config.output.colorspace = MODE_RGBA;
    ASSERT_EQ(WebPDecode(reinterpret_cast<const uint8_t*>(file.data()), file.size(), &config), VP8_STATUS_OK);
    const WebPRGBABuffer& out = config.output.u.RGBA;
    std::vector<unsigned char> rgba;
    for (int y = 0; y < config.output.height; ++y)
        rgba.insert(rgba.end(), out.rgba + y * out.stride, out.rgba + y * out.stride + config.output.width * 4);
    EXPECT_EQ(config.output.width, kPictureWidth / 2);
    EXPECT_EQ(config.output.height, kPictureHeight / 2);
    WebPFreeDecBuffer(&config.output);
    ExpectSamePixels(rgba, "lossy.webp.32x24.rgba", kPictureWidth / 2);
}

TEST(CrossBuiltWebp, TheDemuxerFindsTheExifChunkThatLibexifReads) {
    const std::string file = ReadPicture("exif.webp");
    const WebPData data{reinterpret_cast<const uint8_t*>(file.data()), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    ASSERT_NE(demux, nullptr);
    EXPECT_TRUE(WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & EXIF_FLAG);
    WebPChunkIterator chunk;
    ASSERT_TRUE(WebPDemuxGetChunk(demux, "EXIF", 1, &chunk));
    // The chunk holds the TIFF block alone; libexif reads it after the
    // header of a JPEG's APP1 segment.
    std::string block = std::string("Exif\0\0", 6) +
                        std::string(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
    WebPDemuxDelete(demux);
    ExifData* exif = exif_data_new();
    ASSERT_NE(exif, nullptr);
    exif_data_load_data(exif, reinterpret_cast<const unsigned char*>(block.data()), static_cast<unsigned int>(block.size()));
    ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(exif_get_short(entry->data, exif_data_get_byte_order(exif)), 6);
    exif_data_unref(exif);
}

// libheif's primary picture, decoded as heif-convert decodes it for a PNG:
// interleaved RGBA, 8 bits a sample, or 16 (most significant byte first) for
// deeper pictures; and the size of its first thumbnail, if it has one.
struct HeifPicture {
    bool read = false;
    int width = 0, height = 0, bits = 0, thumbnailWidth = 0, thumbnailHeight = 0;
    bool alpha = false;
    std::vector<unsigned char> rgba;
};

HeifPicture DecodeHeif(const std::string& file) {
    HeifPicture r;
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_memory_without_copy(context, file.data(), file.size(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
        r.read = true;
        r.bits = heif_image_handle_get_luma_bits_per_pixel(handle);
        r.alpha = heif_image_handle_has_alpha_channel(handle);
        heif_image* image = nullptr;
        const heif_chroma chroma = r.bits > 8 ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RGBA;
        if (heif_decode_image(handle, &image, heif_colorspace_RGB, chroma, nullptr).code == heif_error_Ok) {
            r.width = heif_image_get_width(image, heif_channel_interleaved);
            r.height = heif_image_get_height(image, heif_channel_interleaved);
            int stride = 0;
            const uint8_t* rows = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            const int rowBytes = r.width * (r.bits > 8 ? 8 : 4);
            for (int y = 0; y < r.height; ++y) r.rgba.insert(r.rgba.end(), rows + y * stride, rows + y * stride + rowBytes);
            heif_image_release(image);
        }
        heif_item_id id = 0;
        heif_image_handle* thumbnail = nullptr;
        if (heif_image_handle_get_list_of_thumbnail_IDs(handle, &id, 1) == 1 &&
            heif_image_handle_get_thumbnail(handle, id, &thumbnail).code == heif_error_Ok) {
            if (heif_decode_image(thumbnail, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code ==
                heif_error_Ok) {
                r.thumbnailWidth = heif_image_get_width(image, heif_channel_interleaved);
                r.thumbnailHeight = heif_image_get_height(image, heif_channel_interleaved);
                heif_image_release(image);
            }
            heif_image_handle_release(thumbnail);
        }
        heif_image_handle_release(handle);
    }
    heif_context_free(context);
    return r;
}

TEST(CrossBuiltHeif, DecodesHeicAndAvifOfEightAndMoreBitsAsHeifConvert) {
    struct Case {
        const char* name;
        int bits;
        bool thumbnail;
    };
    for (const Case& c : {Case{"picture.heic", 8, true}, Case{"picture10.heic", 10, false},
                          Case{"picture.avif", 8, false}, Case{"picture12.avif", 12, false}}) {
        SCOPED_TRACE(c.name);
        const HeifPicture picture = DecodeHeif(ReadPicture(c.name));
        ASSERT_TRUE(picture.read);
        EXPECT_EQ(picture.bits, c.bits);
        EXPECT_TRUE(picture.alpha);
        ASSERT_EQ(picture.width, kPictureWidth);
        ASSERT_EQ(picture.height, kPictureHeight);
        ExpectSamePixels(picture.rgba, std::string(c.name) + (c.bits > 8 ? ".rgba16" : ".rgba"), picture.width, c.bits);
        EXPECT_EQ(picture.thumbnailWidth, c.thumbnail ? kPictureWidth / 2 : 0);
        EXPECT_EQ(picture.thumbnailHeight, c.thumbnail ? kPictureHeight / 2 : 0);
    }
}

TEST(CrossBuiltHeif, TruncatedFilesAreErrorsNotCrashes) {
    for (const char* name : {"picture.heic", "picture.avif"}) {
        SCOPED_TRACE(name);
        const std::string file = ReadPicture(name);
        // The boxes cut short, or the coded picture cut short after them.
        for (size_t length : {file.size() / 4, file.size() - 40}) {
            const HeifPicture picture = DecodeHeif(file.substr(0, length));
            EXPECT_TRUE(picture.rgba.empty()) << length << " bytes";
        }
    }
}

}  // namespace
