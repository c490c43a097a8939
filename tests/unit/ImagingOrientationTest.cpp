// The EXIF orientation: the tag read from hand-made EXIF blocks, the eight
// turns of a bitmap, and the streaming thumbnailer giving the upright picture.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ImagingTestPictures.h"
#include "imaging/Jpeg.h"
#include "imaging/Orientation.h"
#include "imaging/Picture.h"
#include "support/ExifBytes.h"
#include "support/TestSupport.h"

using imaging_test::CameraLikePicture;
using imaging_test::Difference;
using imaging_test::EncodeWithLibjpeg;
using imaging_test::LibjpegOptions;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

int OrientationOf(const std::string& block) { return imaging::ExifOrientation(block.data(), block.size()); }

// A 3 x 2 picture of six grey levels a..f:  a b c / d e f.
TBitmap SixPixels() {
    TBitmap b;
    b.SetSize(3, 2);
    for (int i = 0; i < 6; ++i) b.SetPixel(i % 3, i / 3, RGBColor(10 * (i + 1), 0, 0));
    return b;
}

std::string Letters(const TBitmap& b) {
    std::string s;
    for (int y = 0; y < b.Height(); ++y) {
        if (y) s += '/';
        for (int x = 0; x < b.Width(); ++x) s += static_cast<char>('a' + (b.Pixel(x, y) & 0xFF) / 10 - 1);
    }
    return s;
}

}  // namespace

TEST(ExifOrientation, ReadsEveryValueInBothByteOrders) {
    for (bool bigEndian : {false, true})
        for (int o = 1; o <= 8; ++o) EXPECT_EQ(OrientationOf(exif_bytes::OrientationBlock(o, bigEndian)), o);
}

TEST(ExifOrientation, AnythingElseIsUpright) {
    EXPECT_EQ(imaging::ExifOrientation(nullptr, 0), 1);
    EXPECT_EQ(OrientationOf(exif_bytes::OrientationBlock(0)), 1);
    EXPECT_EQ(OrientationOf(exif_bytes::OrientationBlock(9)), 1);
    EXPECT_EQ(OrientationOf(exif_bytes::OrientationBlock(0x0600, true)), 1);
    // Not an EXIF block: XMP, or the TIFF structure without its "Exif" name.
    EXPECT_EQ(OrientationOf("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"), 1);
    EXPECT_EQ(OrientationOf(exif_bytes::OrientationBlock(6).substr(6)), 1);
    // The value as a LONG is no orientation.
    std::string asLong = exif_bytes::OrientationBlock(6);
    asLong[6 + 8 + 2 + 2] = 4;
    EXPECT_EQ(OrientationOf(asLong), 1);
    // Another tag in place of the orientation.
    std::string otherTag = exif_bytes::OrientationBlock(6);
    otherTag[6 + 8 + 2] = 0x13;
    EXPECT_EQ(OrientationOf(otherTag), 1);
    // Cut short anywhere, or with IFD0 pointing past the end.
    std::string whole = exif_bytes::OrientationBlock(6);
    for (size_t n = 0; n < whole.size() - 6; ++n) EXPECT_EQ(OrientationOf(whole.substr(0, n)), 1) << n;
    std::string farOffset = whole;
    farOffset[6 + 4] = 0x70;
    EXPECT_EQ(OrientationOf(farOffset), 1);
}

TEST(OrientUpright, TurnsAndMirrorsAsTheTagNames) {
    const char* expected[] = {"abc/def", "cba/fed", "fed/cba", "def/abc",
                              "ad/be/cf", "da/eb/fc", "fc/eb/da", "cf/be/ad"};
    for (int o = 1; o <= 8; ++o) EXPECT_EQ(Letters(imaging::OrientUpright(SixPixels(), o)), expected[o - 1]) << o;
    // An 8-bit picture keeps its palette.
    TBitmap grey;
    grey.SetPixelFormat(pf8bit);
    grey.SetSize(3, 2);
    std::vector<TColor> palette;
    for (int i = 0; i < 6; ++i) palette.push_back(RGBColor(10 * (i + 1), 0, 0));
    grey.SetPalette(palette);
    for (int i = 0; i < 6; ++i) grey.MutableScanLine(i / 3)[i % 3] = static_cast<uint8_t>(i);
    TBitmap turned = imaging::OrientUpright(grey, 6);
    EXPECT_EQ(turned.GetPixelFormat(), pf8bit);
    EXPECT_EQ(Letters(turned), "da/eb/fc");
}

TEST(JpegReaderExif, KeepsTheFirstExifSegmentOnly) {
    std::string jpeg = EncodeWithLibjpeg(CameraLikePicture(16, 8), LibjpegOptions());
    std::string xmp = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x/>";
    std::string first = exif_bytes::OrientationBlock(6), second = exif_bytes::OrientationBlock(3);
    std::string file = exif_bytes::WithApp1(exif_bytes::WithApp1(exif_bytes::WithApp1(jpeg, second), first), xmp);
    JpegReader reader(file.data(), file.size());
    reader.KeepExifSegment();
    reader.ReadHeader();
    EXPECT_EQ(reader.ExifSegment(), first);
    EXPECT_EQ(reader.ImageWidth(), 16);
    JpegReader notAsked(file.data(), file.size());
    notAsked.ReadHeader();
    EXPECT_EQ(notAsked.ExifSegment(), "");
    // A segment cut short by the end of the file keeps nothing whole.
    std::string cut = exif_bytes::WithApp1(jpeg, first).substr(0, 2 + 4 + 10);
    JpegReader shortFile(cut.data(), cut.size());
    shortFile.KeepExifSegment();
    EXPECT_ANY_THROW(shortFile.ReadHeader());
}

// The streamed, point-sampled picture of a file with each orientation is the
// full decode turned upright and then stretched, pixel for pixel, and the
// size reported is the upright picture's.
TEST(StreamingOrientation, EqualsFullDecodeTurnedThenStretched) {
    TempDir dir;
    const LibjpegOptions kinds[] = {{}, {.grayscale = true}, {.progressive = true}};
    // Even sides: where a sampling position falls exactly between two pixels
    // the mirrored grid takes the other one (odd sides never meet that case).
    const std::pair<int, int> targets[] = {{93, 70}, {7, 5},   {1, 1},   {600, 40}, {32, 20},
                                           {20, 32}, {16, 10}, {10, 16}, {40, 64},  {64, 40}};
    for (const LibjpegOptions& kind : kinds) {
        std::string plain = EncodeWithLibjpeg(CameraLikePicture(64, 40, 5), kind);
        for (int o = 1; o <= 8; ++o) {
            std::string name = "o";
            name += std::to_string(o);
            name += ".jpg";
            std::string path = dir / name;
            WriteFile(path, exif_bytes::WithApp1(plain, exif_bytes::OrientationBlock(o, o % 2 == 0)));
            TBitmap full;
            LoadJpegFile(path, full);
            TBitmap upright = imaging::OrientUpright(full, o);
            for (auto [w, h] : targets) {
                TBitmap streamed;
                int fullW = 0, fullH = 0;
                LoadJpegPointSampled(path, w, h, streamed, &fullW, &fullH);
                EXPECT_EQ(fullW, imaging::SwapsSides(o) ? 40 : 64);
                EXPECT_EQ(fullH, imaging::SwapsSides(o) ? 64 : 40);
                TBitmap expected = upright;
                expected.SetSize(w, h);
                expected.StretchDraw(Rect(0, 0, w, h), upright);
                EXPECT_EQ(Difference(streamed, expected), "")
                    << "grey " << kind.grayscale << " orientation " << o << " target " << w << "x" << h;
            }
        }
    }
}

// Tag 1, no tag and an EXIF block that cannot be read: the stored picture.
TEST(StreamingOrientation, UprightOrUnreadableTagLeavesThePictureAsStored) {
    std::string plain = EncodeWithLibjpeg(CameraLikePicture(61, 43, 5), LibjpegOptions());
    TBitmap reference;
    DecodeJpegPointSampled(plain.data(), plain.size(), 93, 70, reference);
    std::string damaged = exif_bytes::OrientationBlock(6);
    damaged.resize(12);
    for (const std::string& block : {exif_bytes::OrientationBlock(1), damaged, std::string("Exif\0\0MM\0*", 10)}) {
        std::string file = exif_bytes::WithApp1(plain, block);
        TBitmap streamed;
        int w = 0, h = 0;
        DecodeJpegPointSampled(file.data(), file.size(), 93, 70, streamed, &w, &h);
        EXPECT_EQ(Difference(streamed, reference), "");
        EXPECT_EQ(w, 61);
        EXPECT_EQ(h, 43);
    }
}
