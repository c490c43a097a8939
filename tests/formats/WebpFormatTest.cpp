// WebP pictures through libwebp: lossless and lossy, transparency over the
// page's background, the EXIF chunk's orientation, the scaled decode to the
// thumbnail's size, and the bounds.
#include <gtest/gtest.h>

#include <string>

#include "FormatPictures.h"
#include "ImagingTestPictures.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Orientation.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"

using format_pictures::EncodeWebp;
using format_pictures::MaxDifference;
using format_pictures::MeanDifference;
using format_pictures::WebpOptions;
using imaging_test::CameraLikePicture;
using imaging_test::Difference;

namespace {

TBitmap Whole(const std::string& bytes) {
    auto decoder = imaging::WebpFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodeWhole(*decoder, out);
    return out;
}

TBitmap Thumbnail(const std::string& bytes, int width, int height, int* fullWidth = nullptr, int* fullHeight = nullptr) {
    auto decoder = imaging::WebpFormat().OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodePointSampled(*decoder, [&](int, int, int& w, int& h) { w = width; h = height; }, out, fullWidth,
                                fullHeight);
    return out;
}

}  // namespace

TEST(WebpFormat, LosslessPicturesDecodeExactlyAndLossyOnesClosely) {
    const TBitmap picture = CameraLikePicture(61, 40);
    WebpOptions lossless;
    EXPECT_EQ(Difference(Whole(EncodeWebp(picture, lossless)), picture), "");
    lossless.alpha = true;
    EXPECT_EQ(Difference(Whole(EncodeWebp(picture, lossless)), format_pictures::ComposedReference(picture)), "");
    const TBitmap smooth = format_pictures::SmoothPicture(61, 40);
    WebpOptions lossy;
    lossy.lossless = false;
    lossy.quality = 95;
    EXPECT_LT(MeanDifference(Whole(EncodeWebp(smooth, lossy)), smooth), 4.0);
    lossy.alpha = true;
    EXPECT_LT(MeanDifference(Whole(EncodeWebp(smooth, lossy)), format_pictures::ComposedReference(smooth)), 5.0);
}

TEST(WebpFormat, ThumbnailsAreTheScaledDecodeAtTheTargetSize) {
    // Stripes one pixel wide: point sampling would take one colour only,
    // the library's scaled decode averages them.
    TBitmap stripes;
    stripes.SetSize(200, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) stripes.SetPixel(x, y, x % 2 ? RGBColor(200, 0, 0) : RGBColor(0, 0, 200));
    const std::string webp = EncodeWebp(stripes, WebpOptions());
    int fullWidth = 0, fullHeight = 0;
    const TBitmap thumb = Thumbnail(webp, 20, 10, &fullWidth, &fullHeight);
    EXPECT_EQ(fullWidth, 200);
    EXPECT_EQ(fullHeight, 100);
    EXPECT_LE(MaxDifference(thumb, format_pictures::Plain(20, 10, 100, 0, 100)), 2);
    // The picture's own size and larger: the full decode, point sampled.
    EXPECT_EQ(Difference(Thumbnail(webp, 200, 100), stripes), "");
    EXPECT_EQ(Difference(Thumbnail(webp, 400, 50), stripes.StretchedCopy(400, 50)), "");
}

TEST(WebpFormat, TheExifChunkTurnsThePictureUpright) {
    const TBitmap picture = CameraLikePicture(30, 20);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (bool withName : {false, true}) {
            WebpOptions options;
            // Writers differ: the TIFF block alone, or with JPEG's "Exif\0\0" in front.
            options.exif = (withName ? std::string("Exif\0\0", 6) : std::string()) +
                           format_pictures::TiffOrientationBlock(orientation);
            const std::string webp = EncodeWebp(picture, options);
            const TBitmap upright = imaging::OrientUpright(picture, orientation);
            EXPECT_EQ(Difference(Whole(webp), upright), "") << orientation;
            int fullWidth = 0, fullHeight = 0;
            const TBitmap thumb = Thumbnail(webp, upright.Width() / 2, upright.Height() / 2, &fullWidth, &fullHeight);
            EXPECT_EQ(fullWidth, upright.Width());
            EXPECT_EQ(fullHeight, upright.Height());
            // The scaled decode of the stored picture, turned: close to the upright picture halved.
            EXPECT_LT(MeanDifference(thumb, upright.StretchedCopy(upright.Width() / 2, upright.Height() / 2)), 25.0)
                << orientation;
        }
    }
}

TEST(WebpFormat, APictureHoldingMoreThanTheBoundFailsAtItsHeaderAndDamagedOnesFail) {
    // A lossless bitstream's header declaring 16383 x 16383: 1 GB of ARGB.
    std::string vp8l = "\x2F";
    const uint32_t bits = 16382u | (16382u << 14);
    for (int i = 0; i < 4; ++i) vp8l += static_cast<char>(bits >> (8 * i));
    vp8l += std::string(64, '\0');
    auto le32 = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    };
    std::string huge = "RIFF";
    le32(huge, static_cast<uint32_t>(12 + vp8l.size()));
    huge.append("WEBPVP8L");
    le32(huge, static_cast<uint32_t>(vp8l.size()));
    huge.append(vp8l);
    auto decoder = imaging::WebpFormat().OpenBytes(huge.data(), huge.size());
    try {
        decoder->ReadHeader();
        FAIL() << "a 16383 x 16383 lossless picture was accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Bitmap image is too large");
    }
    const std::string webp = EncodeWebp(CameraLikePicture(40, 30), WebpOptions());
    EXPECT_THROW(Whole(webp.substr(0, webp.size() / 2)), Exception);
    EXPECT_THROW(Whole(webp.substr(0, 10)), Exception);
}
