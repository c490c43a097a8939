#include "FormatPictures.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <libheif/heif.h>
#include <png.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "support/ExifBytes.h"

// x265, the HEVC encoder that libheif's encoder uses here, keeps 16 blocks
// of its own to the end of the process, and libdav1d keeps one when it
// refuses empty AV1 data: the libraries' own, not leaks of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\nleak:libdav1d.so\n"; }

namespace format_pictures {

namespace {

const int Background[3] = {0xFF, 0xE8, 0xC4};

int Compose(int c, int a, int bg) { return (c * a + bg * (255 - a) + 127) / 255; }

// Grey of a pixel (its red), at a depth: the stored level and the 8-bit
// value a decoder expands it to.
int GreyLevel(int v, int depth) { return depth >= 8 ? v : v >> (8 - depth); }
int Expanded(int level, int depth) {
    if (depth == 16) return level;
    if (depth == 8) return level;
    return level * 255 / ((1 << depth) - 1);
}

struct PngWriteState {
    std::string out;
};

void WriteData(png_structp png, png_bytep data, size_t length) {
    static_cast<PngWriteState*>(png_get_io_ptr(png))->out.append(reinterpret_cast<const char*>(data), length);
}
void Flush(png_structp) {}
void Error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

}  // namespace

int AlphaAt(int x, int y) { return (x % 16) * 16 + (y % 16); }

TBitmap ComposedReference(const TBitmap& rgb) {
    TBitmap out;
    out.SetSize(rgb.Width(), rgb.Height());
    for (int y = 0; y < rgb.Height(); ++y) {
        const uint8_t* s = rgb.ScanLine(y);
        uint8_t* d = out.MutableScanLine(y);
        for (int x = 0; x < rgb.Width(); ++x)
            for (int i = 0; i < 3; ++i) d[3 * x + i] = static_cast<uint8_t>(Compose(s[3 * x + i], AlphaAt(x, y), Background[i]));
    }
    return out;
}

std::string EncodePng(const TBitmap& rgb, const PngOptions& o, TBitmap* expected) {
    const int w = rgb.Width(), h = rgb.Height(), depth = o.bitDepth;
    int colorType = PNG_COLOR_TYPE_RGB, channels = 3;
    switch (o.kind) {
        case PngKind::Rgb: case PngKind::RgbTransparent: break;
        case PngKind::RgbAlpha: colorType = PNG_COLOR_TYPE_RGB_ALPHA; channels = 4; break;
        case PngKind::Grey: case PngKind::GreyTransparent: colorType = PNG_COLOR_TYPE_GRAY; channels = 1; break;
        case PngKind::GreyAlpha: colorType = PNG_COLOR_TYPE_GRAY_ALPHA; channels = 2; break;
        case PngKind::Palette: case PngKind::PaletteTransparent: colorType = PNG_COLOR_TYPE_PALETTE; channels = 1; break;
    }
    const bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
    const int levels = 1 << std::min(depth, 8);
    // Palette pictures: entry i is a colour of its own; the pixel takes entry
    // (x + 3y) mod the entries; with transparency each entry has an opacity.
    auto paletteColour = [&](int i, int c) { return (i * (c == 0 ? 37 : c == 1 ? 91 : 151) + 11 * c) % 256; };
    auto paletteAlpha = [&](int i) { return (i * 67) % 256; };
    // Grey or RGB with a tRNS colour: pixels of that exact colour are transparent.
    const int transparentGrey = GreyLevel(rgb.Width() > 0 ? rgb.ScanLine(0)[0] : 0, depth);
    const uint8_t* firstPixel = rgb.ScanLine(0);

    std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(h));
    TBitmap want;
    want.SetSize(w, h);
    const int bytesPerSample = depth == 16 ? 2 : 1;
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgb.ScanLine(y);
        uint8_t* e = want.MutableScanLine(y);
        std::vector<int> samples;
        for (int x = 0; x < w; ++x) {
            int r = s[3 * x], g = s[3 * x + 1], b = s[3 * x + 2], a = AlphaAt(x, y);
            int out[3] = {0, 0, 0};
            switch (o.kind) {
                case PngKind::Rgb:
                case PngKind::RgbTransparent:
                case PngKind::RgbAlpha: {
                    const int v[3] = {r, g, b};
                    for (int i = 0; i < 3; ++i) samples.push_back(depth == 16 ? v[i] * 257 : v[i]);
                    if (o.kind == PngKind::RgbAlpha) samples.push_back(depth == 16 ? a * 257 : a);
                    const bool clear = o.kind == PngKind::RgbTransparent && r == firstPixel[0] && g == firstPixel[1] &&
                                       b == firstPixel[2];
                    const int alpha = o.kind == PngKind::RgbAlpha ? a : clear ? 0 : 255;
                    for (int i = 0; i < 3; ++i) out[i] = Compose(v[i], alpha, Background[i]);
                    break;
                }
                case PngKind::Grey:
                case PngKind::GreyTransparent:
                case PngKind::GreyAlpha: {
                    const int level = GreyLevel(r, depth);
                    samples.push_back(depth == 16 ? level * 257 : level);
                    if (o.kind == PngKind::GreyAlpha) samples.push_back(depth == 16 ? a * 257 : a);
                    const int v = Expanded(level, depth);
                    const int alpha = o.kind == PngKind::GreyAlpha ? a
                                      : (o.kind == PngKind::GreyTransparent && level == transparentGrey) ? 0 : 255;
                    for (int i = 0; i < 3; ++i) out[i] = Compose(v, alpha, Background[i]);
                    break;
                }
                case PngKind::Palette:
                case PngKind::PaletteTransparent: {
                    const int index = (x + 3 * y + r) % levels;
                    samples.push_back(index);
                    const int alpha = o.kind == PngKind::PaletteTransparent ? paletteAlpha(index) : 255;
                    for (int i = 0; i < 3; ++i) out[i] = Compose(paletteColour(index, i), alpha, Background[i]);
                    break;
                }
            }
            for (int i = 0; i < 3; ++i) e[3 * x + i] = static_cast<uint8_t>(out[i]);
        }
        // Pack the samples at the depth.
        std::vector<uint8_t>& row = rows[y];
        if (depth >= 8) {
            for (int v : samples) {
                if (bytesPerSample == 2) row.push_back(static_cast<uint8_t>(v >> 8));
                row.push_back(static_cast<uint8_t>(v & 0xFF));
            }
        } else {
            row.assign((samples.size() * depth + 7) / 8, 0);
            for (size_t i = 0; i < samples.size(); ++i) {
                size_t bit = i * depth;
                row[bit / 8] |= static_cast<uint8_t>(samples[i] << (8 - depth - bit % 8));
            }
        }
    }
    (void)channels;
    if (expected) *expected = want;

    PngWriteState state;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, Error, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    std::vector<png_color> colours;
    std::vector<png_byte> alphas;
    for (int i = 0; i < levels && palette; ++i) {
        colours.push_back(png_color{static_cast<png_byte>(paletteColour(i, 0)), static_cast<png_byte>(paletteColour(i, 1)),
                                    static_cast<png_byte>(paletteColour(i, 2))});
        alphas.push_back(static_cast<png_byte>(paletteAlpha(i)));
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng could not write the test picture");
    }
    png_set_write_fn(png, &state, WriteData, Flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), depth, colorType,
                 o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (palette) png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
    if (o.kind == PngKind::PaletteTransparent) png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
    png_color_16 trns{};
    if (o.kind == PngKind::GreyTransparent) {
        trns.gray = static_cast<png_uint_16>(depth == 16 ? transparentGrey * 257 : transparentGrey);
        png_set_tRNS(png, info, nullptr, 0, &trns);
    }
    if (o.kind == PngKind::RgbTransparent) {
        auto level = [&](int v) { return static_cast<png_uint_16>(depth == 16 ? v * 257 : v); };
        trns.red = level(firstPixel[0]);
        trns.green = level(firstPixel[1]);
        trns.blue = level(firstPixel[2]);
        png_set_tRNS(png, info, nullptr, 0, &trns);
    }
    if (!o.exif.empty())
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(o.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char*>(o.exif.data())));
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return state.out;
}

std::string EncodeWebp(const TBitmap& rgb, const WebpOptions& o) {
    const int w = rgb.Width(), h = rgb.Height();
    std::vector<uint8_t> pixels;
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgb.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            pixels.insert(pixels.end(), s + 3 * x, s + 3 * x + 3);
            if (o.alpha) pixels.push_back(static_cast<uint8_t>(AlphaAt(x, y)));
        }
    }
    uint8_t* out = nullptr;
    size_t size = 0;
    const int stride = w * (o.alpha ? 4 : 3);
    if (o.lossless)
        size = o.alpha ? WebPEncodeLosslessRGBA(pixels.data(), w, h, stride, &out)
                       : WebPEncodeLosslessRGB(pixels.data(), w, h, stride, &out);
    else
        size = o.alpha ? WebPEncodeRGBA(pixels.data(), w, h, stride, static_cast<float>(o.quality), &out)
                       : WebPEncodeRGB(pixels.data(), w, h, stride, static_cast<float>(o.quality), &out);
    if (!size) throw std::runtime_error("libwebp could not encode the test picture");
    std::string bytes(reinterpret_cast<const char*>(out), size);
    WebPFree(out);
    if (o.exif.empty()) return bytes;
    WebPMux* mux = WebPMuxNew();
    WebPData image{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    WebPData exif{reinterpret_cast<const uint8_t*>(o.exif.data()), o.exif.size()};
    WebPData assembled{nullptr, 0};
    if (WebPMuxSetImage(mux, &image, 1) != WEBP_MUX_OK || WebPMuxSetChunk(mux, "EXIF", &exif, 1) != WEBP_MUX_OK ||
        WebPMuxAssemble(mux, &assembled) != WEBP_MUX_OK) {
        WebPMuxDelete(mux);
        throw std::runtime_error("libwebpmux could not add the EXIF chunk");
    }
    std::string result(reinterpret_cast<const char*>(assembled.bytes), assembled.size);
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);
    return result;
}

namespace {

heif_image* HeifImageOf(const TBitmap& rgb, bool alpha) {
    heif_image* image = nullptr;
    const int w = rgb.Width(), h = rgb.Height();
    const heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
    if (heif_image_create(w, h, heif_colorspace_RGB, chroma, &image).code != heif_error_Ok)
        throw std::runtime_error("libheif: no image");
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* p = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgb.ScanLine(y);
        uint8_t* d = p + static_cast<size_t>(y) * stride;
        for (int x = 0; x < w; ++x) {
            std::memcpy(d, s + 3 * x, 3);
            if (alpha) d[3] = static_cast<uint8_t>(AlphaAt(x, y));
            d += alpha ? 4 : 3;
        }
    }
    return image;
}

heif_error Collect(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

void Require(const heif_error& error, const char* what) {
    if (error.code != heif_error_Ok) throw std::runtime_error(std::string("libheif: ") + what + ": " + error.message);
}

}  // namespace

std::string EncodeHeif(const TBitmap& rgb, const HeifOptions& o) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    Require(heif_context_get_encoder_for_format(context, o.av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder),
            "no encoder");
    heif_encoder_set_lossy_quality(encoder, o.quality);
    heif_image* image = HeifImageOf(rgb, o.alpha);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(o.orientation);
    heif_image_handle* handle = nullptr;
    Require(heif_context_encode_image(context, image, encoder, options, &handle), "encoding");
    if (o.preview) {
        heif_image* small = HeifImageOf(*o.preview, false);
        heif_image_handle* thumbnail = nullptr;
        Require(heif_context_encode_thumbnail(context, small, handle, encoder, options, o.previewBox, &thumbnail),
                "encoding the preview");
        heif_image_handle_release(thumbnail);
        heif_image_release(small);
    }
    if (!o.exif.empty()) Require(heif_context_add_exif_metadata(context, handle, o.exif.data(), static_cast<int>(o.exif.size())), "EXIF");
    std::string bytes;
    heif_writer writer{1, Collect};
    Require(heif_context_write(context, &writer, &bytes), "writing");
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return bytes;
}

std::string TiffOrientationBlock(int orientation) { return exif_bytes::OrientationBlock(orientation).substr(6); }

int MaxDifference(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return 256;
    int worst = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            worst = std::max({worst, std::abs(RedOf(p) - RedOf(q)), std::abs(GreenOf(p) - GreenOf(q)),
                              std::abs(BlueOf(p) - BlueOf(q))});
        }
    return worst;
}

double MeanDifference(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.Empty()) return 256;
    double sum = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            sum += std::abs(RedOf(p) - RedOf(q)) + std::abs(GreenOf(p) - GreenOf(q)) + std::abs(BlueOf(p) - BlueOf(q));
        }
    return sum / (3.0 * a.Width() * a.Height());
}

TBitmap SmoothPicture(int width, int height) {
    TBitmap b;
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            int r = 30 + 200 * x / width, g = 40 + 180 * y / height, bl = 160 - 100 * x / width;
            const int dx = x - width / 4, dy = y - height / 3;
            if (dx * dx + dy * dy < height * height / 25) r = 240, g = 220, bl = 20;
            if (x > width * 3 / 4 && x < width * 3 / 4 + width / 8 && y > height / 2) r = g = bl = 20;
            row[3 * x] = static_cast<uint8_t>(r);
            row[3 * x + 1] = static_cast<uint8_t>(g);
            row[3 * x + 2] = static_cast<uint8_t>(bl);
        }
    }
    return b;
}

TBitmap Plain(int width, int height, int r, int g, int b) {
    TBitmap bitmap;
    bitmap.SetSize(width, height);
    bitmap.SetBrushColor(RGBColor(r, g, b));
    bitmap.FillRect(Rect(0, 0, width, height));
    return bitmap;
}

}  // namespace format_pictures
