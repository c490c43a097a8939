// Reading a GIF file's structure: signature, screen, blocks, extensions,
// faults and warnings, and the limits on what a file can make us allocate.
#include <gtest/gtest.h>

#include "GifTestSupport.h"
#include "imaging/Limits.h"
#include "platform/Stream.h"
#include "support/TestSupport.h"

using namespace gif_test;
using gif_bytes::ImageData;

namespace {

// A 2 x 2 frame of pixels 0 1 / 2 3 at (0, 0), no local table.
Bytes& Frame2x2(Bytes& b) { return Descriptor(b, 0, 0, 2, 2).Raw(ImageData({0, 1, 2, 3}, 2)); }

std::string Minimal(const std::string& prefix = "", const char* version = "GIF89a") {
    Bytes b;
    b.Raw(prefix).Raw(Header4(2, 2, version));
    Frame2x2(b).U8(';');
    return b;
}

const std::vector<uint8_t> kPixels0123 = {0, 1, 2, 3};

}  // namespace

TEST(GifSignature, FourBytePrefixLoadsAsIfAbsent) {
    TGIFImage image;
    EXPECT_TRUE(Load(image, Minimal(std::string("\x00\x01\x02\x03", 4))).empty());
    EXPECT_EQ(image.Width(), 2);
    EXPECT_EQ(Indices(image.Frames()[0]), kPixels0123);
}

TEST(GifSignature, OtherPrefixLengthsAreRefused) {
    EXPECT_EQ(FaultOf(Minimal("abc")), "Invalid GIF signature");
    EXPECT_EQ(FaultOf(Minimal("abcde")), "Invalid GIF signature");
    EXPECT_EQ(FaultOf("GI"), "Invalid GIF signature");
    EXPECT_EQ(FaultOf(""), "Invalid GIF signature");
}

TEST(GifSignature, LetterCaseAndVersionAreNotExamined) {
    TGIFImage image;
    EXPECT_TRUE(Load(image, Minimal("", "gif89a")).empty());
    EXPECT_TRUE(Load(image, Minimal("", "GIF12x")).empty());
    EXPECT_EQ(Indices(image.Frames()[0]), kPixels0123);
}

TEST(GifStructure, Gif87aWithoutExtensionsLoads) {
    TGIFImage image;
    EXPECT_TRUE(Load(image, Minimal("", "GIF87a")).empty());
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(image.Frames()[0].Extensions.empty());
    EXPECT_EQ(image.GlobalColorMap().size(), 4u);
    EXPECT_EQ(image.GlobalColorMap()[1], (TGIFColor{0xFF, 0, 0}));
}

TEST(GifStructure, ScreenWithoutGlobalTableHasAnEmptyTable) {
    Bytes b;
    b.Text("GIF89a").U16(2).U16(2)
        .U8(0x07)      // no global table (bit 7 clear), size bits ignored
        .U8(0).U8(0);
    Descriptor(b, 0, 0, 2, 2, 0x81)          // local table of 4 entries
        .Colors({0x102030, 0x405060, 0x708090, 0xA0B0C0})
        .Raw(ImageData({0, 1, 2, 3}, 2)).U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_TRUE(image.GlobalColorMap().empty());
    EXPECT_EQ(image.ActiveColorMap(image.Frames()[0])[3], (TGIFColor{0xA0, 0xB0, 0xC0}));
}

TEST(GifStructure, ZeroBytesBetweenBlocksAreSkipped) {
    Bytes b = Header4(2, 2);
    b.U8(0).U8(0);
    Frame2x2(b).U8(0).U8(0).U8(0);
    Frame2x2(b).U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(image.FrameCount(), 2);
}

TEST(GifStructure, MissingTrailerIsQuiet) {
    Bytes b = Header4(2, 2);
    Frame2x2(b);
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(image.FrameCount(), 1);
}

TEST(GifStructure, ZeroSizedFrameTakesTheScreenSize) {
    Bytes b = Header4(2, 2);
    Descriptor(b, 0, 0, 0, 5)   // width 0
        .Raw(ImageData({3, 2, 1, 0}, 2)).U8(';');
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Image exceeds Logical Screen size"});
    const TGIFSubImage& frame = image.Frames()[0];
    EXPECT_EQ(frame.Width(), 2);
    EXPECT_EQ(frame.Height(), 2);
    EXPECT_EQ(Indices(frame), (std::vector<uint8_t>{3, 2, 1, 0}));
}

TEST(GifStructure, LocalTableOverridesTheGlobalOne) {
    Bytes b = Header4(2, 1);
    Descriptor(b, 0, 0, 2, 1, 0x80)   // local table of 2 << 0 = 2 entries
        .Colors({0x111111, 0x222222})
        .Raw(ImageData({1, 0}, 2)).U8(';');
    TGIFImage image;
    Load(image, b);
    const TGIFSubImage& frame = image.Frames()[0];
    ASSERT_TRUE(frame.HasLocalColorMap());
    EXPECT_EQ(image.ActiveColorMap(frame), (TGIFColorMap{{0x11, 0x11, 0x11}, {0x22, 0x22, 0x22}}));
}

TEST(GifExtensions, CommentPlainTextAndUnknownApplicationAreReadAndSkipped) {
    Bytes b = Header4(2, 2);
    b.U8('!').U8(0xFE)                        // comment
        .U8(5).Text("Hello").U8(6).Text(", GIF!").U8(0);
    b.U8('!').U8(0x01)                        // plain text
        .U8(12)                               // block size
        .U16(1).U16(2)                        // text grid left, top
        .U16(30).U16(40)                      // grid width, height
        .U8(8).U8(16)                         // cell width, height
        .U8(1).U8(0)                          // foreground, background index
        .U8(3).Text("abc").U8(0);             // the text
    b.U8('!').U8(0xFF)                        // application
        .U8(11).Text("SOMEAPPS1.0")           // identifier and authentication code
        .U8(3).Raw("\x01\x02\x03").U8(1).Raw("\x09").U8(0);
    GraphicControl(b, -1);
    Frame2x2(b).U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    ASSERT_EQ(image.FrameCount(), 1);
    const TGIFSubImage& frame = image.Frames()[0];
    EXPECT_EQ(Indices(frame), kPixels0123);
    EXPECT_FALSE(frame.Transparent);
    ASSERT_EQ(frame.Extensions.size(), 4u);

    auto* comment = dynamic_cast<TGIFCommentExtension*>(frame.Extensions[0].get());
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(comment->Text, "Hello, GIF!");

    auto* text = dynamic_cast<TGIFTextExtension*>(frame.Extensions[1].get());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->GridWidth, 30);
    EXPECT_EQ(text->CellHeight, 16);
    EXPECT_EQ(text->ForegroundColorIndex, 1);
    EXPECT_EQ(text->Text, "abc");

    auto* app = dynamic_cast<TGIFApplicationExtension*>(frame.Extensions[2].get());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(dynamic_cast<TGIFLoopExtension*>(app), nullptr);
    EXPECT_EQ(app->Identifier, "SOMEAPPS");
    EXPECT_EQ(app->Authentication, "1.0");
    EXPECT_EQ(app->Blocks(), (std::vector<std::string>{"\x01\x02\x03", "\x09"}));
}

TEST(GifExtensions, LoopExtensionReadsCountAndBufferSizeAndSkipsOtherIds) {
    for (const char* id : {"NETSCAPE2.0", "ANIMEXTS1.0"}) {
        Bytes b = Header4(2, 2);
        b.U8('!').U8(0xFF).U8(11).Text(id)
            .U8(3).U8(1).U16(7)                       // id 1: loop count 7
            .U8(5).U8(2).U8(0x10).U8(0x20).U8(0x30).U8(0x40)  // id 2: buffer size
            .U8(2).U8(9).U8(9)                        // id 9: skipped
            .U8(0);
        Frame2x2(b).U8(';');
        TGIFImage image;
        EXPECT_TRUE(Load(image, b).empty());
        auto* loop = dynamic_cast<TGIFLoopExtension*>(image.Frames()[0].Extensions.at(0).get());
        ASSERT_NE(loop, nullptr) << id;
        EXPECT_TRUE(loop->HasLoops);
        EXPECT_EQ(loop->Loops, 7);
        EXPECT_EQ(loop->BufferSize, 0x40302010u);
    }
}

TEST(GifExtensions, LoopSubBlockCutAtTheEndOfTheFileIsNotRead) {
    Bytes b = Header4(2, 2);
    b.U8('!').U8(0xFF).U8(11).Text("NETSCAPE2.0")
        .U8(5);   // a sub-block of 5 announced as the file's last byte
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    auto* loop = dynamic_cast<TGIFLoopExtension*>(image.Frames().at(0).Extensions.at(0).get());
    ASSERT_NE(loop, nullptr);
    EXPECT_FALSE(loop->HasLoops);
}

TEST(GifExtensions, IdentifierBlockOfTenIsAGenericApplication) {
    Bytes b = Header4(2, 2);
    b.U8('!').U8(0xFF).U8(10).Text("NETSCAPE2.")   // ten bytes: the generic kind
        .U8(3).U8(1).U16(7).U8(0);
    Frame2x2(b).U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    auto* app = dynamic_cast<TGIFApplicationExtension*>(image.Frames()[0].Extensions.at(0).get());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(dynamic_cast<TGIFLoopExtension*>(app), nullptr);
    EXPECT_EQ(app->Authentication, "2.");
}

TEST(GifExtensions, GraphicControlMarksTheFrameTransparent) {
    Bytes b = Header4(2, 2);
    GraphicControl(b, 2);
    Frame2x2(b);
    Frame2x2(b).U8(';');  // no control extension of its own
    TGIFImage image;
    Load(image, b);
    EXPECT_TRUE(image.Frames()[0].Transparent);
    EXPECT_EQ(image.Frames()[0].TransparentColorIndex, 2);
    EXPECT_FALSE(image.Frames()[1].Transparent);
}

TEST(GifExtensions, TransparencyMaskHasRowsOfSixteenBitsAndOnlyWhenABitIsSet) {
    // 17 x 2: pixel (16, 0) and (0, 1) are transparent (index 3).
    std::vector<uint8_t> pixels(34, 1);
    pixels[16] = 3;
    pixels[17] = 3;
    Bytes b = Header4(17, 2);
    GraphicControl(b, 3);
    Descriptor(b, 0, 0, 17, 2).Raw(ImageData(pixels, 2)).U8(';');
    TGIFImage image;
    Load(image, b);
    const TGIFSubImage& frame = image.Frames()[0];
    EXPECT_EQ(frame.MaskRowBytes(), 4);
    EXPECT_EQ(frame.TransparencyMask(), (std::vector<uint8_t>{0, 0, 0x80, 0, 0x80, 0, 0, 0}));

    Bytes none = Header4(2, 2);
    GraphicControl(none, 3);  // index 3 never used below
    Descriptor(none, 0, 0, 2, 2).Raw(ImageData({0, 1, 2, 2}, 2)).U8(';');
    Load(image, none);
    EXPECT_TRUE(image.Frames()[0].Transparent);
    EXPECT_TRUE(image.Frames()[0].TransparencyMask().empty());
}

TEST(GifExtensions, CutGraphicControlRecordWarns) {
    Bytes b = Header4(2, 2);
    b.U8('!').U8(0xF9).U8(4).U8(1);   // the file ends inside the record
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Premature end of data"});
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_FALSE(image.Frames()[0].HasDescriptor);
}

TEST(GifExtensions, RecordsCheckTheirOwnIntroducerAndLabel) {
    std::string notIntroduced = "?\xFE\x00";
    TGIFSource source(notIntroduced.data(), notIntroduced.size());
    TGIFCommentExtension comment;
    try {
        comment.LoadFromSource(source, nullptr);
        ADD_FAILURE() << "no fault";
    } catch (const EGIFError& e) {
        EXPECT_STREQ(e.what(), "Invalid extension introducer");
    }

    std::string control = "!\xF9\x04\x01\x00\x00\x00\x00";
    TGIFSource other(control.data(), control.size());
    try {
        comment.LoadFromSource(other, nullptr);
        ADD_FAILURE() << "no fault";
    } catch (const EGIFError& e) {
        EXPECT_STREQ(e.what(), "Internal error: Extension Instance does not match Extension Label");
    }
}

// Each fault of the reader, by the bytes that raise it.
TEST(GifFaults, EachFaultHasItsMessage) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* message;
    };
    const std::string header = Header4(2, 2);
    Bytes frame;
    Frame2x2(frame);
    const std::vector<Case> cases = {
        {"screen descriptor cut", std::string("GIF89a\x02\x00\x02", 9), "Premature end of data"},
        {"global table cut", header.substr(0, header.size() - 1), "Premature end of data"},
        {"image descriptor cut", header + frame.Str().substr(0, 9), "Premature end of data"},
        {"local table cut", header + std::string(",\0\0\0\0\2\0\2\0\x81\1\2\3", 13), "Premature end of data"},
        {"application identifier cut", header + "!\xFF\x0BNETSCAPE", "Premature end of data"},
        {"plain text record cut", header + std::string("!\x01\x0C\0\0\0\0", 7), "Premature end of data"},
        {"introducer at the very end", header + "!", "Premature end of data"},
        {"unknown extension label", header + std::string("!\x02\x00", 3) + frame.Str(), "Unknown extension type"},
        {"identifier block of 9", header + "!\xFF\x09NETSCAPE2\x00", "Unsupported Application Extension block size"},
        {"loop id 1 too short", header + "!\xFF\x0BNETSCAPE2.0\x02\x01\x05" + std::string(1, '\0'),
         "Invalid GIF data"},
        {"loop id 2 too short", header + "!\xFF\x0BNETSCAPE2.0\x04\x02\x05\x05\x05" + std::string(1, '\0'),
         "Invalid GIF data"},
        {"no signature", std::string("JFIF"), "Invalid GIF signature"},
    };
    for (const Case& c : cases) EXPECT_EQ(FaultOf(c.bytes), c.message) << c.name;
}

TEST(GifFaults, AFaultLeavesTheImageEmpty) {
    TGIFImage image;
    Load(image, Minimal());
    ASSERT_EQ(image.FrameCount(), 1);
    const std::string bad = Header4(2, 2).Str() + "!\x02";
    EXPECT_THROW(image.LoadFromMemory(bad.data(), bad.size()), EGIFError);
    EXPECT_EQ(image.FrameCount(), 0);
    EXPECT_TRUE(image.Frames().empty());
    EXPECT_EQ(image.Width(), 0);
}

TEST(GifWarnings, StrayBlockByteWarnsAndEndsTheFile) {
    Bytes b = Header4(2, 2);
    Frame2x2(b).U8('Z');
    Frame2x2(b).U8(';');  // never reached
    TGIFImage image;
    EXPECT_EQ(Load(image, b), (std::vector<std::string>{"Unknown GIF block type", "Invalid Image trailer"}));
    EXPECT_EQ(image.FrameCount(), 1);
}

TEST(GifWarnings, StrayByteAfterExtensionsWarnsAndTheDescriptorIsReadFromIt) {
    Bytes b = Header4(2, 2);
    b.U8('!').U8(0xFE).U8(1).Text("x").U8(0);    // comment
    b.U8('X').U16(0).U16(0).U16(2).U16(2).U8(0)  // descriptor with 'X' for ','
        .Raw(ImageData({0, 1, 2, 3}, 2)).U8(';');
    TGIFImage image;
    EXPECT_EQ(Load(image, b), std::vector<std::string>{"Invalid extension introducer"});
    EXPECT_EQ(image.Frames()[0].Descriptor.Separator, 'X');
    EXPECT_EQ(Indices(image.Frames()[0]), kPixels0123);
}

TEST(GifWarnings, ProgressIsReportedPerFrameInPercent) {
    Bytes b = Header4(2, 2);
    Frame2x2(b);
    Frame2x2(b).U8(';');
    TGIFImage image;
    std::vector<int> progress;
    image.OnProgress = [&progress](int percent) { progress.push_back(percent); };
    image.LoadFromMemory(b.Str().data(), b.Str().size());
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_LT(progress[0], progress[1]);
    EXPECT_EQ(progress[1], static_cast<int>((b.Str().size() - 1) * 100 / b.Str().size()));
}

TEST(GifLimits, HugeLogicalScreenIsRefusedBeforeAnyFrame) {
    Bytes b;
    b.Text("GIF89a").U16(65535).U16(65535).U8(0).U8(0).U8(0).U8(';');
    EXPECT_EQ(FaultOf(b), "Bitmap image is too large");
    // 2^14 x (2^14 + 1): one row over the limit.
    Bytes over;
    over.Text("GIF89a").U16(16384).U16(16385).U8(0).U8(0).U8(0).U8(';');
    EXPECT_EQ(FaultOf(over), "Bitmap image is too large");
}

TEST(GifLimits, ScreenIsRefusedWhateverItsFirstFrame) {
    TGIFImage image;
    image.MaxPixels = 3;
    EXPECT_THROW(Load(image, Minimal()), EGIFError);  // 2 x 2 screen, 2 x 2 frame
}

TEST(GifLimits, FirstFrameLargerThanTheLimitIsRefused) {
    Bytes b = Header4(1, 1);
    Descriptor(b, 0, 0, 65535, 65535).Raw(ImageData({1}, 2)).U8(';');
    EXPECT_EQ(FaultOf(b), "Bitmap image is too large");
}

TEST(GifLimits, LaterFramesOfAnySizeAreReadWithoutKeepingPixels) {
    Bytes b = Header4(2, 2);
    Frame2x2(b);
    Descriptor(b, 0, 0, 65535, 65535).Raw(ImageData({1, 2, 3}, 2)).U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_FALSE(image.Frames()[1].HasPixels());
    EXPECT_TRUE(image.Frames()[1].Bitmap().Empty());
    EXPECT_EQ(image.Frames()[1].Width(), 65535);
}

TEST(GifLimits, FaultsInLaterFramesStillStopTheReading) {
    Bytes b = Header4(2, 2);
    Frame2x2(b);
    gif_bytes::CodeWriter codes;
    codes.Put(4, 3).Put(1, 3).Put(7, 3);  // a code beyond the next free entry
    Descriptor(b, 0, 0, 2, 2).U8(2).Raw(gif_bytes::SubBlocks(codes.Bytes())).U8(';');
    EXPECT_EQ(FaultOf(b), "Circular decoder table entry");
}

TEST(GifLimits, VeryManyFramesAreCountedButTheListIsBounded) {
    const int frames = static_cast<int>(imaging::GifMaxKeptFrames) + 100;
    Bytes b = Header4(1, 1);
    const std::string comment = "!\xFE\x01x";
    for (int i = 0; i < frames; ++i) {
        b.Raw(comment).U8(0).Raw(comment).U8(0);
        Descriptor(b, 0, 0, 1, 1).Raw(ImageData({static_cast<uint8_t>(i & 3)}, 2));
    }
    b.U8(';');
    TGIFImage image;
    EXPECT_TRUE(Load(image, b).empty());
    EXPECT_EQ(image.FrameCount(), frames);
    EXPECT_EQ(image.Frames().size(), imaging::GifMaxKeptFrames);
    size_t extensions = 0;
    for (const TGIFSubImage& frame : image.Frames()) extensions += frame.Extensions.size();
    EXPECT_EQ(extensions, imaging::GifMaxKeptExtensions);
}

TEST(GifLoading, StreamIsLeftAfterTheTrailer) {
    MemoryStream stream;
    const std::string gif = Minimal();
    stream.Data() = "ABC" + gif + "rest";
    stream.Seek(3, 0);
    TGIFImage image;
    image.LoadFromStream(stream);
    EXPECT_EQ(Indices(image.Frames()[0]), kPixels0123);
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(3 + gif.size()));
}

TEST(GifLoading, FileIsReadByPath) {
    testing_support::TempDir dir;
    testing_support::WriteFile(dir / "a.gif", Minimal());
    TGIFImage image;
    image.LoadFromFile(dir / "a.gif");
    EXPECT_EQ(Indices(image.Frames()[0]), kPixels0123);
    try {
        image.LoadFromFile(dir / "missing.gif");
        ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + (dir / "missing.gif"));
    }
}
