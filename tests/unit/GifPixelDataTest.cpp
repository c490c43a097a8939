// GIF pixel data: the LZW decoder, interlaced rows, and what data that ends
// early leaves behind.
#include <gtest/gtest.h>

#include <random>

#include "GifTestSupport.h"
#include "imaging/Limits.h"

using namespace gif_test;
using gif_bytes::CodeWriter;
using gif_bytes::ImageData;
using gif_bytes::LzwEncode;
using gif_bytes::LzwOptions;
using gif_bytes::SubBlocks;

namespace {

// A file of one w x h frame with a 256-colour global table and the given
// image data (minimum code size byte and sub-blocks), then the trailer.
std::string OneFrame(int w, int h, const std::string& imageData, int descriptorFlags = 0, int transparent = -1) {
    Bytes b;
    b.Text("GIF89a").U16(w).U16(h)
        .U8(0x87)      // global table of 2 << 7 = 256 entries
        .U8(0).U8(0);  // background, aspect
    for (int i = 0; i < 256; ++i) b.U8(i).U8(255 - i).U8(i / 2);
    if (transparent >= 0) GraphicControl(b, transparent);
    Descriptor(b, 0, 0, w, h, descriptorFlags);
    b.Raw(imageData);
    b.U8(';');
    return b;
}

std::vector<uint8_t> RandomPixels(size_t n, int colours, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> pixels(n);
    // Runs and repeats as well as noise, so that long table strings occur.
    for (size_t i = 0; i < n; ++i)
        pixels[i] = random() % 4 == 0 && i > 0 ? pixels[i - 1] : static_cast<uint8_t>(random() % colours);
    return pixels;
}

}  // namespace

TEST(GifLzwDecoding, RoundTripsThroughGrowingCodeWidthsAndTableResets) {
    // 300 x 200 of 256 colours fills the 4096-entry table many times over.
    std::vector<uint8_t> pixels = RandomPixels(300 * 200, 256, 1);
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(300, 200, ImageData(pixels, 8))).empty());
    ASSERT_EQ(image.Frames().size(), 1u);
    EXPECT_EQ(Indices(image.Frames()[0]), pixels);
}

TEST(GifLzwDecoding, FullTableWithoutClearKeepsTwelveBitCodes) {
    std::vector<uint8_t> pixels = RandomPixels(200 * 200, 256, 2);
    LzwOptions options;
    options.clearWhenFull = false;
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(200, 200, ImageData(pixels, 8, options))).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), pixels);
}

TEST(GifLzwDecoding, SmallCodeSizesAndLongRunsDecode) {
    // A long single-colour run exercises the code that names the entry being made.
    for (int minCodeSize : {2, 3, 5}) {
        std::vector<uint8_t> pixels = RandomPixels(64 * 40, 1 << minCodeSize, 3);
        std::fill(pixels.begin() + 100, pixels.begin() + 1900, 1);
        TGIFImage image;
        EXPECT_TRUE(Load(image, OneFrame(64, 40, ImageData(pixels, minCodeSize))).empty());
        EXPECT_EQ(Indices(image.Frames()[0]), pixels) << "minimum code size " << minCodeSize;
    }
}

TEST(GifLzwDecoding, OneByteSubBlocksJoinSeamlessly) {
    std::vector<uint8_t> pixels = RandomPixels(40 * 30, 16, 4);
    std::string data = std::string(1, 4) + SubBlocks(LzwEncode(pixels, 4), 1);
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(40, 30, data)).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), pixels);
}

TEST(GifLzwDecoding, MissingLeadingClearCodeIsAccepted) {
    std::vector<uint8_t> pixels = RandomPixels(20 * 20, 4, 5);
    LzwOptions options;
    options.clearFirst = false;
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(20, 20, ImageData(pixels, 2, options))).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), pixels);
}

TEST(GifLzwDecoding, CodeSizeElevenUsesTwelveBitCodesFromTheStart) {
    CodeWriter codes;
    codes.Put(2048, 12)   // clear code of code size 11
        .Put(5, 12)       // literal 5
        .Put(7, 12)       // literal 7
        .Put(2049, 12);   // end code
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(2, 1, std::string(1, 11) + SubBlocks(codes.Bytes()))).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{5, 7}));
}

TEST(GifLzwDecoding, MoreCodesThanPixelsStopAtTheFrameEnd) {
    // Six pixels of data for a 2 x 1 frame, then a second frame that must
    // still be found where it is.
    std::vector<uint8_t> six = {1, 2, 3, 1, 2, 3};
    Bytes b = Header4(2, 1);
    Descriptor(b, 0, 0, 2, 1).Raw(ImageData(six, 2));
    Descriptor(b, 0, 0, 2, 1).Raw(ImageData({3, 3}, 2));
    b.U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(image.FrameCount(), 2);
}

TEST(GifLzwDecoding, EndCodeSkipsTheRemainingSubBlocks) {
    std::string codes = LzwEncode({1, 2, 3, 0}, 2);
    Bytes b = Header4(2, 2);
    Descriptor(b, 0, 0, 2, 2)
        .U8(2)                                   // minimum code size
        .U8(static_cast<int>(codes.size())).Raw(codes)  // the codes, end code last
        .U8(3).Raw("\xFF\xFF\xFF")              // junk after the end code
        .U8(0)                                   // terminator
        .U8(';');                                // trailer
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 2, 3, 0}));
}

TEST(GifLzwFaults, CodeBeyondTheNextFreeEntryIsCircular) {
    CodeWriter codes;
    codes.Put(4, 3)   // clear (code size 2)
        .Put(1, 3)    // literal 1; no entry yet
        .Put(7, 3);   // next free entry is 6: 7 does not exist
    EXPECT_EQ(FaultOf(OneFrame(4, 1, std::string(1, 2) + SubBlocks(codes.Bytes()))), "Circular decoder table entry");
}

TEST(GifLzwFaults, FirstCodeAfterClearNamingTheNewEntryIsCircular) {
    CodeWriter codes;
    codes.Put(4, 3)   // clear
        .Put(6, 3);   // the entry that would be made from the previous code: there is none
    EXPECT_EQ(FaultOf(OneFrame(4, 1, std::string(1, 2) + SubBlocks(codes.Bytes()))), "Circular decoder table entry");
}

TEST(GifLzwFaults, MinimumCodeSizeTwelveIsRefused) {
    CodeWriter codes;
    codes.Put(0, 13);
    EXPECT_EQ(FaultOf(OneFrame(1, 1, std::string(1, 12) + SubBlocks(codes.Bytes()))), "Invalid GIF data");
    EXPECT_EQ(FaultOf(OneFrame(1, 1, std::string(1, static_cast<char>(255)) + SubBlocks(codes.Bytes()))),
              "Invalid GIF data");
}

TEST(GifEarlyEnd, MissingPixelsKeepIndexZero) {
    // 4 x 2 frame, its codes cut after the first 2 of 4 bytes.
    std::string codes = LzwEncode({1, 2, 3, 1, 2, 3, 1, 2}, 2);
    ASSERT_GT(codes.size(), 2u);
    Bytes b = Header4(4, 2);
    Descriptor(b, 0, 0, 4, 2)
        .U8(2)                         // minimum code size
        .U8(2).Raw(codes.substr(0, 2)) // the first two bytes only
        .U8(0)                         // terminator
        .U8(';');
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Decoder bit buffer under-run"});
    const std::vector<uint8_t> data = Indices(image.Frames()[0]);
    ASSERT_EQ(data.size(), 8u);
    // clear(3) 1(3) 2(3) 3(3), then the entry "1 2" in 4 bits after the widening:
    // 16 bits, five pixels.
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 1, 2, 0, 0, 0}));
}

TEST(GifEarlyEnd, MissingPixelsOfATransparentFrameKeepTheTransparentIndex) {
    // The pixels never sent are 1s; what shows must be the transparent 3.
    std::string codes = LzwEncode({1, 2, 3, 1, 2, 1, 1, 1}, 2);
    Bytes b = Header4(4, 2);
    GraphicControl(b, 3);  // transparent index 3
    Descriptor(b, 0, 0, 4, 2)
        .U8(2)
        .U8(2).Raw(codes.substr(0, 2))
        .U8(0)
        .U8(';');
    TGIFImage image;
    Load(image, b);
    EXPECT_TRUE(image.Frames()[0].Transparent);
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 3, 3}));
}

TEST(GifEarlyEnd, FileEndingInsideASubBlockWarnsTwiceAndKeepsWhatArrived) {
    std::string codes = LzwEncode({1, 2, 3, 1, 2, 3, 1, 2}, 2);
    Bytes b = Header4(4, 2);
    Descriptor(b, 0, 0, 4, 2)
        .U8(2)                              // minimum code size
        .U8(50).Raw(codes.substr(0, 2));    // announces 50 bytes, the file ends after 2
    TGIFImage image;
    EXPECT_EQ(Load(image, b), (std::vector<std::string>{"Premature end of data", "Decoder bit buffer under-run"}));
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 2, 3, 1, 2, 0, 0, 0}));
}

TEST(GifEarlyEnd, SubBlockSizeAsTheLastByteWarnsPrematureEnd) {
    std::string codes = LzwEncode({1, 2, 3, 1}, 2);
    Bytes b = Header4(2, 2);
    Descriptor(b, 0, 0, 2, 2)
        .U8(2)                                          // minimum code size
        .U8(static_cast<int>(codes.size())).Raw(codes)  // the whole picture
        .U8(9);                                         // a block announced, no bytes left
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Premature end of data"});
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 2, 3, 1}));
}

TEST(GifEarlyEnd, FileEndingBeforeTheCodeSizeLeavesTheFill) {
    Bytes b = Header4(2, 2);
    GraphicControl(b, 2);
    Descriptor(b, 0, 0, 2, 2);  // and nothing after it
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Decoder bit buffer under-run"});
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{2, 2, 2, 2}));
}

TEST(GifEarlyEnd, WarningsAreDroppedWithoutAHandler) {
    std::string codes = LzwEncode({1, 2, 3, 1}, 2);
    Bytes b = Header4(2, 2);
    Descriptor(b, 0, 0, 2, 2).U8(2).U8(50).Raw(codes.substr(0, 1));
    TGIFImage image;
    image.LoadFromMemory(b.Str().data(), b.Str().size());
    EXPECT_EQ(image.FrameCount(), 1);
}

TEST(GifInterlace, RowsArriveInFourPasses) {
    // A 1 x 10 frame whose pixel values are the order rows arrive in.
    std::vector<uint8_t> arrival = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(1, 10, ImageData(arrival, 4), 0x40)).empty());
    // Rows 0, 8 (pass 1), 4 (pass 2), 2, 6 (pass 3), 1, 3, 5, 7, 9 (pass 4).
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{0, 5, 3, 6, 2, 7, 4, 8, 1, 9}));
}

TEST(GifInterlace, WideFramesMoveWholeRows) {
    const int w = 7, h = 29;
    std::vector<uint8_t> screen(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) screen[y * w + x] = static_cast<uint8_t>(y * 3 + x);
    std::vector<uint8_t> arrival;
    for (int start : {0, 4, 2, 1})
        for (int y = start; y < h; y += start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2)
            arrival.insert(arrival.end(), screen.begin() + y * w, screen.begin() + (y + 1) * w);
    TGIFImage image;
    EXPECT_TRUE(Load(image, OneFrame(w, h, ImageData(arrival, 8), 0x40)).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), screen);
}

TEST(GifInterlace, RowsThatNeverArriveKeepTheTransparentFill) {
    // Three rows arrive: they belong at rows 0, 8 and 4.
    std::string codes = LzwEncode({1, 2, 3}, 4);
    TGIFImage image;
    Load(image, OneFrame(1, 10, std::string(1, 4) + SubBlocks(codes.substr(0, codes.size() - 1)), 0x40, 15));
    EXPECT_EQ(Indices(image.Frames()[0]), (std::vector<uint8_t>{1, 15, 15, 15, 3, 15, 15, 15, 2, 15}));
}

TEST(GifInterlace, FrameWithoutWidthHasNoRowsToMove) {
    Bytes b;
    b.Text("GIF89a").U16(0).U16(9).U8(0).U8(0).U8(0);  // a 0 x 9 screen, no table
    Descriptor(b, 0, 0, 0, 9, 0x40)                      // zero width: takes the screen's
        .Raw(ImageData({}, 2)).U8(';');
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Image exceeds Logical Screen size"});
    EXPECT_TRUE(Indices(image.Frames()[0]).empty());
}
