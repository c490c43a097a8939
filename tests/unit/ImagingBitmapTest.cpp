#include <gtest/gtest.h>

#include <random>
#include <set>

#include "imaging/Bitmap.h"
#include "imaging/Limits.h"
#include "platform/Exception.h"

namespace {

constexpr TColor Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, White = 0xFFFFFF;

TBitmap Make24(int w, int h) {
    TBitmap b;
    b.SetSize(w, h);
    return b;
}

// Every pixel a different colour, so that a misplaced pixel shows.
TBitmap Numbered(int w, int h) {
    TBitmap b = Make24(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.SetPixel(x, y, RGBColor(x * 7 % 256, y * 11 % 256, (x + y) % 256));
    return b;
}

}  // namespace

TEST(BitmapPixelAccess, OutsideReadsNoneAndWritesNothing) {
    TBitmap b = Make24(3, 2);
    b.SetBrushColor(Green);
    b.FillRect(Rect(0, 0, 3, 2));
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {3, 0}, {0, 2}, {1000, 1000}}) {
        EXPECT_EQ(b.Pixel(x, y), clNone) << x << "," << y;
        b.SetPixel(x, y, Red);
    }
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(b.Pixel(x, y), Green);
    EXPECT_EQ(TBitmap().Pixel(0, 0), clNone);
}

TEST(BitmapPixelAccess, ColourIsRedInLowByte) {
    TBitmap b = Make24(1, 1);
    b.SetPixel(0, 0, RGBColor(1, 2, 3));
    EXPECT_EQ(b.Pixel(0, 0), 0x030201);
    // The raw row holds R, G, B in that order.
    EXPECT_EQ(b.ScanLine(0)[0], 1);
    EXPECT_EQ(b.ScanLine(0)[2], 3);
}

TEST(BitmapPixelAccess, EightBitStoresNearestPaletteColour) {
    TBitmap b;
    b.SetPixelFormat(pf8bit);
    b.SetSize(2, 1);
    b.SetPalette({0x000000, 0x808080, 0xFFFFFF});
    b.SetPixel(0, 0, 0x707070);
    b.SetPixel(1, 0, 0xF0F0F0);
    EXPECT_EQ(b.Pixel(0, 0), 0x808080);
    EXPECT_EQ(b.Pixel(1, 0), 0xFFFFFF);
    EXPECT_EQ(b.ScanLine(0)[0], 1);
}

TEST(BitmapFill, RightAndBottomEdgesExcluded) {
    TBitmap b = Make24(4, 4);
    b.SetBrushColor(Red);
    b.FillRect(Rect(1, 1, 3, 3));
    EXPECT_EQ(b.Pixel(1, 1), Red);
    EXPECT_EQ(b.Pixel(2, 2), Red);
    EXPECT_EQ(b.Pixel(3, 2), 0);
    EXPECT_EQ(b.Pixel(2, 3), 0);
    EXPECT_EQ(b.Pixel(0, 0), 0);
}

TEST(BitmapFill, RectanglePastTheEdgesIsClipped) {
    TBitmap b = Make24(2, 2);
    b.SetBrushColor(Blue);
    b.FillRect(Rect(-5, -5, 50, 50));
    EXPECT_EQ(b.Pixel(0, 0), Blue);
    EXPECT_EQ(b.Pixel(1, 1), Blue);
    b.SetBrushColor(Red);
    b.FillRect(Rect(2, 0, 1, 2));  // inverted: nothing
    EXPECT_EQ(b.Pixel(1, 0), Blue);
}

TEST(BitmapResize, CommonAreaKeepsItsPixels) {
    TBitmap b = Numbered(5, 4);
    TBitmap before = b;
    b.SetWidth(3);
    b.SetHeight(6);
    ASSERT_EQ(b.Width(), 3);
    ASSERT_EQ(b.Height(), 6);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(b.Pixel(x, y), before.Pixel(x, y));
    b.SetSize(5, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(b.Pixel(x, y), before.Pixel(x, y));
}

TEST(BitmapResize, ZeroWidthHoldsNoPixels) {
    TBitmap b = Numbered(3, 3);
    b.SetWidth(0);
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.Height(), 3);
    EXPECT_EQ(b.Pixel(0, 0), clNone);
    b.SetSize(-4, -4);
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
}

TEST(BitmapResize, AbovePixelCapIsRefusedBeforeAllocating) {
    TBitmap b;
    int side = 1 << 14;  // 2^28 pixels exactly: allowed in principle, so test one above
    EXPECT_THROW(b.SetSize(side + 1, side), Exception);
    EXPECT_THROW(b.SetSize(1, static_cast<int>(imaging::MaxPixels) + 1), Exception);
    EXPECT_THROW(b.SetSize(0x7FFFFFFF, 0x7FFFFFFF), Exception);
    EXPECT_EQ(b.Width(), 0);
}

TEST(BitmapAssign, CopyIsIndependentOfOriginal) {
    TBitmap a = Numbered(4, 3);
    a.SetTransparentColor(Blue);
    TBitmap b;
    b.Assign(a);
    EXPECT_TRUE(b.SharesStorageWith(a));
    EXPECT_EQ(b.TransparentColor(), Blue);
    TColor original = a.Pixel(1, 1);
    b.SetPixel(1, 1, White);
    EXPECT_FALSE(b.SharesStorageWith(a));
    EXPECT_EQ(a.Pixel(1, 1), original);
    EXPECT_EQ(b.Pixel(1, 1), White);
}

TEST(BitmapAssign, EveryWayOfChangingUnshares) {
    TBitmap a = Numbered(4, 3);
    TBitmap keep = a;
    auto expectOriginal = [&](const char* what) {
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x) ASSERT_EQ(keep.Pixel(x, y), Numbered(4, 3).Pixel(x, y)) << what;
    };
    { TBitmap c = keep; c.SetBrushColor(White); c.FillRect(Rect(0, 0, 4, 3)); } expectOriginal("fill");
    { TBitmap c = keep; c.MutableScanLine(0)[0] = 99; } expectOriginal("row");
    { TBitmap c = keep; c.StretchDraw(Rect(0, 0, 4, 3), Make24(1, 1)); } expectOriginal("stretch");
    { TBitmap c = keep; c.SetPixelFormat(pf8bit); c.SetPixelFormat(pf24bit); c.SetSize(2, 2); } expectOriginal("format");
    { TBitmap c = keep; c.SetPixelFormat(pf8bit); TBitmap d = c; d.SetPalette({White}); EXPECT_NE(c.Pixel(0, 0), White); }
}

TEST(BitmapAssign, CopyKeepsFormatAndPalette) {
    TBitmap a;
    a.SetPixelFormat(pf8bit);
    a.SetSize(2, 2);
    a.SetPalette({Red, Green});
    a.MutableScanLine(1)[1] = 1;
    TBitmap b = a;
    EXPECT_EQ(b.GetPixelFormat(), pf8bit);
    EXPECT_EQ(b.Palette(), a.Palette());
    EXPECT_EQ(b.Pixel(1, 1), Green);
    EXPECT_EQ(b.Pixel(0, 0), Red);
}

TEST(HalftoneConversion, PaletteHas256DistinctColoursAndBothExtremes) {
    const auto& p = HalftonePalette();
    ASSERT_EQ(p.size(), 256u);
    EXPECT_EQ(std::set<TColor>(p.begin(), p.end()).size(), 256u);
    EXPECT_EQ(p.front(), 0);
    EXPECT_NE(std::find(p.begin(), p.end(), White), p.end());
}

TEST(HalftoneConversion, FastMappingAgreesWithFullScan) {
    // The conversion takes a shortcut; it must choose what a scan of all 256
    // entries chooses, ties included.
    TBitmap b = Make24(64, 64);
    std::mt19937 rng(7);
    std::vector<TColor> colours;
    for (int i = 0; i < 64 * 64; ++i) {
        TColor c = i < 256 ? RGBColor(i, i, i)                                  // every grey
                   : i < 512 ? RGBColor(i % 256, (i * 3) % 256, 255 - i % 256)  // ramps
                             : static_cast<TColor>(rng() & 0xFFFFFF);
        colours.push_back(c);
        b.SetPixel(i % 64, i / 64, c);
    }
    b.SetPixelFormat(pf8bit);
    ASSERT_EQ(b.Palette(), HalftonePalette());
    for (int i = 0; i < 64 * 64; ++i) {
        int expected = NearestPaletteIndex(HalftonePalette(), colours[i]);
        ASSERT_EQ(b.ScanLine(i / 64)[i % 64], expected) << std::hex << colours[i];
    }
}

TEST(HalftoneConversion, RoundTripKeepsPaletteColoursExactly) {
    TBitmap b = Make24(16, 16);
    for (int i = 0; i < 256; ++i) b.SetPixel(i % 16, i / 16, HalftonePalette()[i]);
    TBitmap c = b;
    c.SetPixelFormat(pf8bit);
    c.SetPixelFormat(pf24bit);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(c.Pixel(i % 16, i / 16), b.Pixel(i % 16, i / 16));
}

TEST(HalftoneConversion, EmptyBitmapGetsPaletteForLaterDrawing) {
    TBitmap b;
    b.SetPixelFormat(pf8bit);
    b.SetSize(1, 1);
    b.SetPixel(0, 0, RGBColor(250, 3, 4));
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(255, 0, 0));
}

TEST(StretchDraw, ShrinkFourToTwoKeepsTwoColumnsUnchanged) {
    TBitmap src = Make24(4, 1);
    TColor cols[4] = {Red, Green, Blue, White};
    for (int x = 0; x < 4; ++x) src.SetPixel(x, 0, cols[x]);
    TBitmap dst = Make24(2, 1);
    dst.StretchDraw(Rect(0, 0, 2, 1), src);
    std::set<TColor> source(cols, cols + 4);
    EXPECT_TRUE(source.count(dst.Pixel(0, 0)));
    EXPECT_TRUE(source.count(dst.Pixel(1, 0)));
    EXPECT_NE(dst.Pixel(0, 0), dst.Pixel(1, 0));
}

TEST(StretchDraw, OnePixelEnlargedFillsTheRectangle) {
    TBitmap src = Make24(1, 1);
    src.SetPixel(0, 0, 0x123456);
    TBitmap dst = Make24(5, 5);
    dst.StretchDraw(Rect(1, 1, 4, 4), src);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) {
            bool inside = x >= 1 && x < 4 && y >= 1 && y < 4;
            EXPECT_EQ(dst.Pixel(x, y), inside ? 0x123456 : 0) << x << "," << y;
        }
}

TEST(StretchDraw, EveryTargetPixelIsTheSampledSourcePixel) {
    TBitmap src = Numbered(13, 7);
    for (auto [w, h] : {std::pair{5, 3}, {13, 7}, {26, 21}, {1, 1}, {20, 2}, {3, 30}}) {
        TBitmap dst = Make24(w, h);
        dst.StretchDraw(Rect(0, 0, w, h), src);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(dst.Pixel(x, y), src.Pixel(SampleSource(x, 13, w), SampleSource(y, 7, h)))
                    << w << "x" << h << " at " << x << "," << y;
    }
}

TEST(StretchDraw, SampleSourceStaysInsideAndCoversWhenEnlarging) {
    for (int src = 1; src < 40; ++src)
        for (int dst = 1; dst < 90; ++dst) {
            std::set<int> used;
            int last = -1;
            for (int d = 0; d < dst; ++d) {
                int s = SampleSource(d, src, dst);
                ASSERT_GE(s, 0);
                ASSERT_LT(s, src);
                ASSERT_GE(s, last);  // monotone: no mirrored or shuffled columns
                last = s;
                used.insert(s);
            }
            if (dst >= src) {
                EXPECT_EQ(used.size(), static_cast<size_t>(src)) << src << "->" << dst;
            }
        }
    // Large pictures: no overflow in the product.
    EXPECT_EQ(SampleSource(69, 3000, 70), 2978);
    EXPECT_LT(SampleSource(1 << 27, 1 << 28, (1 << 27) + 1), 1 << 28);
}

TEST(StretchDraw, DrawingABitmapIntoItselfReadsTheOriginal) {
    TBitmap b = Numbered(6, 6);
    TBitmap original = b;
    b.StretchDraw(Rect(0, 0, 3, 3), b);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(b.Pixel(x, y), original.Pixel(SampleSource(x, 6, 3), SampleSource(y, 6, 3)));
}

TEST(StretchDraw, RectanglePartlyOutsideIsClipped) {
    TBitmap src = Numbered(4, 4);
    TBitmap dst = Make24(3, 3);
    dst.StretchDraw(Rect(-2, -2, 6, 6), src);  // 8x8 onto 3x3 from (-2,-2)
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(dst.Pixel(x, y), src.Pixel(SampleSource(x + 2, 4, 8), SampleSource(y + 2, 4, 8)));
}

TEST(StretchDraw, ConvertsBetweenFormats) {
    TBitmap grey;
    grey.SetPixelFormat(pf8bit);
    grey.SetSize(2, 1);
    grey.SetPalette({0x000000, 0x404040});
    grey.MutableScanLine(0)[1] = 1;
    TBitmap colour = Make24(2, 1);
    colour.StretchDraw(Rect(0, 0, 2, 1), grey);
    EXPECT_EQ(colour.Pixel(1, 0), 0x404040);

    TBitmap halftone;
    halftone.SetPixelFormat(pf8bit);
    halftone.SetSize(2, 1);
    halftone.StretchDraw(Rect(0, 0, 2, 1), grey);  // different palette: nearest colours
    EXPECT_EQ(halftone.Pixel(1, 0), HalftonePalette()[NearestPaletteIndex(HalftonePalette(), 0x404040)]);
    halftone.StretchDraw(Rect(0, 0, 2, 1), colour);
    EXPECT_EQ(halftone.Pixel(0, 0), 0);
}

TEST(StretchDraw, StretchedCopyEqualsDrawingIntoACopyOfThatSize) {
    // The gallery's stretch: copy, resize, draw the original into it.
    for (PixelFormat format : {pf24bit, pf8bit}) {
        TBitmap source = Numbered(17, 11);
        source.SetPixelFormat(format);
        for (auto [w, h] : {std::pair{5, 4}, {40, 3}, {17, 11}, {0, 7}}) {
            TBitmap expected = source;
            expected.SetSize(w, h);
            expected.StretchDraw(Rect(0, 0, w, h), source);
            TBitmap copy = source.StretchedCopy(w, h);
            ASSERT_EQ(copy.GetPixelFormat(), format);
            ASSERT_EQ(copy.Palette(), source.Palette());
            ASSERT_EQ(copy.Width(), std::max(w, 0));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(copy.Pixel(x, y), expected.Pixel(x, y)) << w << "x" << h;
        }
    }
}
