// The BMP reader on hand-made files (one comment per header field) and
// against ImageMagick's reading of the files it writes.
#include <gtest/gtest.h>

#include <functional>

#include "ImagingTestPictures.h"
#include "imaging/Bmp.h"
#include "imaging/Picture.h"
#include "platform/Exception.h"
#include "support/RequiredTools.h"
#include "support/TestSupport.h"

using testing_support::TempDir;

namespace {

// Little-endian bytes, built field by field.
struct Bytes {
    std::string s;
    Bytes& u8(unsigned v) { s += static_cast<char>(v & 0xFF); return *this; }
    Bytes& u16(unsigned v) { return u8(v).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    Bytes& raw(std::initializer_list<unsigned> bytes) { for (unsigned b : bytes) u8(b); return *this; }
    Bytes& zeros(size_t n) { s.append(n, '\0'); return *this; }
};

// The 14-byte file header.
Bytes FileHeader(uint32_t fileSize, uint32_t pixelOffset) {
    Bytes b;
    b.raw({'B', 'M'})   // signature
        .u32(fileSize)   // file size (not checked by readers)
        .u16(0).u16(0)   // reserved
        .u32(pixelOffset);  // offset of the pixel data
    return b;
}

// A 40-byte info header.
Bytes& InfoHeader(Bytes& b, int32_t width, int32_t height, unsigned bitCount, uint32_t compression = 0,
                  uint32_t imageSize = 0, uint32_t coloursUsed = 0) {
    return b.u32(40)       // header size: info
        .i32(width)        // width
        .i32(height)       // height, negative for top-down rows
        .u16(1)            // planes
        .u16(bitCount)     // bits per pixel
        .u32(compression)  // 0 RGB, 1 RLE8, 2 RLE4, 3 bit fields
        .u32(imageSize)    // bytes of pixel data (0 allowed when uncompressed)
        .i32(2835).i32(2835)  // pixels per metre
        .u32(coloursUsed)  // palette entries, 0 for all
        .u32(0);           // important colours
}

TBitmap Read(const std::string& bytes) {
    TBitmap b;
    ReadBmp(bytes.data(), bytes.size(), b);
    return b;
}

std::string ErrorOf(const std::string& bytes) {
    try {
        Read(bytes);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

constexpr TColor Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, White = 0xFFFFFF, Black = 0;

}  // namespace

TEST(BmpUncompressed, TwentyFourBitRowsAreBottomUpAndPadded) {
    Bytes b = FileHeader(14 + 40 + 16, 14 + 40);
    InfoHeader(b, 2, 2, 24);
    b.raw({0, 0, 255, 0, 255, 0, 0, 0})         // bottom row: red, green (B,G,R order), 2 bytes padding
        .raw({255, 0, 0, 255, 255, 255, 0, 0});  // top row: blue, white, padding
    TBitmap bmp = Read(b.s);
    ASSERT_EQ(bmp.GetPixelFormat(), pf24bit);
    EXPECT_EQ(bmp.Pixel(0, 1), Red);
    EXPECT_EQ(bmp.Pixel(1, 1), Green);
    EXPECT_EQ(bmp.Pixel(0, 0), Blue);
    EXPECT_EQ(bmp.Pixel(1, 0), White);
}

TEST(BmpUncompressed, NegativeHeightMeansTopDown) {
    Bytes b = FileHeader(0, 14 + 40);
    InfoHeader(b, 1, -2, 24);
    b.raw({0, 0, 255, 0})    // first row in the file: the top one, red
        .raw({255, 0, 0, 0});  // then blue
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 0), Red);
    EXPECT_EQ(bmp.Pixel(0, 1), Blue);
}

TEST(BmpUncompressed, CoreHeaderWithThreeBytePalette) {
    Bytes b = FileHeader(0, 14 + 12 + 6);
    b.u32(12)       // header size: core
        .u16(3)     // width (16 bits)
        .u16(1)     // height (16 bits)
        .u16(1)     // planes
        .u16(1);    // bits per pixel
    b.raw({0, 0, 255})    // palette entry 0: red (B, G, R)
        .raw({255, 0, 0})  // entry 1: blue
        .raw({0xA0, 0, 0, 0});  // pixels 1, 0, 1, then padding
    TBitmap bmp = Read(b.s);
    ASSERT_EQ(bmp.GetPixelFormat(), pf8bit);
    EXPECT_EQ(bmp.Pixel(0, 0), Blue);
    EXPECT_EQ(bmp.Pixel(1, 0), Red);
    EXPECT_EQ(bmp.Pixel(2, 0), Blue);
}

TEST(BmpUncompressed, FourAndEightBitIndicesWithShortPalette) {
    Bytes b = FileHeader(0, 14 + 40 + 8);
    InfoHeader(b, 3, 1, 4, 0, 0, 2);  // two colours used
    b.raw({255, 255, 255, 0})         // entry 0: white
        .raw({0, 255, 0, 0})          // entry 1: green
        .raw({0x10, 0x70, 0, 0});     // pixels 1, 0, 7 (beyond the palette), padding
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 0), Green);
    EXPECT_EQ(bmp.Pixel(1, 0), White);
    EXPECT_EQ(bmp.Pixel(2, 0), Black);  // an index without a colour reads as black

    Bytes c = FileHeader(0, 14 + 40 + 4);
    InfoHeader(c, 2, 1, 8, 0, 0, 1);
    c.raw({0, 0, 255, 0})        // entry 0: red
        .raw({0, 0, 0, 0});      // pixels 0, 0, padding
    EXPECT_EQ(Read(c.s).Pixel(1, 0), Red);
}

TEST(BmpUncompressed, SixteenBitFiveFiveFiveAndBitFields) {
    Bytes b = FileHeader(0, 14 + 40);
    InfoHeader(b, 2, 1, 16);
    b.u16(0x7C00)      // red at 5-5-5 full scale
        .u16(0x0010);  // blue 16 of 31
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 0), Red);
    EXPECT_EQ(bmp.Pixel(1, 0), RGBColor(0, 0, 0x84));  // 10000 repeated: 10000100

    Bytes c = FileHeader(0, 14 + 40 + 12);
    InfoHeader(c, 2, 1, 16, 3);
    c.u32(0xF800).u32(0x07E0).u32(0x001F)  // masks after the info header: 5-6-5
        .u16(0x07E0)                        // green, full
        .u16(0xFFFF);                       // white
    TBitmap bf = Read(c.s);
    EXPECT_EQ(bf.Pixel(0, 0), Green);
    EXPECT_EQ(bf.Pixel(1, 0), White);
}

TEST(BmpUncompressed, ThirtyTwoBitPlainAndV4BitFields) {
    Bytes b = FileHeader(0, 14 + 40);
    InfoHeader(b, 1, 1, 32);
    b.raw({1, 2, 3, 0x99});  // B, G, R, unused
    EXPECT_EQ(Read(b.s).Pixel(0, 0), RGBColor(3, 2, 1));

    Bytes v4 = FileHeader(0, 14 + 108);
    v4.u32(108).i32(1).i32(1).u16(1).u16(32).u32(3)  // size, width, height, planes, bits, bit fields
        .u32(4).i32(0).i32(0).u32(0).u32(0)          // image size, resolution, colours
        .u32(0x000000FF)     // red mask: lowest byte
        .u32(0x0000FF00)     // green mask
        .u32(0x00FF0000)     // blue mask
        .u32(0xFF000000)     // alpha mask
        .zeros(108 - 56);    // colour space, endpoints, gamma
    v4.raw({10, 20, 30, 40});
    EXPECT_EQ(Read(v4.s).Pixel(0, 0), RGBColor(10, 20, 30));
}

TEST(BmpRunLength, Rle8RunsLiteralsLineEndsAndJumps) {
    Bytes b = FileHeader(0, 14 + 40 + 12);
    InfoHeader(b, 4, 3, 8, 1, 0, 3);
    b.raw({0, 0, 0, 0}).raw({0, 0, 255, 0}).raw({255, 0, 0, 0});  // palette: black, red, blue
    b.raw({3, 1})             // bottom row: 3 x red
        .raw({0, 0})          // end of line
        .raw({0, 3, 2, 1, 2, 0})  // literal 3 pixels: blue, red, blue, padded to even
        .raw({0, 2, 1, 1})    // jump 1 right, 1 up: to x 4, top row
        .raw({0, 1});         // end of bitmap
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 2), Red);
    EXPECT_EQ(bmp.Pixel(2, 2), Red);
    EXPECT_EQ(bmp.Pixel(3, 2), Black);  // never set
    EXPECT_EQ(bmp.Pixel(0, 1), Blue);
    EXPECT_EQ(bmp.Pixel(1, 1), Red);
    EXPECT_EQ(bmp.Pixel(2, 1), Blue);
    EXPECT_EQ(bmp.Pixel(0, 0), Black);
}

TEST(BmpRunLength, Rle4AlternatesNibbles) {
    Bytes b = FileHeader(0, 14 + 40 + 8);
    InfoHeader(b, 5, 1, 4, 2, 0, 2);
    b.raw({0, 0, 255, 0}).raw({0, 255, 0, 0});  // palette: red, green
    b.raw({3, 0x01})           // 3 pixels alternating red, green, red
        .raw({0, 3, 0x10, 0x10})  // literal: 3 pixels 1, 0, 1 in two bytes (already even)
        .raw({0, 1});
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 0), Red);
    EXPECT_EQ(bmp.Pixel(1, 0), Green);
    EXPECT_EQ(bmp.Pixel(2, 0), Red);
    EXPECT_EQ(bmp.Pixel(3, 0), Green);
    EXPECT_EQ(bmp.Pixel(4, 0), Red);
}

TEST(BmpRunLength, RunsAndJumpsPastTheBitmapAreClipped) {
    Bytes b = FileHeader(0, 14 + 40 + 8);
    InfoHeader(b, 3, 2, 8, 1, 0, 2);
    b.raw({0, 0, 0, 0}).raw({0, 0, 255, 0});  // palette: black, red
    b.raw({255, 1})              // a run of 255 in a row of 3
        .raw({0, 255}).zeros(255 + 1)  // a literal of 255 past the edge (and past nothing)
        .raw({0, 2, 250, 0})     // jump far right
        .raw({5, 1})
        .raw({0, 2, 0, 200})     // jump far beyond the top
        .raw({200, 1})           // nothing left to draw into
        .raw({0, 3});            // a literal cut off by the end of the data
    TBitmap bmp = Read(b.s);
    EXPECT_EQ(bmp.Pixel(0, 1), Red);
    EXPECT_EQ(bmp.Pixel(2, 1), Red);
    EXPECT_EQ(bmp.Pixel(0, 0), Black);
}

TEST(BmpFailures, BadHeadersAreNotValidBitmaps) {
    auto with = [](std::function<void(Bytes&)> header, std::string pixels = std::string(64, '\0')) {
        Bytes b = FileHeader(0, 14 + 40);
        header(b);
        return b.s + pixels;
    };
    const std::string invalid = "Bitmap image is not valid";
    Bytes bad = FileHeader(0, 54);
    InfoHeader(bad, 1, 1, 24);
    bad.s[0] = 'X';
    EXPECT_EQ(ErrorOf(bad.s), invalid) << "signature";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { b.u32(20).zeros(16); })), invalid) << "unknown header size";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 0, 1, 24); })), invalid) << "no columns";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, -1, 1, 24); })), invalid) << "negative width";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 0, 24); })), invalid) << "no rows";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 7); })), invalid) << "bit count";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 24, 1); })), invalid) << "RLE8 at 24 bits";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 8, 2); })), invalid) << "RLE4 at 8 bits";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 24, 3); })), invalid) << "bit fields at 24 bits";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 24, 4); })), invalid) << "JPEG inside";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 8, 0, 0, 257); })), invalid) << "palette count";
    EXPECT_EQ(ErrorOf(with([](Bytes& b) { InfoHeader(b, 1, 1, 16, 3).u32(0xF0F0).u32(0).u32(0); })), invalid)
        << "mask with a gap";
    Bytes early = FileHeader(0, 20);  // pixel offset inside the headers
    InfoHeader(early, 1, 1, 24);
    EXPECT_EQ(ErrorOf(early.s + "1234"), invalid) << "offset";
}

TEST(BmpFailures, ShortFilesAreReadErrors) {
    const std::string readError = "Stream read error";
    EXPECT_EQ(ErrorOf("BM"), readError);
    Bytes header = FileHeader(0, 54);
    EXPECT_EQ(ErrorOf(header.s + std::string("\x28\0\0\0\x01", 5)), readError) << "header cut";
    Bytes b = FileHeader(0, 54);
    InfoHeader(b, 4, 4, 24);
    EXPECT_EQ(ErrorOf(b.s + std::string(47, '\0')), readError) << "one byte of pixels missing";
    EXPECT_EQ(ErrorOf(b.s + std::string(48, '\0')), "");
    Bytes far = FileHeader(0, 5000);
    InfoHeader(far, 1, 1, 24);
    EXPECT_EQ(ErrorOf(far.s + "1234"), readError) << "offset past the end";
    Bytes palette = FileHeader(0, 54 + 1024);
    InfoHeader(palette, 1, 1, 8);
    EXPECT_EQ(ErrorOf(palette.s + std::string(100, '\0')), readError) << "palette cut";
    Bytes rle = FileHeader(0, 54 + 8);
    InfoHeader(rle, 1, 1, 8, 1, 1000, 2);
    EXPECT_EQ(ErrorOf(rle.s + std::string(8 + 10, '\0')), readError) << "compressed size beyond the file";
}

TEST(BmpFailures, HugeDimensionsAreRefusedBeforeAllocating) {
    Bytes b = FileHeader(0, 54);
    InfoHeader(b, 20000, 20000, 8, 1);  // RLE: a few bytes could otherwise ask for 400 megapixels
    EXPECT_EQ(ErrorOf(b.s + std::string("\0\1", 2)), "Bitmap image is too large");
    Bytes c = FileHeader(0, 54);
    InfoHeader(c, 0x7FFFFFFF, -0x7FFFFFFF, 32);
    EXPECT_EQ(ErrorOf(c.s), "Bitmap image is too large");
    Bytes d = FileHeader(0, 54);
    InfoHeader(d, 1, INT32_MIN, 24);  // a height whose negation overflows 32 bits
    EXPECT_EQ(ErrorOf(d.s), "Bitmap image is too large");
}

TEST(BmpFailures, MissingFileNamesThePath) {
    TempDir dir;
    TBitmap b;
    try {
        LoadBmpFile(dir / "none.bmp", b);
        FAIL() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + (dir / "none.bmp"));
    }
}

// ---- Against ImageMagick ----

namespace {

const char* const Convert = "/usr/bin/convert";

// ImageMagick's own reading of a file, as 8-bit RGB rows.
bool ReadWithImageMagick(const std::string& path, int& w, int& h, std::string& rgb) {
    auto r = testing_support::RunProgram(Convert, {path, "-depth", "8", "ppm:-"}, {{"PATH", "/usr/bin:/bin"}});
    if (r.exitCode != 0) return false;
    int maxval = 0, consumed = 0;
    if (std::sscanf(r.out.c_str(), "P6 %d %d %d%n", &w, &h, &maxval, &consumed) != 3 || maxval != 255) return false;
    rgb = r.out.substr(static_cast<size_t>(consumed) + 1);
    return rgb.size() == static_cast<size_t>(w) * h * 3;
}

void WritePpm(const TBitmap& b, const std::string& path) {
    std::string out = "P6\n" + std::to_string(b.Width()) + " " + std::to_string(b.Height()) + "\n255\n";
    for (int y = 0; y < b.Height(); ++y) out.append(reinterpret_cast<const char*>(b.ScanLine(y)), b.RowBytes());
    testing_support::WriteFile(path, out);
}

}  // namespace

TEST(BmpAgainstImageMagick, EveryFormatItWritesReadsTheSame) {
    REQUIRE_TOOL(testing_support::Exists(Convert), std::string("ImageMagick's convert (") + Convert + ")");
    TempDir dir;
    // Odd width: every row has padding.
    WritePpm(imaging_test::CameraLikePicture(37, 23, 11), dir / "picture.ppm");
    struct Format {
        const char* name;
        std::vector<std::string> options;
        const char* coder;
        int expectedBits;  // bits per pixel at offset 28, to know the variant was written
    };
    const Format formats[] = {
        {"info 24-bit", {"-type", "TrueColor"}, "BMP3", 24},
        {"info 8-bit", {"-colors", "200", "-type", "Palette"}, "BMP3", 8},
        {"info 4-bit", {"-colors", "12", "-type", "Palette"}, "BMP3", 4},
        {"info 1-bit", {"-colors", "2", "-type", "Palette"}, "BMP3", 1},
        {"info RLE8", {"-colors", "60", "-type", "Palette", "-compress", "RLE"}, "BMP3", 8},
        {"v5 24-bit", {"-type", "TrueColor"}, "BMP", 24},
        {"v5 8-bit", {"-colors", "100", "-type", "Palette"}, "BMP", 8},
        {"v5 32-bit bit fields", {"-alpha", "set"}, "BMP", 32},
        {"v5 16-bit 5-6-5", {"-define", "bmp:subtype=RGB565"}, "BMP", 16},
        {"v5 16-bit 5-5-5", {"-define", "bmp:subtype=RGB555"}, "BMP", 16},
        {"core 24-bit", {"-type", "TrueColor"}, "BMP2", 24},
        {"core 8-bit", {"-colors", "30", "-type", "Palette"}, "BMP2", 8},
    };
    for (const Format& f : formats) {
        std::string path = dir / "out.bmp";
        std::vector<std::string> args = {dir / "picture.ppm"};
        args.insert(args.end(), f.options.begin(), f.options.end());
        args.push_back(std::string(f.coder) + ":" + path);
        auto made = testing_support::RunProgram(Convert, args, {{"PATH", "/usr/bin:/bin"}});
        ASSERT_EQ(made.exitCode, 0) << f.name << ": " << made.err;
        std::string file = testing_support::ReadFile(path);
        bool core = static_cast<uint8_t>(file[14]) == 12;
        int bits = static_cast<uint8_t>(file[core ? 24 : 28]);
        EXPECT_EQ(bits, f.expectedBits) << f.name;
        int w = 0, h = 0;
        std::string rgb;
        ASSERT_TRUE(ReadWithImageMagick(path, w, h, rgb)) << f.name;
        TBitmap ours;
        LoadBmpFile(path, ours);
        ASSERT_EQ(ours.Width(), w) << f.name;
        ASSERT_EQ(ours.Height(), h) << f.name;
        int mismatches = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = reinterpret_cast<const uint8_t*>(rgb.data()) + 3 * (static_cast<size_t>(y) * w + x);
                if (ours.Pixel(x, y) != RGBColor(p[0], p[1], p[2]) && mismatches++ < 3)
                    ADD_FAILURE() << f.name << " at " << x << "," << y << ": ours " << std::hex << ours.Pixel(x, y)
                                  << ", ImageMagick " << RGBColor(p[0], p[1], p[2]);
            }
        EXPECT_EQ(mismatches, 0) << f.name;
    }
}
