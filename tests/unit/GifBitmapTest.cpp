// The first frame of a GIF picture as a bitmap on its logical screen.
#include <gtest/gtest.h>

#include "GifTestSupport.h"
#include "imaging/Bitmap.h"

using namespace gif_test;
using gif_bytes::ImageData;

namespace {

const TColor kBlack = RGBColor(0, 0, 0), kRed = RGBColor(255, 0, 0), kGreen = RGBColor(0, 255, 0),
             kBlue = RGBColor(0, 0, 255);

TBitmap BitmapOf(const std::string& bytes) {
    TGIFImage image;
    Load(image, bytes);
    TBitmap bitmap;
    AssignGifToBitmap(image, bitmap);
    return bitmap;
}

// Every pixel's colour, row by row.
std::vector<TColor> Colours(const TBitmap& bitmap) {
    std::vector<TColor> colours;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) colours.push_back(bitmap.Pixel(x, y));
    return colours;
}

}  // namespace

TEST(GifFirstFrameBitmap, ScreenSizedFrameGivesItsIndicesAndActiveTable) {
    Bytes b = Header4(2, 2);
    Descriptor(b, 0, 0, 2, 2, 0x80)        // local table of 2 entries
        .Colors({0x123456, 0xABCDEF})
        .Raw(ImageData({1, 0, 0, 1}, 2)).U8(';');
    TBitmap bitmap = BitmapOf(b);
    EXPECT_EQ(bitmap.GetPixelFormat(), pf8bit);
    EXPECT_EQ(bitmap.Palette(), (std::vector<TColor>{RGBColor(0x12, 0x34, 0x56), RGBColor(0xAB, 0xCD, 0xEF)}));
    ASSERT_EQ(bitmap.Width(), 2);
    ASSERT_EQ(bitmap.Height(), 2);
    EXPECT_EQ(bitmap.ScanLine(0)[0], 1);
    EXPECT_EQ(bitmap.ScanLine(0)[1], 0);
    EXPECT_EQ(bitmap.ScanLine(1)[1], 1);
}

TEST(GifFirstFrameBitmap, SmallerFrameIsPlacedAtItsOffsetOnIndexZero) {
    Bytes b = Header4(4, 3);
    Descriptor(b, 1, 1, 2, 1)              // 2 x 1 at (1, 1)
        .Raw(ImageData({2, 3}, 2)).U8(';');
    TBitmap bitmap = BitmapOf(b);
    ASSERT_EQ(bitmap.Width(), 4);
    ASSERT_EQ(bitmap.Height(), 3);
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kBlack, kBlack, kBlack, kBlack,  //
                                                    kBlack, kGreen, kBlue, kBlack,    //
                                                    kBlack, kBlack, kBlack, kBlack}));
}

TEST(GifFirstFrameBitmap, TransparentPixelsAreDrawnOpaque) {
    Bytes file = Header4(3, 1);
    GraphicControl(file, 1);               // red is the transparent index
    Descriptor(file, 0, 0, 2, 1).Raw(ImageData({1, 3}, 2)).U8(';');  // 2 x 1 at the origin
    TBitmap bitmap = BitmapOf(file);
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kRed, kBlue, kBlack}));
}

TEST(GifFirstFrameBitmap, FrameReachingPastTheScreenIsClipped) {
    Bytes b = Header4(3, 2);
    Descriptor(b, 2, 1, 3, 3)              // 3 x 3 at (2, 1): one pixel lies on the screen
        .Raw(ImageData({3, 1, 1, 1, 1, 1, 1, 1, 1}, 2)).U8(';');
    TBitmap bitmap = BitmapOf(b);
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kBlack, kBlack, kBlack, kBlack, kBlack, kBlue}));
}

TEST(GifFirstFrameBitmap, AnimatedFileYieldsItsFirstFrame) {
    Bytes b = Header4(2, 1);
    b.U8('!').U8(0xFF).U8(11).Text("NETSCAPE2.0").U8(3).U8(1).U16(0).U8(0);  // loop forever
    GraphicControl(b, -1);
    Descriptor(b, 0, 0, 2, 1).Raw(ImageData({1, 2}, 2));
    GraphicControl(b, -1);
    Descriptor(b, 0, 0, 2, 1).Raw(ImageData({3, 3}, 2));
    b.U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(image.FrameCount(), 2);
    TBitmap bitmap;
    image.AssignTo(bitmap);
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kRed, kGreen}));
}

TEST(GifFirstFrameBitmap, SmallerAnimatedFirstFrameUsesTheGlobalPalette) {
    Bytes b = Header4(3, 1);
    Descriptor(b, 2, 0, 1, 1, 0x80)        // local table: one grey-ish and pure green
        .Colors({0x00FF00, 0x00FE01})
        .Raw(ImageData({1}, 2));
    Descriptor(b, 0, 0, 3, 1).Raw(ImageData({1, 1, 1}, 2));
    b.U8(';');
    TBitmap bitmap = BitmapOf(b);
    // On the screen's palette the frame's colour becomes its nearest: green.
    EXPECT_EQ(bitmap.Palette().size(), 4u);
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kBlack, kBlack, kGreen}));
}

TEST(GifFirstFrameBitmap, NoFramesGiveAnEmptyBitmap) {
    Bytes b = Header4(5, 5);
    b.U8(';');
    TBitmap bitmap;
    bitmap.SetSize(3, 3);
    TGIFImage image;
    Load(image, b);
    image.AssignTo(bitmap);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.Width(), 0);
}

TEST(GifFirstFrameBitmap, EarlyEndShowsIndexZeroColour) {
    std::string codes = gif_bytes::LzwEncode({3, 3, 3, 3, 3, 3}, 2);
    Bytes b = Header4(3, 2);
    Descriptor(b, 0, 0, 3, 2).U8(2).U8(1).Raw(codes.substr(0, 1)).U8(0).U8(';');
    TBitmap bitmap = BitmapOf(b);
    // clear (3 bits) and one 3 (3 bits) fit the first byte.
    EXPECT_EQ(Colours(bitmap), (std::vector<TColor>{kBlue, kBlack, kBlack, kBlack, kBlack, kBlack}));
}

TEST(GifFirstFrameBitmap, ScreenWithoutWidthGivesABitmapWithoutPixels) {
    Bytes b = Header4(0, 3);
    Descriptor(b, 0, 0, 0, 0)              // takes the 0 x 3 screen
        .Raw(ImageData({}, 2)).U8(';');
    TBitmap bitmap = BitmapOf(b);
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.Pixel(0, 0), clNone);
}
