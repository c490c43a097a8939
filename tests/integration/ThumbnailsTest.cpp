// Thumbnails and slides: their sizes, trace lines and files, made by the
// program on the first photo page or slideshow request that needs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h wants FILE
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <jpeglib.h>

#include "imaging/Gif.h"
#include "support/CgiHarness.h"
#include "support/ExifBytes.h"
#include "support/GifBytes.h"
#include "support/JpegBytes.h"
#include "imaging/Bitmap.h"
#include "imaging/Picture.h"
#include "support/Pictures.h"
#include "support/RequiredTools.h"

using namespace testing_support;

namespace {

struct Made {
    int width = -1, height = -1;
    std::vector<std::string> trace;
    CgiResponse response;
};

// One listed picture, then the photo page; what the thumbnail became.
Made Thumbnail(const std::string& name, int w, int h, const std::string& pageTitle = "") {
    GalleryFolder g;
    if (name.ends_with(".gif")) MakeGif(g / name, w, h);
    else if (name.ends_with(".bmp")) MakeBmp(g / name, w, h);
    else MakeJpeg(g / name, w, h);
    WriteFile(g / (name.substr(0, name.rfind('.')) + ".idd"), "k\r\n");
    if (!pageTitle.empty()) WriteFile(g / "pagetitle.txt", pageTitle);
    Made m;
    m.response = g.Get();
    m.trace = g.TraceLines();
    std::string thumb = g / ("t_" + name.substr(0, name.rfind('.')) + ".jpg");
    if (!JpegSize(thumb, m.width, m.height)) m.width = m.height = Exists(thumb) && ReadFile(thumb).empty() ? 0 : -1;
    return m;
}

// A JPEG file decoded to 8-bit RGB by the JPEG library directly.
struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    int At(int x, int y, int c) const { return rgb[(static_cast<size_t>(y) * width + x) * 3 + c]; }
};

struct JumpingErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

Decoded DecodeWithLibjpeg(const std::string& path) {
    std::string bytes = ReadFile(path);
    Decoded out;
    jpeg_decompress_struct d;
    JumpingErrors err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<JumpingErrors*>(c->err)->jump, 1); };
    jpeg_create_decompress(&d);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        ADD_FAILURE() << "not a JPEG file the library can decode: " << path;
        return Decoded{};
    }
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    out.width = static_cast<int>(d.output_width);
    out.height = static_cast<int>(d.output_height);
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out.rgb.data() + static_cast<size_t>(d.output_scanline) * out.width * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

// A picture of slow waves, a different one in each channel, written by the
// JPEG library at quality 95: it shrinks without detail a thumbnail would
// lose, yet every position has its own colour.
void WriteWavesWithLibjpeg(const std::string& path, int width, int height) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    const double turn = 2 * 3.14159265358979;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(128 + 100 * std::sin(turn * x / 640));
            row[3 * x + 1] = static_cast<uint8_t>(128 + 100 * std::sin(turn * y / 480));
            row[3 * x + 2] = static_cast<uint8_t>(128 + 100 * std::cos(turn * (x + 2 * y) / 900));
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    WriteFile(path, std::string(reinterpret_cast<const char*>(out), size));
    std::free(out);
}

bool HasLine(const std::vector<std::string>& trace, const std::string& line) {
    return std::find(trace.begin(), trace.end(), line) != trace.end();
}

}  // namespace

TEST(ThumbnailSize, FourToThreeAtSeveralHeightsUsesTheExtendedProduct) {
    Made at70 = Thumbnail("a.jpg", 800, 600);
    EXPECT_EQ(at70.width, 93);
    EXPECT_EQ(at70.height, 70);
    EXPECT_TRUE(HasLine(at70.trace, "Thumbnail size 70,93"));
    Made at60 = Thumbnail("a.jpg", 800, 600, "THUMBSIZE:60,85");
    EXPECT_EQ(at60.width, 79);
    EXPECT_TRUE(HasLine(at60.trace, "Thumbnail size 60,79"));
    Made at75 = Thumbnail("a.jpg", 800, 600, "THUMBSIZE:75,85");
    EXPECT_EQ(at75.width, 99);
    EXPECT_EQ(at75.height, 75);
}

TEST(ThumbnailSize, PortraitAndSmallPictures) {
    Made portrait = Thumbnail("p.jpg", 600, 800);
    EXPECT_EQ(portrait.width, 52);
    EXPECT_EQ(portrait.height, 70);
    // Never enlarged; the trace still shows the derived target.
    Made small = Thumbnail("s.jpg", 60, 50);
    EXPECT_EQ(small.width, 60);
    EXPECT_EQ(small.height, 50);
    EXPECT_TRUE(HasLine(small.trace, "Thumbnail size 70,83"));
    Made exact = Thumbnail("e.jpg", 100, 70);
    EXPECT_EQ(exact.width, 100);
    EXPECT_EQ(exact.height, 70);
}

TEST(ThumbnailSize, TallNarrowPictureGivesAnEmptyThumbnail) {
    Made m = Thumbnail("n.jpg", 1, 100);
    EXPECT_EQ(m.width, 0);
    EXPECT_NE(m.response.body.find("t_n.jpg\" width=0 height=0>"), std::string::npos);
}

TEST(ThumbnailSize, ZeroHeightCropsToTheMiddlePixel) {
    Made m = Thumbnail("w.jpg", 3000, 1000, "THUMBSIZE:0,85");
    EXPECT_EQ(m.width, 1);
    EXPECT_EQ(m.height, 1);
    auto crop = std::find(m.trace.begin(), m.trace.end(), "Cropleft:1  CropTop:0");
    ASSERT_NE(crop, m.trace.end());
    ASSERT_NE(crop + 1, m.trace.end());
    EXPECT_EQ(*(crop + 1), "Thumbnail size 0,0");
}

TEST(ThumbnailSize, HeightBeyondTheRangeFallsBackAsANonNumberDoes) {
    // 2000000000 x 4/3 is no int: read as the default height, as "abc" is.
    for (const char* title : {"THUMBSIZE:2000000000,85", "THUMBSIZE:-2000000000,85", "THUMBSIZE:4097,85",
                              "THUMBSIZE:abc,85"}) {
        Made m = Thumbnail("a.jpg", 800, 600, title);
        EXPECT_EQ(m.width, 93) << title;
        EXPECT_EQ(m.height, 70) << title;
        EXPECT_TRUE(HasLine(m.trace, "Thumbnail size 70,93")) << title;
    }
    // The largest height stands: the picture is not enlarged.
    Made largest = Thumbnail("a.jpg", 800, 600, "THUMBSIZE:4096,85");
    EXPECT_EQ(largest.width, 800);
    EXPECT_TRUE(HasLine(largest.trace, "Thumbnail size 4096,5461"));
    Made negative = Thumbnail("a.jpg", 800, 600, "THUMBSIZE:-4096,85");
    EXPECT_EQ(negative.height, 1);
    EXPECT_TRUE(HasLine(negative.trace, "Thumbnail size -4096,-5461"));
}

TEST(ThumbnailSize, FileThatIsNoJpegGivesAnEmptyThumbnail) {
    GalleryFolder g;
    WriteFile(g / "photo.jpg", "this is not a picture");
    WriteFile(g / "photo.idd", "k\r\n");
    CgiResponse r = g.Get();
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_TRUE(Exists(g / "t_photo.jpg"));
    EXPECT_EQ(ReadFile(g / "t_photo.jpg"), "");
    EXPECT_TRUE(HasLine(g.TraceLines(), "Thumbnail size 70,70"));
    // The empty thumbnail is kept and not made again.
    g.Get();
    EXPECT_FALSE(HasLine(g.TraceLines(), "Create Thumbnail file: " + (g / "photo.jpg")));
}

TEST(ThumbnailSize, TinyFileDeclaringAHugeProgressivePictureGivesAnEmptyThumbnail) {
    // A few hundred bytes declaring 16384 x 16384 at 4:4:4: decoding would
    // need 1.5 GB of coefficients. It fails as any undecodable file does.
    GalleryFolder g;
    WriteFile(g / "huge.jpg", jpeg_bytes::ProgressiveJpeg(16384, 16384, 3, 2));
    WriteFile(g / "huge.idd", "k\r\n");
    CgiResponse r = g.Get();
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_NE(r.body.find("t_huge.jpg\" width=0 height=0>"), std::string::npos) << r.body;
    EXPECT_EQ(ReadFile(g / "t_huge.jpg"), "");
    EXPECT_TRUE(HasLine(g.TraceLines(), "Thumbnail size 70,70"));
}

TEST(ThumbnailSize, GifAndBmpPictures) {
    Made gif = Thumbnail("g.gif", 160, 120);
    EXPECT_EQ(gif.width, 93);
    EXPECT_EQ(gif.height, 70);
    Made bmp = Thumbnail("b.bmp", 160, 120);
    EXPECT_EQ(bmp.width, -1) << "a .bmp is never listed: only .jpg and .gif pictures are";
}

// ---- GIF pictures that cannot be decoded ----

namespace {

// Copies of a valid GIF with 20 random bytes changed (seeded), those of them
// the GIF decoder refuses.
std::vector<std::string> RefusedCorruptions(const std::string& gif, size_t wanted) {
    std::vector<std::string> refused;
    std::mt19937 random(19);
    while (refused.size() < wanted) {
        std::string bytes = gif;
        for (int i = 0; i < 20; ++i)
            bytes[13 + random() % (bytes.size() - 13)] = static_cast<char>(random() & 0xFF);
        try {
            TGIFImage image;
            image.LoadFromMemory(bytes.data(), bytes.size());
            TBitmap bitmap;
            image.AssignTo(bitmap);
        } catch (const std::exception&) {
            refused.push_back(bytes);
        }
    }
    return refused;
}

// 37 bytes: a logical screen and a frame of 65535 x 65535.
std::string HugeGif() {
    return gif_bytes::Bytes()
        .Text("GIF89a").U16(65535).U16(65535).U8(0).U8(0).U8(0)
        .U8(',').U16(0).U16(0).U16(65535).U16(65535).U8(0)
        .U8(2).U8(10).Raw(std::string(10, '\x55')).U8(0).U8(';');
}

// 34 bytes: one pixel, LZW minimum code size 12.
std::string CodeSize12Gif() {
    return gif_bytes::Bytes()
        .Text("GIF89a").U16(1).U16(1).U8(0).U8(0).U8(0)
        .U8(',').U16(0).U16(0).U16(1).U16(1).U8(0)
        .U8(12).U8(7).Raw(std::string(7, '\x01')).U8(0).U8(';');
}

std::vector<std::string> LogLines(const GalleryFolder& g) {
    std::vector<std::string> lines;
    std::string log = Exists(g / "log/pictorama.Log") ? ReadFile(g / "log/pictorama.Log") : "";
    for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(log.substr(start, end - start));
    return lines;
}

}  // namespace

// Each GIF the decoder refuses is a picture that cannot be decoded: an empty
// thumbnail, a cell, the size line, and its message in the log once, while
// the page shows the other pictures, made one at a time or on threads.
TEST(UndecodableGif, GetsAnEmptyThumbnailAndOneLogLineAndThePageGoesOn) {
    TempDir models;
    MakeGif(models / "model.gif", 120, 90);
    std::vector<std::string> bad = RefusedCorruptions(ReadFile(models / "model.gif"), 6);
    ASSERT_EQ(HugeGif().size(), 37u);
    ASSERT_EQ(CodeSize12Gif().size(), 34u);
    bad.push_back(HugeGif());
    bad.push_back(CodeSize12Gif());
    for (const char* threads : {"1", "4"}) {
        SCOPED_TRACE(std::string("threads ") + threads);
        GalleryFolder g;
        MakeJpeg(g / "good.jpg", 800, 600);
        WriteFile(g / "good.idd", "k\r\n");
        for (size_t i = 0; i < bad.size(); ++i) {
            WriteFile(g / std::string("bad").append(std::to_string(i)).append(".gif"), bad[i]);
            WriteFile(g / std::string("bad").append(std::to_string(i)).append(".idd"), "k\r\n");
        }
        for (int view = 0; view < 3; ++view) {
            CgiResponse r = g.Get("", {{"PICTORAMA_THUMBNAIL_THREADS", threads}});
            ASSERT_TRUE(r.head.starts_with("HTTP/1.0 200 OK")) << r.head << r.body;
            EXPECT_NE(r.body.find("t_good.jpg\" width=93 height=70>"), std::string::npos) << r.body;
            EXPECT_NE(r.body.find(std::to_string(bad.size() + 1) + " Images Posted"), std::string::npos);
            for (size_t i = 0; i < bad.size(); ++i)
                EXPECT_NE(r.body.find("t_bad" + std::to_string(i) + ".jpg\" width=0 height=0>"), std::string::npos)
                    << i;
            std::vector<std::string> trace = g.TraceLines();
            EXPECT_EQ(std::count(trace.begin(), trace.end(), "Thumbnail size 70,70"),
                      view == 0 ? static_cast<long>(bad.size()) : 0);
        }
        for (size_t i = 0; i < bad.size(); ++i) {
            std::string name = std::string("bad").append(std::to_string(i)).append(".gif");
            EXPECT_EQ(ReadFile(g / ("t_" + name.substr(0, name.size() - 4) + ".jpg")), "") << name;
        }
        std::vector<std::string> log = LogLines(g);
        ASSERT_EQ(log.size(), bad.size()) << ReadFile(g / "log/pictorama.Log");
        std::string all = ReadFile(g / "log/pictorama.Log");
        EXPECT_NE(all.find("bad6.gif: Bitmap image is too large"), std::string::npos) << all;
        EXPECT_NE(all.find("bad7.gif: Invalid GIF data"), std::string::npos) << all;
    }
}

TEST(Slideshow, EachAddressStepsThroughTheJpegPicturesInNameOrder) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 40, 30);
    MakeJpeg(g / "B.jpg", 40, 30);
    MakeJpeg(g / "c.jpg", 40, 30);
    MakeJpeg(g / "t_a.jpg", 40, 30);
    MakeGif(g / "d.gif", 40, 30);
    auto selected = [&](const std::string& address) {
        CgiResponse r = g.Get("W", {{"REMOTE_ADDR", address}});
        EXPECT_EQ(r.process.exitCode, 0);
        for (const auto& line : g.TraceLines())
            if (line.starts_with("Selected Slide File ")) return line.substr(20);
        return std::string("(none) ") + r.body;
    };
    EXPECT_EQ(selected("10.0.0.1"), "a.jpg");
    EXPECT_EQ(selected("10.0.0.1"), "B.jpg");
    EXPECT_EQ(selected("10.0.0.2"), "a.jpg");
    EXPECT_EQ(selected("10.0.0.1"), "c.jpg");
    EXPECT_EQ(selected("10.0.0.1"), "a.jpg");
    EXPECT_EQ(ReadFile(g / "SlideNext10.0.0.1.txt"), "0\r\n");
    EXPECT_EQ(ReadFile(g / "SlideNext10.0.0.2.txt"), "0\r\n");
    // An IPv6 address becomes a safe file name.
    EXPECT_EQ(selected("::1/../x"), "a.jpg");
    EXPECT_TRUE(Exists(g / "SlideNext::1_.._x.txt"));
}

TEST(Slideshow, PageWithTitleCaptionAndSlide) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 1024, 768);
    WriteFile(g / "a.txt", "  \r\n");
    CgiResponse r = g.Get("W");
    std::string head = "<html><head><meta name=\"Generator\" content=\"Gallerist - Varnholt\">\r\n"
                       "<title>Gallerist by Varnholt</title>\r\n"
                       "</head> <body bgcolor=\"#FFE8C4\" link=\"FF0000\" vlink=\"#FF0000\" text=\"#0000FF\">\r\n";
    std::string expected =
        head +
        "<meta http-equiv=\"Refresh\" content=\"10\"> \r\n"
        "<META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\"> \r\n"
        "<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\"> \r\n"
        "<META HTTP-EQUIV=Expires: Mon, 14 Jul 1789 12:30:00 GMT\"> \r\n"
        "<META HTTP-EQUIV=\"Last-Modified: \" . gmdate(\"D, d M Y H:i:s\") . \" GMT\"> \r\n"
        "<META HTTP-EQUIV=\"Cache-Control: no-store, no-cache, must-revalidate\"> \r\n"
        "<META HTTP-EQUIV=\"Cache-Control: post-check=0, pre-check=0\", false> \r\n"
        " <title>Webnook CAMs</title>\r\n"
        " </head><body  bgcolor=\"ffdfac\" text=\"000000\">\r\n"
        "<center><font size=+1 color=\"red\">\r\n"
        "Web Slide Show<font color=\"black\"> -   \r\n"
        "<br>\r\n<img src=\"t_SLIDEIMAGE.jpg\">\r\n</body>\r\n<HEAD> \r\n"
        "<META HTTP-EQUIV=\"Pragma\" CONTENT=\"no-cache\"> \r\n"
        "<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\"> \r\n</HEAD> \r\n </body></html> \r\n";
    EXPECT_EQ(r.body, expected);
    int w = 0, h = 0;
    ASSERT_TRUE(JpegSize(g / "t_SLIDEIMAGE.JPG", w, h));
    EXPECT_EQ(w, 746);
    EXPECT_EQ(h, 560);
    EXPECT_EQ(ReadFile(g / "t_SLIDEIMAGE.jpg"), ReadFile(g / "t_SLIDEIMAGE.JPG"));
    EXPECT_TRUE(HasLine(g.TraceLines(), "Slide size 560,746"));
}

TEST(Slideshow, SmallPictureKeepsItsSizeAndAnEmptyFolderFails) {
    GalleryFolder g;
    CgiResponse empty = g.Get("W");
    EXPECT_EQ(empty.body, "<html><body>Unhandled Exception: List index out of bounds (0)</body></html>\r\n");
    MakeJpeg(g / "s.jpg", 400, 300);
    WriteFile(g / "pagetitle.txt", "Holiday\r\n");
    CgiResponse r = g.Get("W");
    EXPECT_NE(r.body.find("\r\nHoliday\r\n<br>\r\n"), std::string::npos);
    int w = 0, h = 0;
    ASSERT_TRUE(JpegSize(g / "t_SLIDEIMAGE.jpg", w, h));
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
}

// ---- Slides made once per picture ----

namespace {

bool IsKeptSlide(const std::string& name) { return name.starts_with("t_SLIDEIMAGE.~") && name.size() == 14 + 16; }

std::vector<std::string> KeptSlides(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (IsKeptSlide(entry.path().filename().string())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The slide of a picture as the bitmap routines make it: the picture point
// sampled to 560 rows (never enlarged), encoded at quality 100.
std::string SlideOf(const std::string& path) {
    TBitmap slide;
    LoadJpegPointSampled(
        path,
        [](int fullWidth, int fullHeight, int& w, int& h) {
            double ratio = static_cast<double>(static_cast<long double>(fullWidth) / fullHeight);
            w = fullHeight > 560 ? static_cast<int>(560.0L * ratio) : fullWidth;
            h = std::min(fullHeight, 560);
        },
        slide);
    return EncodeJpeg(slide, 100);
}

std::string SlideSize(const std::vector<std::string>& trace) {
    for (const std::string& line : trace)
        if (line.starts_with("Slide size ")) return line;
    return "(none)";
}

}  // namespace

// A second request for the same picture puts the kept slide in place (the
// very file made by the first); a changed picture gets a new one; the bytes
// are those the bitmap routines give.
TEST(SlideMadeOnce, LaterRequestsPutTheKeptSlideInPlaceUntilThePictureChanges) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 1024, 768);
    ASSERT_EQ(g.Get("W").process.exitCode, 0);
    std::vector<std::string> kept = KeptSlides(g.Path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(SlideSize(g.TraceLines()), "Slide size 560,746");
    EXPECT_EQ(ReadFile(g / "t_SLIDEIMAGE.JPG"), SlideOf(g / "a.jpg"));
    // A second name for the slide made: if it were made again, the slide
    // file would be another file.
    std::filesystem::create_hard_link(g / kept[0], g / "made-first");
    for (int again = 0; again < 2; ++again) {
        ASSERT_EQ(g.Get("W").process.exitCode, 0);
        EXPECT_EQ(SlideSize(g.TraceLines()), "Slide size 560,746");
        EXPECT_TRUE(std::filesystem::equivalent(g / "t_SLIDEIMAGE.JPG", g / "made-first"));
        EXPECT_TRUE(std::filesystem::equivalent(g / "t_SLIDEIMAGE.jpg", g / "made-first"));
    }
    MakeJpeg(g / "a.jpg", 600, 800);
    ASSERT_EQ(g.Get("W").process.exitCode, 0);
    EXPECT_EQ(SlideSize(g.TraceLines()), "Slide size 560,420");
    EXPECT_FALSE(std::filesystem::equivalent(g / "t_SLIDEIMAGE.JPG", g / "made-first"));
    EXPECT_EQ(ReadFile(g / "t_SLIDEIMAGE.JPG"), SlideOf(g / "a.jpg"));
    EXPECT_EQ(KeptSlides(g.Path()).size(), 2u);
}

// A picture whose decoding fails after its header (a progressive picture
// beyond the decoder's memory) keeps its empty slide and the height's width
// in the trace, first and later; the kept slides go to CGI_PRIVATE_DIR when
// it is set.
TEST(SlideMadeOnce, UndecodablePictureKeepsItsEmptySlideInThePrivateFolder) {
    GalleryFolder g;
    TempDir privateFolder;
    WriteFile(g / "huge.jpg", jpeg_bytes::ProgressiveJpeg(24576, 8192, 3, 2));
    for (int request = 0; request < 2; ++request) {
        ASSERT_EQ(g.Get("W", {{"CGI_PRIVATE_DIR", privateFolder.Path()}}).process.exitCode, 0);
        EXPECT_NE(ReadFile(privateFolder / "pictorama.tst").find("\r\nSlide size 560,560\r\n"), std::string::npos);
        EXPECT_TRUE(Exists(g / "t_SLIDEIMAGE.JPG"));
        EXPECT_EQ(ReadFile(g / "t_SLIDEIMAGE.JPG"), "");
    }
    EXPECT_EQ(KeptSlides(privateFolder.Path()).size(), 1u);
    EXPECT_TRUE(KeptSlides(g.Path()).empty());
}

// Requests that want the same new slide at once: one slide kept, the pages
// and the slide whole, nothing left of the making.
TEST(SlideMadeOnce, ConcurrentFirstRequestsKeepOneSlide) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 3000, 2000);
    std::vector<CgiResponse> responses(8);
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&, i] { responses[i] = g.Get("W", {{"REMOTE_ADDR", "10.0.0." + std::to_string(i)}}); });
    for (auto& client : clients) client.join();
    for (const CgiResponse& r : responses) EXPECT_TRUE(r.body.ends_with(" </body></html> \r\n")) << r.body;
    EXPECT_EQ(KeptSlides(g.Path()).size(), 1u);
    EXPECT_EQ(ReadFile(g / "t_SLIDEIMAGE.JPG"), SlideOf(g / "a.jpg"));
    for (const auto& entry : std::filesystem::directory_iterator(g.Path())) {
        std::string name = entry.path().filename().string();
        if (!IsKeptSlide(name)) {
            EXPECT_EQ(name.find(".~"), std::string::npos) << "left behind: " << name;
        }
    }
}

TEST(Concurrency, SimultaneousRequestsLeaveOnlyCompleteFiles) {
    GalleryFolder g;
    for (int i = 0; i < 30; ++i) {
        std::string name = std::string("p").append(std::to_string(i));
        MakeJpeg(g / (name + ".jpg"), 320, 240);
        WriteFile(g / (name + ".idd"), "k\r\n");
    }
    std::vector<std::thread> clients;
    std::vector<CgiResponse> responses(40);
    for (int i = 0; i < 20; ++i) clients.emplace_back([&, i] { responses[i] = g.Get(); });
    for (int i = 0; i < 20; ++i)
        clients.emplace_back([&, i] { responses[20 + i] = g.Get("W", {{"REMOTE_ADDR", std::string("10.0.0.").append(std::to_string(i % 5))}}); });
    for (auto& t : clients) t.join();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(responses[i].process.exitCode, 0) << i;
        EXPECT_TRUE(responses[i].hasBlankLine) << i;
        EXPECT_TRUE(responses[i].body.ends_with(i < 20 ? "</html>\r\n" : " </body></html> \r\n")) << i;
    }
    for (const auto& entry : std::filesystem::directory_iterator(g.Path())) {
        std::string name = entry.path().filename().string();
        if (!IsKeptSlide(name)) {
            EXPECT_EQ(name.find(".~"), std::string::npos) << "temporary file left: " << name;
        }
        if (name.starts_with("t_")) {
            int w = 0, h = 0;
            EXPECT_TRUE(JpegSize(entry.path().string(), w, h)) << name;
            EXPECT_EQ(h, name.starts_with("t_SLIDE") ? 240 : 70) << name;
        }
        if (name.starts_with("SlideNext")) {
            std::string state = ReadFile(entry.path().string());
            EXPECT_TRUE(state.size() >= 3 && state.ends_with("\r\n")) << name;
        }
    }
}

TEST(ThumbnailContent, IsThePicturePointSampledAtPixelCentres) {
    GalleryFolder g;
    WriteWavesWithLibjpeg(g / "big.jpg", 1600, 1200);
    WriteFile(g / "big.idd", "k\r\n");
    g.Get();
    // Both files decoded by the JPEG library alone, not by the program's own
    // reader; each thumbnail pixel should be the source pixel under its centre,
    // within what encoding the thumbnail at quality 75 costs.
    Decoded source = DecodeWithLibjpeg(g / "big.jpg");
    Decoded thumb = DecodeWithLibjpeg(g / "t_big.jpg");
    ASSERT_EQ(source.width, 1600);
    ASSERT_EQ(thumb.width, 93);
    ASSERT_EQ(thumb.height, 70);
    // Sampling a corner of each pixel's area instead of its centre doubles the
    // mean difference; a wrong row, column or channel shows far beyond it.
    int64_t total = 0;
    for (int y = 0; y < thumb.height; ++y) {
        int sy = (2 * y + 1) * source.height / (2 * thumb.height);
        for (int x = 0; x < thumb.width; ++x) {
            int sx = (2 * x + 1) * source.width / (2 * thumb.width);
            for (int c = 0; c < 3; ++c) {
                int d = std::abs(thumb.At(x, y, c) - source.At(sx, sy, c));
                total += d;
                ASSERT_LE(d, 48) << "at " << x << "," << y << " channel " << c;
            }
        }
    }
    EXPECT_LT(static_cast<double>(total) / (thumb.width * thumb.height * 3), 5.0);
}

TEST(ThumbnailClaims, ThumbnailBeingMadeByAnotherRequestIsAwaitedNotMadeAgain) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 800, 600);
    WriteFile(g / "a.idd", "k\r\n");
    WriteFile(g / "t_a.jpg.~claim", "");
    // The other request finishes its thumbnail a little later.
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        MakeJpeg(g / "t_a.jpg.part", 10, 10);
        std::filesystem::rename(g / "t_a.jpg.part", g / "t_a.jpg");
        std::filesystem::remove(g / "t_a.jpg.~claim");
    });
    CgiResponse r = g.Get();
    other.join();
    EXPECT_NE(r.body.find("t_a.jpg\" width=10 height=10>"), std::string::npos) << r.body;
    EXPECT_FALSE(HasLine(g.TraceLines(), "Create Thumbnail file: " + (g / "a.jpg")));
}

TEST(ThumbnailClaims, AbandonedClaimIsTakenOver) {
    GalleryFolder g;
    MakeJpeg(g / "a.jpg", 800, 600);
    WriteFile(g / "a.idd", "k\r\n");
    WriteFile(g / "t_a.jpg.~claim", "");
    auto old = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(120);
    std::filesystem::last_write_time(g / "t_a.jpg.~claim", old);
    CgiResponse r = g.Get();
    EXPECT_NE(r.body.find("t_a.jpg\" width=93 height=70>"), std::string::npos) << r.body;
    EXPECT_FALSE(Exists(g / "t_a.jpg.~claim"));
}

TEST(ThumbnailClaims, ClaimOfARequestThatFailedIsReleased) {
    GalleryFolder g;
    WriteFile(g / "bad.gif", "GIF89a broken");
    WriteFile(g / "bad.idd", "k\r\n");
    g.Get();
    EXPECT_FALSE(Exists(g / "t_bad.jpg.~claim"));
}

// ---- EXIF orientation ----

namespace {

const char* const Convert = "/usr/bin/convert";

// ImageMagick's reading of a file turned upright by its orientation tag.
Decoded UprightWithImageMagick(const std::string& path) {
    auto r = RunProgram(Convert, {path, "-auto-orient", "-depth", "8", "ppm:-"}, {{"PATH", "/usr/bin:/bin"}});
    Decoded out;
    int maxval = 0, consumed = 0;
    if (r.exitCode != 0 ||
        std::sscanf(r.out.c_str(), "P6 %d %d %d%n", &out.width, &out.height, &maxval, &consumed) != 3 || maxval != 255) {
        ADD_FAILURE() << "convert failed on " << path << ": " << r.err;
        return Decoded{};
    }
    std::string rgb = r.out.substr(static_cast<size_t>(consumed) + 1);
    out.rgb.assign(rgb.begin(), rgb.end());
    if (out.rgb.size() != static_cast<size_t>(out.width) * out.height * 3) return Decoded{};
    return out;
}

// The mean difference per channel between a made picture and the point-sampled
// stretch of the upright picture to the made picture's size.
double SampledDifference(const Decoded& made, const Decoded& upright) {
    if (made.width == 0 || made.height == 0 || upright.width == 0) return 1e9;
    double sum = 0;
    for (int y = 0; y < made.height; ++y)
        for (int x = 0; x < made.width; ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(made.At(x, y, c) - upright.At(SampleSource(x, upright.width, made.width),
                                                              SampleSource(y, upright.height, made.height), c));
    return sum / (3.0 * made.width * made.height);
}

}  // namespace

// One 800 x 600 picture stored eight ways: each thumbnail and slide is
// ImageMagick's upright picture point sampled (within the loss of a JPEG
// encoding), and clearly not any of the other seven; sizes, page attributes
// and trace lines follow the upright picture.
TEST(Orientation, EachTagGivesTheUprightThumbnailAndSlide) {
    REQUIRE_TOOL(Exists(Convert), std::string("ImageMagick's convert (") + Convert + ")");
    TempDir dir;
    WriteWavesWithLibjpeg(dir / "stored.jpg", 800, 600);
    const std::string stored = ReadFile(dir / "stored.jpg");
    std::vector<Decoded> uprights(9);
    for (int o = 1; o <= 8; ++o) {
        std::string path = dir / std::string("o").append(std::to_string(o)).append(".jpg");
        WriteFile(path, exif_bytes::WithApp1(stored, exif_bytes::OrientationBlock(o, o == 6)));
        uprights[o] = UprightWithImageMagick(path);
        ASSERT_EQ(uprights[o].width, o >= 5 ? 600 : 800) << o;
    }
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        GalleryFolder g;
        WriteFile(g / "p.jpg", ReadFile(dir / std::string("o").append(std::to_string(o)).append(".jpg")));
        WriteFile(g / "p.idd", "k\r\n");
        CgiResponse page = g.Get();
        std::vector<std::string> trace = g.TraceLines();
        CgiResponse slideshow = g.Get("W");
        std::vector<std::string> slideTrace = g.TraceLines();
        ASSERT_EQ(page.process.exitCode, 0);
        ASSERT_EQ(slideshow.process.exitCode, 0);
        const bool portrait = o >= 5;
        const int thumbWidth = portrait ? 52 : 93, slideWidth = portrait ? 420 : 746;
        EXPECT_NE(page.body.find("t_p.jpg\" width=" + std::to_string(thumbWidth) + " height=70>"), std::string::npos)
            << page.body;
        EXPECT_TRUE(HasLine(trace, "Thumbnail size 70," + std::to_string(thumbWidth)));
        EXPECT_TRUE(HasLine(slideTrace, "Slide size 560," + std::to_string(slideWidth)));
        Decoded thumb = DecodeWithLibjpeg(g / "t_p.jpg");
        Decoded slide = DecodeWithLibjpeg(g / "t_SLIDEIMAGE.jpg");
        EXPECT_EQ(thumb.width, thumbWidth);
        EXPECT_EQ(thumb.height, 70);
        EXPECT_EQ(slide.width, slideWidth);
        EXPECT_EQ(slide.height, 560);
        for (int other = 1; other <= 8; ++other) {
            if ((other >= 5) != portrait) continue;
            double thumbDiff = SampledDifference(thumb, uprights[other]);
            double slideDiff = SampledDifference(slide, uprights[other]);
            if (other == o) {
                EXPECT_LT(thumbDiff, 3.0);
                EXPECT_LT(slideDiff, 3.0);
            } else {
                EXPECT_GT(thumbDiff, 15.0) << "as orientation " << other;
                EXPECT_GT(slideDiff, 15.0) << "as orientation " << other;
            }
        }
    }
}

// Tag 1, no EXIF block and an EXIF block that cannot be read all give the
// same thumbnail, slide, page and trace lines as the picture without it.
TEST(Orientation, UprightTagAndUnreadableBlockChangeNothing) {
    TempDir dir;
    WriteWavesWithLibjpeg(dir / "stored.jpg", 800, 600);
    const std::string stored = ReadFile(dir / "stored.jpg");
    std::string damaged = exif_bytes::OrientationBlock(6);
    damaged[6 + 4] = 0x70;  // IFD0 past the end
    const std::string variants[] = {stored, exif_bytes::WithApp1(stored, exif_bytes::OrientationBlock(1)),
                                    exif_bytes::WithApp1(stored, exif_bytes::OrientationBlock(1, true)),
                                    exif_bytes::WithApp1(stored, damaged)};
    GalleryFolder g;
    WriteFile(g / "p.idd", "k\r\n");
    std::vector<std::string> outputs;
    for (const std::string& picture : variants) {
        for (const char* made : {"t_p.jpg", "t_SLIDEIMAGE.jpg", "t_SLIDEIMAGE.JPG", "pictorama.tst"})
            std::filesystem::remove(g / made);
        for (const auto& entry : std::filesystem::directory_iterator(g.Path()))
            if (entry.path().filename().string().starts_with("SlideNext")) std::filesystem::remove(entry.path());
        WriteFile(g / "p.jpg", picture);
        std::string out = g.Get().body;
        for (const std::string& line : g.TraceLines()) out += line + "\n";
        out += "--\n" + g.Get("W").body;
        for (const std::string& line : g.TraceLines()) out += line + "\n";
        out += "--\n" + ReadFile(g / "t_p.jpg") + "--\n" + ReadFile(g / "t_SLIDEIMAGE.jpg");
        outputs.push_back(out);
    }
    EXPECT_NE(outputs[0].find("width=93 height=70>"), std::string::npos);
    for (size_t i = 1; i < outputs.size(); ++i) EXPECT_TRUE(outputs[i] == outputs[0]) << "variant " << i;
}
