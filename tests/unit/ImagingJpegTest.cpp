#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <set>

#include <jpeglib.h>
#include <jerror.h>

#include "ImagingTestPictures.h"
#include "imaging/Jpeg.h"
#include "imaging/Picture.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "support/JpegBytes.h"
#include "support/TestSupport.h"

using imaging_test::CameraLikePicture;
using imaging_test::Difference;
using imaging_test::EncodeWithLibjpeg;
using imaging_test::LibjpegOptions;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

std::string JpegError(int code) { return "JPEG error #" + std::to_string(code); }

// Offset of the first SOFn marker's payload (after FF Cn and the length).
size_t FrameHeader(const std::string& jpeg) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (static_cast<uint8_t>(jpeg[i]) == 0xFF && (static_cast<uint8_t>(jpeg[i + 1]) & 0xF0) == 0xC0 &&
            static_cast<uint8_t>(jpeg[i + 1]) != 0xC4 && static_cast<uint8_t>(jpeg[i + 1]) != 0xC8 &&
            static_cast<uint8_t>(jpeg[i + 1]) != 0xCC)
            return i + 4;
    return std::string::npos;
}

}  // namespace

TEST(JpegSaving, LoadedAndUnchangedIsSavedByteForByte) {
    TempDir dir;
    // A file our writer would not make (other quality, a comment): any
    // re-encoding would show.
    std::string original = EncodeWithLibjpeg(CameraLikePicture(50, 40), {.quality = 33, .comment = "kept"});
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(original);
    jpeg.SetCompressionQuality(75);  // an encoding setting alone does not re-encode
    jpeg.Decode();
    jpeg.SaveToFile(dir / "copy.jpg");
    EXPECT_EQ(ReadFile(dir / "copy.jpg"), original);
}

TEST(JpegSaving, EmptyBitmapGivesZeroByteFileNotFailure) {
    TempDir dir;
    TJPEGImage jpeg;
    jpeg.Assign(TBitmap());
    jpeg.SaveToFile(dir / "empty.jpg");
    ASSERT_TRUE(testing_support::Exists(dir / "empty.jpg"));
    EXPECT_EQ(ReadFile(dir / "empty.jpg").size(), 0u);
    TBitmap noColumns;
    noColumns.SetSize(0, 70);
    EXPECT_EQ(EncodeJpeg(noColumns, 75), "");
    SaveJpegFile(noColumns, dir / "t_narrow.jpg", 75);
    EXPECT_EQ(ReadFile(dir / "t_narrow.jpg"), "");
}

TEST(JpegSaving, AssignedBitmapIsEncodedAnewWithQualitySetThen) {
    TBitmap picture = CameraLikePicture(64, 48);
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeWithLibjpeg(picture, {.quality = 20}));
    jpeg.Assign(picture);
    jpeg.SetCompressionQuality(95);
    MemoryStream out;
    jpeg.SaveToStream(out);
    EXPECT_EQ(out.Data(), EncodeJpeg(picture, 95));
    EXPECT_NE(EncodeJpeg(picture, 95), EncodeJpeg(picture, 40));
}

TEST(JpegSaving, OutputIsBaselineJfifWithDefaultSampling) {
    std::string bytes = EncodeJpeg(CameraLikePicture(33, 17), 75);
    ASSERT_GT(bytes.size(), 20u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xD8\xFF\xE0", 4));  // SOI, JFIF APP0
    EXPECT_EQ(bytes.substr(6, 5), std::string("JFIF\0", 5));
    size_t sof = FrameHeader(bytes);
    ASSERT_NE(sof, std::string::npos);
    EXPECT_EQ(static_cast<uint8_t>(bytes[sof - 3]), 0xC0);  // baseline frame
    EXPECT_EQ(static_cast<uint8_t>(bytes[sof + 5]), 3);     // three components
    EXPECT_EQ(static_cast<uint8_t>(bytes[sof + 7]), 0x22);  // luminance sampled 2x2
}

TEST(JpegSaving, FailedEncodingCreatesNoFile) {
    TempDir dir;
    TBitmap tooWide;
    tooWide.SetSize(65501, 1);  // beyond what a JPEG frame can describe
    EXPECT_EQ(ErrorOf([&] { SaveJpegFile(tooWide, dir / "wide.jpg", 75); }), JpegError(JERR_IMAGE_TOO_BIG));
    EXPECT_FALSE(testing_support::Exists(dir / "wide.jpg"));
}

TEST(JpegSaving, UncreatableFileFailsWithItsName) {
    TempDir dir;
    std::string path = dir / "missing-folder/t.jpg";
    EXPECT_EQ(ErrorOf([&] { SaveJpegFile(CameraLikePicture(4, 4), path, 75); }), "Cannot create file " + path);
}

TEST(JpegDecoding, ColourRoundTripKeepsChannelsInPlace) {
    TBitmap picture;
    picture.SetSize(32, 16);
    picture.SetBrushColor(RGBColor(230, 20, 20));
    picture.FillRect(Rect(0, 0, 16, 16));
    picture.SetBrushColor(RGBColor(20, 20, 230));
    picture.FillRect(Rect(16, 0, 32, 16));
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeJpeg(picture, 95));
    TBitmap decoded;
    jpeg.AssignTo(decoded);
    ASSERT_EQ(decoded.GetPixelFormat(), pf24bit);
    TColor left = decoded.Pixel(4, 8), right = decoded.Pixel(28, 8);
    EXPECT_GT(RedOf(left), 200);
    EXPECT_LT(BlueOf(left), 50);
    EXPECT_GT(BlueOf(right), 200);
    EXPECT_LT(RedOf(right), 50);
}

TEST(JpegDecoding, GreyscaleGivesEightBitsWithAtMost236GreyLevels) {
    TBitmap ramp;
    ramp.SetSize(256, 8);
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 8; ++y) ramp.SetPixel(x, y, RGBColor(x, x, x));
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeWithLibjpeg(ramp, {.quality = 100, .grayscale = true}));
    EXPECT_TRUE(jpeg.Grayscale());
    const TBitmap& decoded = jpeg.Bitmap();
    ASSERT_EQ(decoded.GetPixelFormat(), pf8bit);
    EXPECT_LE(decoded.Palette().size(), 236u);
    EXPECT_GE(decoded.Palette().size(), 200u);  // the quantiser's grey scale, not a few levels
    for (TColor c : decoded.Palette()) EXPECT_TRUE(RedOf(c) == GreenOf(c) && GreenOf(c) == BlueOf(c));
    std::set<TColor> used;
    for (int x = 0; x < 256; ++x) used.insert(decoded.Pixel(x, 4));
    EXPECT_LE(used.size(), 236u);
    EXPECT_LT(RedOf(decoded.Pixel(0, 4)), 8);
    EXPECT_GT(RedOf(decoded.Pixel(255, 4)), 247);
}

TEST(JpegDecoding, EightBitSettingQuantisesColourTo236) {
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeJpeg(CameraLikePicture(80, 60), 90));
    jpeg.SetPixelFormat(jf8Bit);
    const TBitmap& decoded = jpeg.Bitmap();
    EXPECT_EQ(decoded.GetPixelFormat(), pf8bit);
    EXPECT_LE(decoded.Palette().size(), 236u);
    jpeg.SetPerformance(jpBestSpeed);  // one-pass quantiser, ordered dither
    EXPECT_FALSE(jpeg.HasBitmap());
    EXPECT_EQ(jpeg.Bitmap().GetPixelFormat(), pf8bit);
    EXPECT_LE(jpeg.Bitmap().Palette().size(), 236u);
}

TEST(JpegDecoding, GreyscaleSettingMakesColourSourceGrey) {
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeJpeg(CameraLikePicture(40, 30), 90));
    EXPECT_FALSE(jpeg.Grayscale());
    jpeg.SetGrayscale(true);
    const TBitmap& decoded = jpeg.Bitmap();
    ASSERT_EQ(decoded.GetPixelFormat(), pf8bit);
    TColor c = decoded.Pixel(10, 10);
    EXPECT_TRUE(RedOf(c) == GreenOf(c) && GreenOf(c) == BlueOf(c));
}

TEST(JpegPictureObject, SizeAndKindComeFromHeaderWithoutDecoding) {
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeWithLibjpeg(CameraLikePicture(123, 45), {.progressive = true}));
    EXPECT_EQ(jpeg.Width(), 123);
    EXPECT_EQ(jpeg.Height(), 45);
    EXPECT_TRUE(jpeg.ProgressiveEncoding());
    EXPECT_FALSE(jpeg.Grayscale());
    EXPECT_FALSE(jpeg.HasBitmap());
    jpeg.SetScale(jsEighth);
    EXPECT_EQ(jpeg.Width(), 16);  // rounded up, as the library scales
    EXPECT_EQ(jpeg.Height(), 6);
}

TEST(JpegPictureObject, DecodesOnceAndAgainOnlyAfterASettingChanges) {
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(EncodeJpeg(CameraLikePicture(64, 32), 90));
    TBitmap first = jpeg.Bitmap();
    EXPECT_TRUE(first.SharesStorageWith(jpeg.Bitmap()));  // no second decode
    jpeg.SetScale(jsFullSize);  // same value: kept
    EXPECT_TRUE(jpeg.HasBitmap());
    jpeg.SetScale(jsHalf);
    EXPECT_FALSE(jpeg.HasBitmap());
    EXPECT_EQ(jpeg.Bitmap().Width(), 32);
    jpeg.SetSmoothing(false);
    EXPECT_FALSE(jpeg.HasBitmap());
    jpeg.SetScale(jsQuarter);
    EXPECT_EQ(jpeg.Bitmap().Height(), 8);
}

TEST(JpegPictureObject, SettingChangeKeepsAnAssignedBitmap) {
    TJPEGImage jpeg;
    jpeg.Assign(CameraLikePicture(10, 10));
    jpeg.SetScale(jsHalf);
    jpeg.SetGrayscale(false);
    EXPECT_EQ(jpeg.Bitmap().Width(), 10);
}

TEST(JpegPictureObject, SizeCannotBeSet) {
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.SetWidth(5); }), "Cannot change the size of a JPEG image");
    EXPECT_EQ(ErrorOf([&] { jpeg.SetHeight(5); }), "Cannot change the size of a JPEG image");
}

TEST(JpegFailures, NotAJpegFailsWithLibraryMessageNumber) {
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.LoadFromBytes("GIF89a and more"); }), JpegError(JERR_NO_SOI));
    EXPECT_EQ(ErrorOf([&] { jpeg.LoadFromBytes(""); }), JpegError(JERR_INPUT_EMPTY));
    TempDir dir;
    WriteFile(dir / "empty.jpg", "");
    TBitmap out;
    EXPECT_EQ(ErrorOf([&] { LoadJpegFile(dir / "empty.jpg", out); }), JpegError(JERR_INPUT_EMPTY));
    EXPECT_EQ(ErrorOf([&] { LoadJpegPointSampled(dir / "empty.jpg", 7, 7, out); }), JpegError(JERR_INPUT_EMPTY));
    EXPECT_EQ(ErrorOf([&] { LoadJpegFile(dir / "none.jpg", out); }), "Cannot open file " + (dir / "none.jpg"));
}

TEST(JpegFailures, TruncatedFileDecodesAsFarAsItGoes) {
    TBitmap picture = CameraLikePicture(96, 96);
    std::string whole = EncodeJpeg(picture, 90);
    TBitmap full, cut;
    DecodeJpeg(whole.data(), whole.size(), {}, full);
    std::string half = whole.substr(0, whole.size() / 2);
    DecodeJpeg(half.data(), half.size(), {}, cut);  // a warning, not an error
    ASSERT_EQ(cut.Width(), 96);
    ASSERT_EQ(cut.Height(), 96);
    for (int x = 0; x < 96; ++x) ASSERT_EQ(cut.Pixel(x, 3), full.Pixel(x, 3)) << x;  // the top survived
}

TEST(JpegFailures, DamagedBytesFailCleanlyOrDecode) {
    std::string good = EncodeWithLibjpeg(CameraLikePicture(48, 40), {.progressive = true});
    std::string baseline = EncodeJpeg(CameraLikePicture(48, 40), 80);
    int failures = 0;
    for (const std::string& source : {good, baseline})
        for (size_t at = 2; at < source.size(); at += 7) {
            std::string bad = source;
            bad[at] = static_cast<char>(bad[at] ^ (0x55 + at));
            TBitmap out;
            std::string error = ErrorOf([&] { DecodeJpeg(bad.data(), bad.size(), {}, out); });
            if (!error.empty()) {
                ++failures;
                EXPECT_EQ(error.rfind("JPEG error #", 0), 0u) << error;
            }
            std::string streamed = ErrorOf([&] { DecodeJpegPointSampled(bad.data(), bad.size(), 13, 9, out); });
            if (!streamed.empty()) {
                EXPECT_EQ(streamed.rfind("JPEG error #", 0), 0u) << streamed;
            }
        }
    EXPECT_GT(failures, 0);  // some damage is an error, so the errors were exercised
}

TEST(JpegFailures, PictureAbovePixelCapIsRefusedAfterHeader) {
    std::string bytes = EncodeJpeg(CameraLikePicture(16, 16), 75);
    size_t sof = FrameHeader(bytes);
    ASSERT_NE(sof, std::string::npos);
    // Frame header: precision, height (2 bytes), width (2 bytes): 20000 x 20000.
    bytes[sof + 1] = static_cast<char>(20000 >> 8);
    bytes[sof + 2] = static_cast<char>(20000 & 0xFF);
    bytes[sof + 3] = static_cast<char>(20000 >> 8);
    bytes[sof + 4] = static_cast<char>(20000 & 0xFF);
    TJPEGImage jpeg;
    EXPECT_EQ(ErrorOf([&] { jpeg.LoadFromBytes(bytes); }), JpegError(JERR_IMAGE_TOO_BIG));
    TBitmap out;
    EXPECT_EQ(ErrorOf([&] { DecodeJpegPointSampled(bytes.data(), bytes.size(), 70, 70, out); }),
              JpegError(JERR_IMAGE_TOO_BIG));
    // 16384 x 16384 is exactly 2^28: allowed past the header.
    bytes[sof + 1] = bytes[sof + 3] = static_cast<char>(0x40);
    bytes[sof + 2] = bytes[sof + 4] = 0;
    jpeg.LoadFromBytes(bytes);
    EXPECT_EQ(jpeg.Width(), 16384);
}

TEST(JpegLimits, ScansUpToTheLimitDecodeOneMoreIsRefused) {
    using jpeg_bytes::ProgressiveJpeg;
    using jpeg_bytes::ScanCount;
    const int acScans = imaging::JpegMaxScans - ScanCount(0);
    std::string atLimit = ProgressiveJpeg(64, 48, 3, acScans);
    std::string beyond = ProgressiveJpeg(64, 48, 3, acScans + 1);
    TBitmap out;
    EXPECT_EQ(ErrorOf([&] { DecodeJpeg(atLimit.data(), atLimit.size(), {}, out); }), "");
    EXPECT_EQ(out.Width(), 64);
    EXPECT_EQ(ErrorOf([&] { DecodeJpeg(beyond.data(), beyond.size(), {}, out); }), JpegError(JERR_NOTIMPL));
    EXPECT_EQ(ErrorOf([&] { DecodeJpegPointSampled(beyond.data(), beyond.size(), 10, 10, out); }),
              JpegError(JERR_NOTIMPL));
    // A real encoder's ten scans, the last repeated to a hundred: more than
    // any encoder writes, refused.
    std::string bytes = EncodeWithLibjpeg(CameraLikePicture(16, 16), {.progressive = true});
    size_t eoi = bytes.rfind(std::string("\xFF\xD9", 2));
    size_t lastScan = bytes.rfind(std::string("\xFF\xDA", 2));
    ASSERT_NE(lastScan, std::string::npos);
    std::string scan = bytes.substr(lastScan, eoi - lastScan);
    std::string many = bytes.substr(0, eoi);
    for (int i = 0; i < 90; ++i) many += scan;
    many += std::string("\xFF\xD9", 2);
    EXPECT_EQ(ErrorOf([&] { DecodeJpeg(many.data(), many.size(), {}, out); }), JpegError(JERR_NOTIMPL));
}

// A progressive picture keeps all its coefficients: 2 bytes per pixel and
// component at 4:4:4, asked of the library's memory manager as decoding starts.
TEST(JpegLimits, ProgressivePictureAboveTheMemoryCeilingFailsAsItStarts) {
    // Just above the ceiling (a few hundred bytes of file), and the largest
    // size the pixel cap lets through, which would take 1.5 GB.
    const int side = static_cast<int>(std::sqrt(double(imaging::JpegMaxMemoryBytes) / 6)) + 64;
    for (int size : {side, 16384}) {
        std::string bytes = jpeg_bytes::ProgressiveJpeg(size, size, 3, 0);
        ASSERT_LT(bytes.size(), 1000u);
        TBitmap out;
        EXPECT_EQ(ErrorOf([&] { DecodeJpegPointSampled(bytes.data(), bytes.size(), 70, 70, out); }),
                  JpegError(JERR_NO_BACKING_STORE))
            << size;
        TJPEGImage jpeg;
        jpeg.LoadFromBytes(bytes);  // the header alone is fine
        EXPECT_EQ(ErrorOf([&] { jpeg.Bitmap(); }), JpegError(JERR_NO_BACKING_STORE)) << size;
    }
}

TEST(JpegLimits, CameraSizedProgressivePicturesStillDecode) {
    // 12 MP at 4:4:4 with ten scans: 72 MB of coefficients.
    std::string camera = jpeg_bytes::ProgressiveJpeg(4000, 3000, 3, 9);
    TBitmap out;
    int w = 0, h = 0;
    EXPECT_EQ(ErrorOf([&] { DecodeJpegPointSampled(camera.data(), camera.size(), 93, 70, out, &w, &h); }), "");
    EXPECT_EQ(out.Width(), 93);
    EXPECT_EQ(w, 4000);
    // A real encoder's progressive file of the same kind.
    std::string encoded =
        EncodeWithLibjpeg(CameraLikePicture(1200, 900), {.progressive = true, .lumaH = 1, .lumaV = 1});
    EXPECT_EQ(ErrorOf([&] { DecodeJpegPointSampled(encoded.data(), encoded.size(), 93, 70, out); }), "");
    EXPECT_EQ(out.Height(), 70);
}

TEST(JpegDecoding, FileLoadEqualsPictureObjectWithBestQuality) {
    // LoadJpegFile reads the file in blocks; the picture object holds the
    // bytes. Both must give the same bitmap, damaged files included.
    TempDir dir;
    TBitmap picture = CameraLikePicture(90, 70, 3);
    std::string colour = EncodeJpeg(picture, 85);
    const std::string files[] = {colour, colour.substr(0, colour.size() / 2),
                                 EncodeWithLibjpeg(picture, {.grayscale = true}),
                                 EncodeWithLibjpeg(picture, {.progressive = true})};
    for (const std::string& bytes : files) {
        WriteFile(dir / "p.jpg", bytes);
        TBitmap fromFile;
        LoadJpegFile(dir / "p.jpg", fromFile);
        TJPEGImage jpeg;
        jpeg.SetPerformance(jpBestQuality);
        jpeg.LoadFromFile(dir / "p.jpg");
        EXPECT_EQ(Difference(fromFile, jpeg.Bitmap()), "");
        EXPECT_EQ(fromFile.Palette(), jpeg.Bitmap().Palette());
    }
}
