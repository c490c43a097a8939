// The JPEG, GIF and BMP readers on the decoder interface give exactly the
// pixels of their own routines, and the formats are chosen by extension and
// by content.
#include <gtest/gtest.h>

#include <string>

#include "ImagingTestPictures.h"
#include "imaging/Bmp.h"
#include "imaging/ClassicFormats.h"
#include "imaging/FormatChoice.h"
#include "imaging/Gif.h"
#include "imaging/Jpeg.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Orientation.h"
#include "imaging/Picture.h"
#include "imaging/PointSampler.h"
#include "support/ExifBytes.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

using imaging_test::CameraLikePicture;
using imaging_test::Difference;
using imaging_test::EncodeWithLibjpeg;
using imaging_test::LibjpegOptions;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

imaging::TargetChooser Fixed(int width, int height) {
    return [width, height](int, int, int& w, int& h) {
        w = width;
        h = height;
    };
}

TBitmap Sampled(const imaging::PictureFormat& format, const std::string& bytes, int width, int height, int* fullWidth = nullptr,
                int* fullHeight = nullptr) {
    auto decoder = format.OpenBytes(bytes.data(), bytes.size());
    TBitmap out;
    imaging::DecodePointSampled(*decoder, Fixed(width, height), out, fullWidth, fullHeight);
    return out;
}

}  // namespace

TEST(ClassicFormatsOnTheInterface, JpegThumbnailsEqualTheStreamingThumbnailerForEveryOrientationAndKind) {
    const TBitmap picture = CameraLikePicture(120, 80);
    LibjpegOptions grey;
    grey.grayscale = true;
    LibjpegOptions progressive;
    progressive.progressive = true;
    for (const LibjpegOptions& options : {LibjpegOptions(), grey, progressive})
        for (int orientation = 1; orientation <= 8; ++orientation) {
            const std::string jpeg = exif_bytes::WithApp1(EncodeWithLibjpeg(picture, options),
                                                          exif_bytes::OrientationBlock(orientation));
            // Shrinking (by a whole factor, where a mirrored grid falls
            // elsewhere, and by another), the picture's own size, enlarging,
            // one pixel.
            for (auto [w, h] : {std::pair{30, 20}, std::pair{31, 21}, std::pair{120, 80}, std::pair{150, 200},
                                std::pair{1, 1}}) {
                SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " + std::to_string(w) + "x" +
                             std::to_string(h) + (options.grayscale ? ", grey" : ""));
                TBitmap want;
                int wantWidth = 0, wantHeight = 0, fullWidth = 0, fullHeight = 0;
                DecodeJpegPointSampled(jpeg.data(), jpeg.size(), w, h, want, &wantWidth, &wantHeight);
                const TBitmap got = Sampled(imaging::JpegFormat(), jpeg, w, h, &fullWidth, &fullHeight);
                EXPECT_EQ(Difference(got, want), "");
                EXPECT_EQ(got.GetPixelFormat(), want.GetPixelFormat());
                EXPECT_EQ(got.Palette(), want.Palette());
                EXPECT_EQ(fullWidth, wantWidth);
                EXPECT_EQ(fullHeight, wantHeight);
            }
        }
}

TEST(ClassicFormatsOnTheInterface, JpegWholePictureIsTheFullDecodeTurnedUpright) {
    const std::string plain = EncodeWithLibjpeg(CameraLikePicture(40, 30), LibjpegOptions());
    TBitmap full;
    DecodeJpeg(plain.data(), plain.size(), JpegDecodeOptions(), full);
    for (int orientation : {1, 3, 6, 7}) {
        const std::string jpeg = exif_bytes::WithApp1(plain, exif_bytes::OrientationBlock(orientation));
        auto decoder = imaging::JpegFormat().OpenBytes(jpeg.data(), jpeg.size());
        TBitmap whole;
        imaging::DecodeWhole(*decoder, whole);
        EXPECT_EQ(Difference(whole, imaging::OrientUpright(full, orientation)), "") << orientation;
    }
}

TEST(ClassicFormatsOnTheInterface, FilesGiveWhatTheirOwnRoutinesGive) {
    TempDir dir;
    const std::string gif = dir / "a.gif", bmp = dir / "a.bmp", jpg = dir / "a.jpg";
    testing_support::MakeGif(gif, 57, 33);
    testing_support::MakeBmp(bmp, 57, 33);
    WriteFile(jpg, exif_bytes::WithApp1(EncodeWithLibjpeg(CameraLikePicture(57, 33), LibjpegOptions()),
                                        exif_bytes::OrientationBlock(8)));
    TBitmap gifPicture, bmpPicture;
    LoadGifFile(gif, gifPicture);
    LoadBmpFile(bmp, bmpPicture);
    for (auto [format, path, own] : {std::tuple{&imaging::GifFormat(), gif, gifPicture},
                                     std::tuple{&imaging::BmpFormat(), bmp, bmpPicture}}) {
        SCOPED_TRACE(format->Name());
        TBitmap whole, thumb;
        auto decoder = format->Open(path);
        imaging::DecodeWhole(*decoder, whole);
        EXPECT_EQ(Difference(whole, own), "");
        EXPECT_EQ(whole.GetPixelFormat(), own.GetPixelFormat());
        auto again = format->Open(path);
        imaging::DecodePointSampled(*again, Fixed(20, 9), thumb);
        const TBitmap want = own.StretchedCopy(20, 9);
        EXPECT_EQ(Difference(thumb, want), "");
        EXPECT_EQ(thumb.Palette(), want.Palette());
    }
    TBitmap want, got;
    LoadJpegPointSampled(jpg, 12, 25, want);
    auto decoder = imaging::JpegFormat().Open(jpg);
    imaging::DecodePointSampled(*decoder, Fixed(12, 25), got);
    EXPECT_EQ(Difference(got, want), "");
    // A bad GIF keeps its own failure, which the gallery does not catch.
    WriteFile(gif, "GIF89a\x01");
    auto bad = imaging::GifFormat().Open(gif);
    TBitmap none;
    EXPECT_THROW(imaging::DecodeWhole(*bad, none), EGIFError);
    EXPECT_THROW(imaging::PngFormat().Open(dir / "missing.png"), Exception);
}

TEST(FormatChoice, ByExtensionIgnoringCaseAndByTheFirstBytes) {
    const imaging::FormatChoice choice({&imaging::JpegFormat(), &imaging::GifFormat(), &imaging::BmpFormat(),
                                        &imaging::PngFormat(), &imaging::WebpFormat(), &imaging::HeifFormat()});
    EXPECT_EQ(choice.ForExtension("jpg"), &imaging::JpegFormat());
    EXPECT_EQ(choice.ForExtension("Gif"), &imaging::GifFormat());
    EXPECT_EQ(choice.ForExtension("PNG"), &imaging::PngFormat());
    EXPECT_EQ(choice.ForExtension("webp"), &imaging::WebpFormat());
    for (const char* heif : {"heic", "HEIF", "avif"}) EXPECT_EQ(choice.ForExtension(heif), &imaging::HeifFormat());
    // Only .jpg is a JPEG picture; what no format takes is the caller's to decide.
    EXPECT_EQ(choice.ForExtension("jpeg"), nullptr);
    EXPECT_EQ(choice.ForExtension(""), nullptr);
    EXPECT_EQ(imaging::FormatChoice({&imaging::JpegFormat()}).ForExtension("png"), nullptr);

    auto recognised = [&](const std::string& head) { return choice.ForContent(head.data(), head.size()); };
    EXPECT_EQ(recognised("\xFF\xD8\xFF\xE0"), &imaging::JpegFormat());
    EXPECT_EQ(recognised("GIF89a"), &imaging::GifFormat());
    EXPECT_EQ(recognised("XXXXgif87a"), &imaging::GifFormat());  // the prefix the GIF reader skips
    EXPECT_EQ(recognised("BM\x36\x00"), &imaging::BmpFormat());
    EXPECT_EQ(recognised(std::string("\x89PNG\r\n\x1A\n", 8)), &imaging::PngFormat());
    EXPECT_EQ(recognised(std::string("RIFF\x10\0\0\0WEBPVP8L", 16)), &imaging::WebpFormat());
    EXPECT_EQ(recognised(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24)), &imaging::HeifFormat());
    EXPECT_EQ(recognised(std::string("\0\0\0\x1C" "ftypavif\0\0\0\0avifmif1miaf", 28)), &imaging::HeifFormat());
    EXPECT_EQ(recognised(std::string("RIFF\x10\0\0\0WAVEfmt ", 16)), nullptr);
    EXPECT_EQ(recognised(std::string("\x89PNG", 4)), nullptr);  // too short to tell
    EXPECT_EQ(recognised(""), nullptr);
}
