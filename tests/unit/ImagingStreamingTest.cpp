// The streaming thumbnailer must give exactly what a full decode followed by
// the point-sampling stretch gives, for every kind of JPEG file and target;
// written straight into the encoder, the bytes the bitmap's encoding gives.
#include <gtest/gtest.h>


#include "ImagingTestPictures.h"
#include "imaging/Jpeg.h"
#include "imaging/Limits.h"
#include "imaging/Picture.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "support/ExifBytes.h"
#include "support/TestSupport.h"

using imaging_test::CameraLikePicture;
using imaging_test::Difference;
using imaging_test::EncodeWithLibjpeg;
using imaging_test::LibjpegOptions;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// What the gallery's stretch gives: the full picture drawn into a copy of
// itself of the target size (same format and palette).
TBitmap FullDecodeThenStretch(const std::string& path, int w, int h) {
    TBitmap full;
    LoadJpegFile(path, full);
    TBitmap target = full;
    target.SetSize(w, h);
    target.StretchDraw(Rect(0, 0, w, h), full);
    return target;
}

struct Kind {
    const char* name;
    LibjpegOptions options;
};

const Kind kinds[] = {
    {"colour 4:2:0", {}},
    {"colour 4:2:2", {.lumaH = 2, .lumaV = 1}},
    {"colour 4:4:0", {.lumaH = 1, .lumaV = 2}},
    {"colour 4:4:4", {.lumaH = 1, .lumaV = 1}},
    {"colour with restarts", {.restartRows = 1}},
    {"greyscale", {.grayscale = true}},
    {"progressive colour", {.progressive = true}},
    {"progressive greyscale", {.grayscale = true, .progressive = true}},
};

// Source 301 x 217: neither dimension a multiple of the block size.
const std::pair<int, int> targets[] = {
    {93, 70},   // a thumbnail
    {399, 70},  // wider than the source, shorter
    {50, 300},  // taller than the source, narrower
    {301, 217}, // the same size
    {602, 434}, // twice the size
    {1, 1},   {3, 216}, {300, 1}, {7, 5},
};

}  // namespace

TEST(StreamingThumbnail, EqualsFullDecodeThenStretchForEveryKindAndTarget) {
    TempDir dir;
    TBitmap picture = CameraLikePicture(301, 217, 5);
    for (const Kind& kind : kinds) {
        std::string path = dir / "picture.jpg";
        WriteFile(path, EncodeWithLibjpeg(picture, kind.options));
        for (auto [w, h] : targets) {
            TBitmap streamed;
            int fullW = 0, fullH = 0;
            LoadJpegPointSampled(path, w, h, streamed, &fullW, &fullH);
            EXPECT_EQ(fullW, 301);
            EXPECT_EQ(fullH, 217);
            EXPECT_EQ(Difference(streamed, FullDecodeThenStretch(path, w, h)), "")
                << kind.name << " to " << w << "x" << h;
            if (kind.options.grayscale) {
                EXPECT_EQ(streamed.GetPixelFormat(), pf8bit);
            }
        }
    }
}

TEST(StreamingThumbnail, EqualsFullDecodeForOurOwnFilesAtManyHeights) {
    // Our writer's files at camera proportions, every height from 1 to 40 and
    // the gallery's two sizes.
    TempDir dir;
    std::string path = dir / "camera.jpg";
    WriteFile(path, EncodeJpeg(CameraLikePicture(400, 300, 9), 92));
    TBitmap full;
    LoadJpegFile(path, full);
    std::vector<int> heights;
    for (int h = 1; h <= 40; ++h) heights.push_back(h);
    heights.push_back(70);
    heights.push_back(299);
    for (int h : heights) {
        int w = h * 4 / 3;
        TBitmap streamed;
        LoadJpegPointSampled(path, w, h, streamed);
        TBitmap expected = full;
        expected.SetSize(w, h);
        expected.StretchDraw(Rect(0, 0, w, h), full);
        ASSERT_EQ(Difference(streamed, expected), "") << w << "x" << h;
    }
}

TEST(StreamingThumbnail, TruncatedFileGivesSameAsFullDecodeOfIt) {
    TempDir dir;
    std::string whole = EncodeWithLibjpeg(CameraLikePicture(160, 120), {});
    std::string path = dir / "cut.jpg";
    WriteFile(path, whole.substr(0, whole.size() * 2 / 3));
    TBitmap streamed;
    LoadJpegPointSampled(path, 40, 30, streamed);
    EXPECT_EQ(Difference(streamed, FullDecodeThenStretch(path, 40, 30)), "");
}

TEST(StreamingThumbnail, EmptyTargetStillReportsFullSize) {
    TempDir dir;
    std::string path = dir / "tall.jpg";
    WriteFile(path, EncodeJpeg(CameraLikePicture(1, 100), 75));
    TBitmap out = CameraLikePicture(3, 3);
    int w = 0, h = 0;
    LoadJpegPointSampled(path, 0, 70, out, &w, &h);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 100);
    EXPECT_EQ(out.Width(), 0);
    EXPECT_EQ(out.Height(), 70);
    EXPECT_EQ(EncodeJpeg(out, 75), "");
}

TEST(StreamingThumbnail, TargetChosenFromFullSizeInOnePass) {
    TempDir dir;
    std::string path = dir / "wide.jpg";
    WriteFile(path, EncodeJpeg(CameraLikePicture(240, 100), 90));
    int seenW = 0, seenH = 0;
    TBitmap chosen, fixed;
    LoadJpegPointSampled(
        path,
        [&](int fullW, int fullH, int& w, int& h) {
            seenW = fullW;
            seenH = fullH;
            h = 70;
            w = 70 * fullW / fullH;
        },
        chosen);
    EXPECT_EQ(seenW, 240);
    EXPECT_EQ(seenH, 100);
    LoadJpegPointSampled(path, 168, 70, fixed);
    EXPECT_EQ(chosen.Width(), 168);
    EXPECT_EQ(Difference(chosen, fixed), "");
}

TEST(StreamingThumbnail, MemoryAndFileEntryPointsAgree) {
    TempDir dir;
    std::string bytes = EncodeWithLibjpeg(CameraLikePicture(120, 90), {.progressive = true});
    WriteFile(dir / "p.jpg", bytes);
    TBitmap fromFile, fromMemory;
    LoadJpegPointSampled(dir / "p.jpg", 31, 23, fromFile);
    DecodeJpegPointSampled(bytes.data(), bytes.size(), 31, 23, fromMemory);
    EXPECT_EQ(Difference(fromFile, fromMemory), "");
}

TEST(JpegSizeFromHeader, ReadsSizeOfEveryKind) {
    TempDir dir;
    for (const Kind& kind : kinds) {
        WriteFile(dir / "k.jpg", EncodeWithLibjpeg(CameraLikePicture(77, 55), kind.options));
        int w = 0, h = 0;
        ASSERT_TRUE(ReadJpegSize(dir / "k.jpg", w, h)) << kind.name;
        EXPECT_EQ(w, 77);
        EXPECT_EQ(h, 55);
    }
}

TEST(JpegSizeFromHeader, FalseForEmptyMissingAndForeignFiles) {
    TempDir dir;
    int w = -1, h = -1;
    WriteFile(dir / "empty.jpg", "");
    EXPECT_FALSE(ReadJpegSize(dir / "empty.jpg", w, h));
    EXPECT_FALSE(ReadJpegSize(dir / "missing.jpg", w, h));
    WriteFile(dir / "gif.jpg", "GIF89a\x10\x00\x10\x00");
    EXPECT_FALSE(ReadJpegSize(dir / "gif.jpg", w, h));
    EXPECT_FALSE(ReadJpegSize(dir.Path(), w, h));  // a folder
}

TEST(JpegSizeFromHeader, NeedsOnlyTheHeaderNotThePixels) {
    // Large segments before the frame header (as cameras write EXIF data
    // with their own thumbnail), then the file cut right after the scan
    // header, before any pixel data: the size is still read.
    TempDir dir;
    std::string jpeg = EncodeJpeg(CameraLikePicture(640, 480), 90);
    std::string app1 = std::string("\xFF\xE1\xFF\xF0", 4) + std::string(0xFFF0 - 2, 'x');
    std::string withExif = jpeg.substr(0, 2) + app1 + app1 + app1 + jpeg.substr(2);
    size_t sos = withExif.find(std::string("\xFF\xDA", 2));
    ASSERT_NE(sos, std::string::npos);
    size_t sosLength = (static_cast<uint8_t>(withExif[sos + 2]) << 8) | static_cast<uint8_t>(withExif[sos + 3]);
    WriteFile(dir / "cut.jpg", withExif.substr(0, sos + 2 + sosLength));
    int w = 0, h = 0;
    ASSERT_TRUE(ReadJpegSize(dir / "cut.jpg", w, h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
}

TEST(JpegSizeFromHeader, SeeksOverLargeSegmentsInsteadOfReadingThem) {
    class CountingStream : public MemoryStream {
    public:
        int64_t Read(void* buffer, int64_t count) override {
            int64_t n = MemoryStream::Read(buffer, count);
            if (n > 0) bytesRead += n;
            return n;
        }
        int64_t bytesRead = 0;
    };
    std::string jpeg = EncodeJpeg(CameraLikePicture(64, 48), 90);
    std::string app1 = std::string("\xFF\xE1\xFF\xF0", 4) + std::string(0xFFF0 - 2, 'x');
    CountingStream stream;
    stream.Data() = jpeg.substr(0, 2) + app1 + app1 + app1 + app1 + jpeg.substr(2);
    int w = 0, h = 0;
    ASSERT_TRUE(ReadJpegHeader(stream, w, h));
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    EXPECT_LT(stream.bytesRead, 6 * 4096) << "of " << stream.Data().size();
    EXPECT_EQ(stream.Data().size(), 4 * app1.size() + jpeg.size());  // seeking never grew the stream
}

// ---- Writing a point-sampled picture straight into the JPEG encoder ----

namespace {

// What the bitmap routines write: the point-sampled picture, then encoded.
std::string SampledThenEncoded(const std::string& bytes, int w, int h, int quality) {
    TBitmap sampled;
    DecodeJpegPointSampled(bytes.data(), bytes.size(), w, h, sampled);
    return EncodeJpeg(sampled, quality);
}

std::string StreamedToEncoder(const std::string& bytes, int w, int h, int quality,
                              size_t bandBytes = imaging::TurnedPictureBandBytes) {
    MemoryStream in, out;
    in.Data() = bytes;
    WriteJpegPointSampled(
        in,
        [w, h](int, int, int& tw, int& th) {
            tw = w;
            th = h;
        },
        quality, out, nullptr, nullptr, bandBytes);
    return out.Data();
}

}  // namespace

TEST(StreamingJpegWrite, SameBytesAsSamplingThenEncodingForEveryKindAndTarget) {
    TBitmap picture = CameraLikePicture(301, 217, 7);
    for (const Kind& kind : kinds) {
        std::string bytes = EncodeWithLibjpeg(picture, kind.options);
        for (auto [w, h] : targets) {
            std::string expected = SampledThenEncoded(bytes, w, h, 100);
            ASSERT_FALSE(expected.empty());
            EXPECT_TRUE(StreamedToEncoder(bytes, w, h, 100) == expected) << kind.name << " to " << w << "x" << h;
        }
    }
    // A file cut short decodes as far as it goes, either way.
    std::string whole = EncodeWithLibjpeg(picture, {});
    std::string cut = whole.substr(0, whole.size() / 2);
    EXPECT_TRUE(StreamedToEncoder(cut, 93, 70, 75) == SampledThenEncoded(cut, 93, 70, 75));
    // An empty target writes nothing, as an empty bitmap encodes to nothing.
    EXPECT_EQ(StreamedToEncoder(whole, 0, 70, 100), "");
    EXPECT_THROW(StreamedToEncoder("not a picture", 10, 10, 100), Exception);
}

// Every EXIF orientation, each in one band and in bands of a few rows (the
// picture read again for each): the upright picture, byte for byte.
TEST(StreamingJpegWrite, TurnedPicturesInOneBandOrManyGiveTheSameBytes) {
    const std::string stored = EncodeWithLibjpeg(CameraLikePicture(240, 160, 3), {});
    const std::string grey = EncodeWithLibjpeg(CameraLikePicture(240, 160, 4), {.grayscale = true});
    for (const std::string* source : {&stored, &grey}) {
        for (int o = 1; o <= 8; ++o) {
            std::string bytes = exif_bytes::WithApp1(*source, exif_bytes::OrientationBlock(o));
            const int w = o >= 5 ? 53 : 105, h = 70;
            std::string expected = SampledThenEncoded(bytes, w, h, 90);
            EXPECT_TRUE(StreamedToEncoder(bytes, w, h, 90) == expected) << "orientation " << o;
            EXPECT_TRUE(StreamedToEncoder(bytes, w, h, 90, 4 * w * 3) == expected) << "orientation " << o << " in bands";
            EXPECT_TRUE(StreamedToEncoder(bytes, w, h, 90, 1) == expected) << "orientation " << o << " row by row";
        }
    }
}

// A stream that takes no bytes fails the writing with the library's error.
TEST(StreamingJpegWrite, OutputThatFailsRaises) {
    class Full : public MemoryStream {
    public:
        int64_t Write(const void*, int64_t) override { return -1; }
    };
    MemoryStream in;
    in.Data() = EncodeJpeg(CameraLikePicture(64, 48), 90);
    Full out;
    EXPECT_THROW(WriteJpegPointSampled(
                     in,
                     [](int, int, int& w, int& h) {
                         w = 64;
                         h = 48;
                     },
                     90, out),
                 Exception);
}
