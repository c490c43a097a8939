// One piece of the gallery's picture work per process, for timing against
// reference programs:
//   thumb_tool thumb IN OUT HEIGHT QUALITY   streaming point-sampled picture of
//                                           HEIGHT rows (width from the
//                                           proportions, fraction dropped), encoded
//   thumb_tool decode IN                     full-size decode into one bitmap
//   thumb_tool headers IN COUNT              COUNT header reads; prints microseconds each
//   thumb_tool make OUT WIDTH HEIGHT QUALITY a camera-like test picture
//   thumb_tool picture IN OUT HEIGHT QUALITY the same as thumb for a picture of
//                                           any format, chosen by its extension,
//                                           through the decoder interface
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "imaging/Bitmap.h"
#include "imaging/ClassicFormats.h"
#include "imaging/FormatChoice.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Picture.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"

namespace {

int Thumb(const std::string& in, const std::string& out, int height, int quality) {
    TBitmap thumb;
    LoadJpegPointSampled(
        in,
        [height](int fullWidth, int fullHeight, int& w, int& h) {
            h = height;
            w = static_cast<int>(static_cast<long long>(height) * fullWidth / fullHeight);
            if (w < 1) w = 1;
        },
        thumb);
    SaveJpegFile(thumb, out, quality);
    return 0;
}

int AnyPicture(const std::string& in, const std::string& out, int height, int quality) {
    const imaging::FormatChoice formats({&imaging::JpegFormat(), &imaging::GifFormat(), &imaging::BmpFormat(),
                                         &imaging::PngFormat(), &imaging::WebpFormat(), &imaging::HeifFormat()});
    const size_t dot = in.rfind('.');
    const imaging::PictureFormat* format = formats.ForExtension(dot == std::string::npos ? "" : in.substr(dot + 1));
    if (!format) {
        std::fprintf(stderr, "no format takes %s\n", in.c_str());
        return 2;
    }
    TBitmap thumb;
    auto decoder = format->Open(in);
    imaging::DecodePointSampled(
        *decoder,
        [height](int fullWidth, int fullHeight, int& w, int& h) {
            h = height;
            w = static_cast<int>(static_cast<long long>(height) * fullWidth / fullHeight);
            if (w < 1) w = 1;
        },
        thumb);
    SaveJpegFile(thumb, out, quality);
    return 0;
}

int Decode(const std::string& in) {
    TBitmap full;
    LoadJpegFile(in, full);
    // Use the result so that nothing is optimised away.
    unsigned sum = 0;
    for (int y = 0; y < full.Height(); y += 97) sum += full.ScanLine(y)[0];
    std::printf("%dx%d %u\n", full.Width(), full.Height(), sum);
    return 0;
}

int Headers(const std::string& in, int count) {
    auto start = std::chrono::steady_clock::now();
    int w = 0, h = 0;
    for (int i = 0; i < count; ++i)
        if (!ReadJpegSize(in, w, h)) return 1;
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    std::printf("%dx%d: %.1f us per header\n", w, h, us / count);
    return 0;
}

// Smooth light falling over the frame, textured areas, noise like a sensor's,
// and hard-edged shapes: compresses like a camera picture.
int Make(const std::string& out, int width, int height, int quality) {
    TBitmap b;
    b.SetSize(width, height);
    std::mt19937 rng(12345);
    std::normal_distribution<float> noise(0.0f, 9.5f);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            float fx = static_cast<float>(x) / width, fy = static_cast<float>(y) / height;
            float sky = 1.0f - fy;
            float r = 70 + 120 * sky + 40 * std::sin(fx * 9.0f + fy * 3.0f);
            float g = 90 + 90 * sky + 35 * std::sin(fx * 5.0f - fy * 7.0f);
            float bl = 120 + 110 * sky - 30 * fx;
            if (fy > 0.55f) {  // foreground: grass-like texture
                float t = std::sin(x * 0.31f + std::sin(y * 0.05f) * 4.0f) * std::sin(y * 0.23f);
                r = 60 + 30 * t + 40 * fx;
                g = 110 + 45 * t;
                bl = 40 + 20 * t;
            }
            float dx = fx - 0.3f, dy = fy - 0.4f;
            if (dx * dx + dy * dy < 0.02f) r = 240, g = 200, bl = 60;  // a sun
            if (fx > 0.62f && fx < 0.7f && fy > 0.3f) r = 90, g = 60, bl = 40;  // a post
            auto clamp = [](float v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            row[3 * x] = clamp(r + noise(rng));
            row[3 * x + 1] = clamp(g + noise(rng));
            row[3 * x + 2] = clamp(bl + noise(rng));
        }
    }
    SaveJpegFile(b, out, quality);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "thumb" && argc == 6) return Thumb(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
        if (mode == "picture" && argc == 6)
            return AnyPicture(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
        if (mode == "decode" && argc == 3) return Decode(argv[2]);
        if (mode == "headers" && argc == 4) return Headers(argv[2], std::atoi(argv[3]));
        if (mode == "make" && argc == 6) return Make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: thumb_tool thumb|picture IN OUT HEIGHT QUALITY | decode IN | headers IN COUNT | make OUT W H QUALITY\n");
    return 2;
}
