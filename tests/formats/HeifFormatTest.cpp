// HEIF and AVIF pictures through libheif: the primary picture, the format's
// own rotation and mirror (its EXIF orientation not applied on top), the
// embedded preview when it is large enough, transparency, and the bounds.
#include <gtest/gtest.h>

#include <string>

#include "FormatPictures.h"
#include "ImagingTestPictures.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Orientation.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"
#include "support/TestSupport.h"

using format_pictures::EncodeHeif;
using format_pictures::HeifOptions;
using format_pictures::MaxDifference;
using format_pictures::MeanDifference;
using format_pictures::Plain;
using imaging_test::CameraLikePicture;

namespace {

TBitmap Whole(const std::string& bytes) {
    auto decoder = imaging::HeifFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodeWhole(*decoder, out);
    return out;
}

TBitmap Thumbnail(const std::string& bytes, int width, int height, int* fullWidth = nullptr, int* fullHeight = nullptr) {
    auto decoder = imaging::HeifFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodePointSampled(*decoder, [&](int, int, int& w, int& h) { w = width; h = height; }, out, fullWidth,
                                fullHeight);
    return out;
}

}  // namespace

TEST(HeifFormat, HeicAndAvifPicturesDecodeCloseToWhatWasEncoded) {
    const TBitmap picture = format_pictures::SmoothPicture(64, 48);
    for (bool av1 : {false, true}) {
        HeifOptions options;
        options.av1 = av1;
        const std::string heif = EncodeHeif(picture, options);
        EXPECT_LT(MeanDifference(Whole(heif), picture), 3.0) << (av1 ? "AVIF" : "HEIC");
        options.alpha = true;
        const std::string transparent = EncodeHeif(picture, options);
        EXPECT_LT(MeanDifference(Whole(transparent), format_pictures::ComposedReference(picture)), 4.0)
            << (av1 ? "AVIF" : "HEIC") << " with alpha";
    }
}

TEST(HeifFormat, TheFormatsOwnRotationAndMirrorAreAppliedAndItsExifOrientationIsNot) {
    const TBitmap picture = format_pictures::SmoothPicture(64, 32);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        HeifOptions options;
        options.orientation = orientation;
        // An EXIF orientation that disagrees: informational only in HEIF.
        options.exif = format_pictures::TiffOrientationBlock(orientation == 3 ? 6 : 3);
        const std::string heif = EncodeHeif(picture, options);
        const TBitmap upright = imaging::OrientUpright(picture, orientation);
        const TBitmap whole = Whole(heif);
        EXPECT_EQ(whole.Width(), upright.Width()) << orientation;
        EXPECT_LT(MeanDifference(whole, upright), 3.0) << orientation;
        int fullWidth = 0, fullHeight = 0;
        const TBitmap thumb = Thumbnail(heif, 16, 16, &fullWidth, &fullHeight);
        EXPECT_EQ(fullWidth, upright.Width());
        EXPECT_EQ(fullHeight, upright.Height());
        EXPECT_LT(MeanDifference(thumb, upright.StretchedCopy(16, 16)), 6.0) << orientation;
    }
}

TEST(HeifFormat, ThePreviewIsUsedWhenItIsLargeEnoughAndOfThePicturesProportions) {
    // The picture grey, its preview green: which one a thumbnail comes from shows.
    const TBitmap picture = Plain(256, 192, 128, 128, 128);
    const TBitmap green = Plain(128, 96, 0, 200, 0);
    HeifOptions options;
    options.preview = &green;
    options.previewBox = 64;  // 64 x 48
    const std::string heif = EncodeHeif(picture, options);
    EXPECT_LE(MaxDifference(Thumbnail(heif, 40, 30), Plain(40, 30, 0, 200, 0)), 12);
    EXPECT_LE(MaxDifference(Thumbnail(heif, 64, 48), Plain(64, 48, 0, 200, 0)), 12);
    // Larger than the preview, or the whole picture: the picture itself.
    EXPECT_LE(MaxDifference(Thumbnail(heif, 65, 48), Plain(65, 48, 128, 128, 128)), 12);
    EXPECT_LE(MaxDifference(Whole(heif), picture), 12);
    // A preview of other proportions is never used.
    const TBitmap square = Plain(96, 96, 0, 200, 0);
    options.preview = &square;
    EXPECT_LE(MaxDifference(Thumbnail(EncodeHeif(picture, options), 40, 30), Plain(40, 30, 128, 128, 128)), 12);
}

TEST(HeifFormat, AGridOfMoreTilesThanTheBoundFailsBeforeDecodingAndDamagedFilesFail) {
    // 4096 references to one 64 x 64 tile (tests/formats/make_heif_grid.py).
    const std::string grid =
        testing_support::ReadFile(std::string(PICTORAMA_SOURCE_DIR) + "/fuzz/corpus/heif_fuzzer/grid_4096_tiles.heic");
    auto decoder = imaging::HeifFormat().OpenBytes(grid.data(), grid.size());
    try {
        decoder->ReadHeader();
        FAIL() << "a grid of 4096 tiles was accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "HEIF error: too many tiles");
    }
    // The same through a file, whose boxes are read from the stream.
    auto fromFile = imaging::HeifFormat().Open(std::string(PICTORAMA_SOURCE_DIR) +
                                               "/fuzz/corpus/heif_fuzzer/grid_4096_tiles.heic");
    EXPECT_THROW(fromFile->ReadHeader(), Exception);
    const std::string small = testing_support::ReadFile(std::string(PICTORAMA_SOURCE_DIR) +
                                                        "/fuzz/corpus/heif_fuzzer/grid_4_tiles.heic");
    EXPECT_EQ(Whole(small).Width(), 128);
    auto smallFile = imaging::HeifFormat().Open(std::string(PICTORAMA_SOURCE_DIR) +
                                                "/fuzz/corpus/heif_fuzzer/grid_4_tiles.heic");
    TBitmap whole;
    imaging::DecodeWhole(*smallFile, whole);
    EXPECT_LE(MaxDifference(whole, Whole(small)), 0);
    const std::string heif = EncodeHeif(CameraLikePicture(64, 48), HeifOptions());
    EXPECT_THROW(Whole(heif.substr(0, heif.size() / 2)), Exception);
    EXPECT_THROW(Whole(heif.substr(0, 40)), Exception);
    EXPECT_THROW(Whole(""), Exception);
}
