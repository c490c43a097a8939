// PNG pictures through libpng: every colour type and depth, interlaced or
// not, with transparency composed over the page's background, the eXIf
// orientation, and the bounds.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>

#include "FormatPictures.h"
#include "ImagingTestPictures.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Limits.h"
#include "imaging/Orientation.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"

using format_pictures::EncodePng;
using format_pictures::PngKind;
using format_pictures::PngOptions;
using imaging_test::CameraLikePicture;
using imaging_test::Difference;

namespace {

TBitmap Whole(const std::string& bytes) {
    auto decoder = imaging::PngFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodeWhole(*decoder, out);
    return out;
}

TBitmap Thumbnail(const std::string& bytes, int width, int height) {
    auto decoder = imaging::PngFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodePointSampled(*decoder, [&](int, int, int& w, int& h) { w = width; h = height; }, out);
    return out;
}

struct Case {
    PngKind kind;
    int depth;
    const char* name;
};

}  // namespace

TEST(PngFormat, EveryColourTypeAndDepthInterlacedOrNotGivesItsPixelsOverTheBackground) {
    const Case cases[] = {
        {PngKind::Rgb, 8, "rgb 8"},           {PngKind::Rgb, 16, "rgb 16"},
        {PngKind::RgbAlpha, 8, "rgba 8"},     {PngKind::RgbAlpha, 16, "rgba 16"},
        {PngKind::RgbTransparent, 8, "rgb 8 + tRNS"}, {PngKind::RgbTransparent, 16, "rgb 16 + tRNS"},
        {PngKind::Grey, 1, "grey 1"},         {PngKind::Grey, 2, "grey 2"},
        {PngKind::Grey, 4, "grey 4"},         {PngKind::Grey, 8, "grey 8"},
        {PngKind::Grey, 16, "grey 16"},       {PngKind::GreyTransparent, 2, "grey 2 + tRNS"},
        {PngKind::GreyTransparent, 16, "grey 16 + tRNS"},
        {PngKind::GreyAlpha, 8, "grey+alpha 8"}, {PngKind::GreyAlpha, 16, "grey+alpha 16"},
        {PngKind::Palette, 1, "palette 1"},   {PngKind::Palette, 4, "palette 4"},
        {PngKind::Palette, 8, "palette 8"},   {PngKind::PaletteTransparent, 2, "palette 2 + tRNS"},
        {PngKind::PaletteTransparent, 8, "palette 8 + tRNS"},
    };
    // Sizes whose Adam7 passes are partly empty, as well as a larger one.
    const TBitmap pictures[] = {CameraLikePicture(37, 23), CameraLikePicture(1, 1), CameraLikePicture(5, 3)};
    for (const Case& c : cases)
        for (bool interlaced : {false, true})
            for (const TBitmap& picture : pictures) {
                SCOPED_TRACE(std::string(c.name) + (interlaced ? " interlaced " : " ") +
                             std::to_string(picture.Width()) + "x" + std::to_string(picture.Height()));
                PngOptions options;
                options.kind = c.kind;
                options.bitDepth = c.depth;
                options.interlaced = interlaced;
                TBitmap expected;
                const std::string png = EncodePng(picture, options, &expected);
                EXPECT_EQ(Difference(Whole(png), expected), "");
                for (auto [w, h] : {std::pair{11, 7}, std::pair{1, 1}, std::pair{50, 31}})
                    EXPECT_EQ(Difference(Thumbnail(png, w, h), expected.StretchedCopy(w, h)), "") << w << "x" << h;
            }
}

TEST(PngFormat, TheExifChunkTurnsThePictureUpright) {
    const TBitmap picture = CameraLikePicture(30, 20);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        PngOptions options;
        options.exif = format_pictures::TiffOrientationBlock(orientation);
        options.interlaced = orientation % 2 == 0;
        TBitmap expected;
        const std::string png = EncodePng(picture, options, &expected);
        const TBitmap upright = imaging::OrientUpright(expected, orientation);
        EXPECT_EQ(Difference(Whole(png), upright), "") << orientation;
        auto decoder = imaging::PngFormat().OpenBytes(png.data(), png.size());
        TBitmap thumb;
        int fullWidth = 0, fullHeight = 0;
        imaging::DecodePointSampled(*decoder, [](int, int, int& w, int& h) { w = 9; h = 13; }, thumb, &fullWidth,
                                    &fullHeight);
        EXPECT_EQ(fullWidth, upright.Width());
        EXPECT_EQ(fullHeight, upright.Height());
        EXPECT_EQ(Difference(thumb, upright.StretchedCopy(9, 13)), "") << orientation;
    }
}

TEST(PngFormat, DamagedFilesFailAsDecodingFailures) {
    PngOptions options;
    const std::string png = EncodePng(CameraLikePicture(40, 30), options);
    // Cut inside the pixel data, inside the header, and a byte of the
    // header's checksum changed.
    std::string badChecksum = png;
    badChecksum[29] = static_cast<char>(badChecksum[29] ^ 0x55);
    for (const std::string& damaged : {png.substr(0, png.size() / 2), png.substr(0, 20), badChecksum}) {
        EXPECT_THROW(Whole(damaged), Exception);
        EXPECT_THROW(Thumbnail(damaged, 4, 3), Exception);
    }
}

TEST(PngFormat, APictureAboveThePixelBoundFailsAtItsHeader) {
    // The signature and a header declaring 20000 x 20000 (its checksum
    // right), then nothing: the decoder must not get further.
    PngOptions options;
    std::string png = EncodePng(CameraLikePicture(2, 2), options);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    put32(16, 20000);
    put32(20, 20000);
    put32(29, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17)));
    auto decoder = imaging::PngFormat().OpenBytes(png.data(), png.size());
    try {
        decoder->ReadHeader();
        FAIL() << "a 20000 x 20000 picture was accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Bitmap image is too large");
    }
}

TEST(PngFormat, AnInterlacedPictureKeepsOnlyTheSampledRowsAndIsRefusedWholeAboveTheBound) {
    // 7200 x 7200 at one bit a pixel: 6.5 MB to write, but 207 MB held as the
    // whole picture's rows (4 bytes a pixel while the passes are read).
    const int side = 7200;
    static_assert(int64_t(side) * side * 4 > imaging::FormatMaxHeldBytes);
    TBitmap picture;
    picture.SetSize(side, side);
    for (int y = 0; y < side; y += 2) std::memset(picture.MutableScanLine(y), 255, picture.RowBytes());
    PngOptions options;
    options.kind = PngKind::Grey;
    options.bitDepth = 1;
    options.interlaced = true;
    const std::string png = EncodePng(picture, options);
    EXPECT_THROW(Whole(png), Exception);
    // The thumbnail keeps only the 70 rows it samples.
    EXPECT_EQ(Difference(Thumbnail(png, 70, 70), picture.StretchedCopy(70, 70)), "");
}
