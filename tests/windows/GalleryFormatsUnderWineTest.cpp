// The Windows program with PICTORAMA_FORMATS=all, run under Wine as a web
// server runs it: the pictures Debian's tools made on the build machine
// (make-reference-pictures.sh) are listed and get thumbnails of their upright
// size whose pixels are what those tools decode, composed over the photo
// page's background and encoded alike, as the Linux program makes them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "imaging/Jpeg.h"
#include "imaging/Picture.h"
#include "support/CgiHarness.h"

using namespace testing_support;

namespace {

const std::string References = PICTORAMA_REFERENCE_PICTURES;
const int Background[3] = {0xFF, 0xE8, 0xC4};

// A reference's rows (64 x 48 RGBA, 8 or 16 bits a sample) composed over the
// background, as 24 bits.
TBitmap Composed(const std::string& path, bool sixteen) {
    const std::string raw = ReadFile(path);
    const int width = 64, height = 48, bytes = sixteen ? 2 : 1;
    TBitmap out;
    out.SetSize(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto sample = [&](int i) {
                const size_t at = ((static_cast<size_t>(y) * width + x) * 4 + i) * bytes;
                return sixteen ? (static_cast<uint8_t>(raw[at]) << 8 | static_cast<uint8_t>(raw[at + 1])) / 257.0
                               : static_cast<uint8_t>(raw[at]) * 1.0;
            };
            const double a = sample(3) / 255.0;
            uint8_t* p = out.MutableScanLine(y) + 3 * x;
            for (int i = 0; i < 3; ++i) p[i] = static_cast<uint8_t>(std::lround(sample(i) * a + Background[i] * (1 - a)));
        }
    return out;
}

double MeanDifference(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return 256;
    double sum = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width() * 3; ++x) sum += std::abs(a.ScanLine(y)[x] - b.ScanLine(y)[x]);
    return sum / (a.Width() * a.Height() * 3.0);
}

}  // namespace

TEST(GalleryFormatsUnderWine, EveryFormatIsThumbnailedAsDebiansToolsDecodeIt) {
    struct Case {
        const char* name;
        const char* reference;
        bool sixteen;
    };
    const Case cases[] = {
        {"rgba.png", "rgba.png.rgba", false},        {"palette.png", "palette.png.rgba", false},
        {"lossless.webp", "lossless.webp.rgba", false}, {"lossy.webp", "lossy.webp.rgba", false},
        {"picture.heic", "picture.heic.rgba", false}, {"picture10.heic", "picture10.heic.rgba16", true},
        {"picture.avif", "picture.avif.rgba", false}, {"picture12.avif", "picture12.avif.rgba16", true},
    };
    GalleryFolder g;
    for (const Case& c : cases) {
        const std::string name = c.name;
        WriteFile(g / name, ReadFile(References + "/" + name));
        WriteFile(g / (name.substr(0, name.find('.')) + ".idd"), "k\r\n");
    }
    const CgiResponse page = g.Get("", {{"PICTORAMA_FORMATS", "all"}});
    ASSERT_EQ(page.process.exitCode, 0);
    EXPECT_NE(page.body.find("8 Images Posted"), std::string::npos);
    for (const Case& c : cases) {
        const std::string name = c.name;
        const std::string thumbnail = g / ("t_" + name.substr(0, name.find('.')) + ".jpg");
        TBitmap made;
        LoadJpegFile(thumbnail, made);
        // 48 rows, below the thumbnail height: the picture at its own size.
        EXPECT_EQ(made.Width(), 64) << name;
        EXPECT_EQ(made.Height(), 48) << name;
        // The tool's pixels through the same encoder: JPEG's losses alike.
        const std::string expected = g / "expected.jpg";
        WriteFile(expected, EncodeJpeg(Composed(References + "/" + c.reference, c.sixteen), 75));
        TBitmap reference;
        LoadJpegFile(expected, reference);
        EXPECT_LT(MeanDifference(made, reference), 3.0) << name;
    }
}

TEST(GalleryFormatsUnderWine, AWebpTurnedByItsExifOrientationIsThumbnailedUpright) {
    GalleryFolder g;
    WriteFile(g / "exif.webp", ReadFile(References + "/exif.webp"));
    WriteFile(g / "exif.idd", "k\r\n");
    const CgiResponse page = g.Get("", {{"PICTORAMA_FORMATS", "all"}});
    ASSERT_EQ(page.process.exitCode, 0);
    int w = 0, h = 0;
    ASSERT_TRUE(ReadJpegSize(g / "t_exif.jpg", w, h));
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 64);
    // Browsers show it as stored: its link leads to the upright JPEG made of it.
    EXPECT_NE(page.body.find("t_exif.webp.jpeg\"><img"), std::string::npos) << page.body;
    ASSERT_TRUE(ReadJpegSize(g / "t_exif.webp.jpeg", w, h));
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 64);
}
