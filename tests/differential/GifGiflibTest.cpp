// Our GIF reader against an independent decoder (giflib) on real files: the
// GIF icons Debian's apache2 package installs, when present, and files made
// here by giflib's own writer and by ImageMagick. The first frame's palette
// indices and colours must be the same, and so must the bitmap's colours.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "imaging/Bitmap.h"
#include "imaging/Gif.h"
#include "support/RequiredTools.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

const char* const kApacheIcons = "/usr/share/apache2/icons";
const char* const kImageMagick = "/usr/bin/convert";

struct GiflibPicture {
    explicit GiflibPicture(const std::string& path) {
        int error = 0;
        gif = DGifOpenFileName(path.c_str(), &error);
        if (gif && DGifSlurp(gif) != GIF_OK) {
            DGifCloseFile(gif, &error);
            gif = nullptr;
        }
    }
    ~GiflibPicture() {
        int error = 0;
        if (gif) DGifCloseFile(gif, &error);
    }
    GifFileType* gif = nullptr;
};

TGIFColorMap ColorsOf(const ColorMapObject* map) {
    TGIFColorMap colors;
    if (map)
        for (int i = 0; i < map->ColorCount; ++i)
            colors.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    return colors;
}

// Compares one file; false when giflib itself cannot read it (not counted).
bool CompareWithGiflib(const std::string& path) {
    SCOPED_TRACE(path);
    GiflibPicture reference(path);
    if (!reference.gif || reference.gif->ImageCount < 1) return false;
    const GifFileType& g = *reference.gif;
    const SavedImage& first = g.SavedImages[0];
    const GifImageDesc& desc = first.ImageDesc;

    TGIFImage ours;
    ours.LoadFromFile(path);
    EXPECT_EQ(ours.Width(), g.SWidth);
    EXPECT_EQ(ours.Height(), g.SHeight);
    int withImage = 0;
    for (const TGIFSubImage& frame : ours.Frames()) withImage += frame.HasDescriptor;
    EXPECT_EQ(withImage, g.ImageCount);

    const TGIFSubImage& frame = ours.Frames().at(0);
    EXPECT_EQ(frame.Left(), desc.Left);
    EXPECT_EQ(frame.Top(), desc.Top);
    EXPECT_EQ(frame.Width(), desc.Width);
    EXPECT_EQ(frame.Height(), desc.Height);
    EXPECT_EQ(frame.Interlaced(), desc.Interlace);

    const TGIFColorMap giflibColors = ColorsOf(desc.ColorMap ? desc.ColorMap : g.SColorMap);
    EXPECT_EQ(ours.ActiveColorMap(frame), giflibColors);
    const size_t pixels = static_cast<size_t>(desc.Width) * desc.Height;
    EXPECT_TRUE(frame.HasPixels());
    if (!frame.HasPixels()) return true;
    EXPECT_TRUE(pixels == 0 || std::equal(first.RasterBits, first.RasterBits + pixels, frame.Pixels()))
        << "palette indices differ";

    GraphicsControlBlock control;
    if (DGifSavedExtensionToGCB(reference.gif, 0, &control) == GIF_OK && control.TransparentColor != NO_TRANSPARENT_COLOR) {
        EXPECT_TRUE(frame.Transparent);
        EXPECT_EQ(frame.TransparentColorIndex, control.TransparentColor);
    } else {
        EXPECT_FALSE(frame.Transparent);
    }

    // The bitmap shows giflib's colour for each pixel of the frame on the
    // screen. A smaller frame with its own table is drawn in nearest colours
    // of the screen's palette, which giflib has no counterpart for.
    TBitmap bitmap;
    AssignGifToBitmap(ours, bitmap);
    EXPECT_EQ(bitmap.Width(), g.SWidth);
    EXPECT_EQ(bitmap.Height(), g.SHeight);
    const bool covers = desc.Width == g.SWidth && desc.Height == g.SHeight;
    if (covers || !desc.ColorMap) {
        int mismatches = 0;
        for (int y = 0; y < desc.Height; ++y)
            for (int x = 0; x < desc.Width; ++x) {
                int sx = desc.Left + x, sy = desc.Top + y;
                if (sx >= g.SWidth || sy >= g.SHeight) continue;
                uint8_t index = first.RasterBits[static_cast<size_t>(y) * desc.Width + x];
                TColor expected = index < giflibColors.size()
                                      ? RGBColor(giflibColors[index].Red, giflibColors[index].Green,
                                                 giflibColors[index].Blue)
                                      : 0;
                mismatches += bitmap.Pixel(sx, sy) != expected;
            }
        EXPECT_EQ(mismatches, 0) << "bitmap colours differ";
    }
    return true;
}

// Writes GIF files through giflib's own encoder.
class GiflibWriter {
public:
    GiflibWriter(const std::string& path, int width, int height, const TGIFColorMap& global) {
        int error = 0;
        gif_ = EGifOpenFileName(path.c_str(), false, &error);
        EXPECT_NE(gif_, nullptr);
        EGifSetGifVersion(gif_, true);
        ColorMapObject* map = global.empty() ? nullptr : MakeMap(global);
        EXPECT_EQ(EGifPutScreenDesc(gif_, width, height, 8, 0, map), GIF_OK);
        GifFreeMapObject(map);
    }
    ~GiflibWriter() {
        int error = 0;
        EGifCloseFile(gif_, &error);
    }
    void Loop() {
        EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif_, 11, "NETSCAPE2.0");
        const unsigned char loop[3] = {1, 0, 0};
        EGifPutExtensionBlock(gif_, 3, loop);
        EGifPutExtensionTrailer(gif_);
    }
    void Transparent(int index) {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        control.DelayTime = 5;
        control.TransparentColor = index;
        GifByteType bytes[4];
        size_t n = EGifGCBToExtension(&control, bytes);
        EXPECT_EQ(EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), bytes), GIF_OK);
    }
    // rows: the frame in screen order; interlaced frames are sent in pass order.
    void Frame(int left, int top, int width, int height, const std::vector<uint8_t>& rows, bool interlace,
               const TGIFColorMap& local = {}) {
        ColorMapObject* map = local.empty() ? nullptr : MakeMap(local);
        EXPECT_EQ(EGifPutImageDesc(gif_, left, top, width, height, interlace, map), GIF_OK);
        GifFreeMapObject(map);
        std::vector<int> order;
        if (interlace) {
            for (int y = 0; y < height; y += 8) order.push_back(y);
            for (int y = 4; y < height; y += 8) order.push_back(y);
            for (int y = 2; y < height; y += 4) order.push_back(y);
            for (int y = 1; y < height; y += 2) order.push_back(y);
        } else {
            for (int y = 0; y < height; ++y) order.push_back(y);
        }
        for (int y : order) {
            std::vector<GifPixelType> line(rows.begin() + static_cast<ptrdiff_t>(y) * width,
                                           rows.begin() + static_cast<ptrdiff_t>(y + 1) * width);
            EXPECT_EQ(EGifPutLine(gif_, line.data(), width), GIF_OK);
        }
    }

private:
    static ColorMapObject* MakeMap(const TGIFColorMap& colors) {
        std::vector<GifColorType> entries;
        for (const TGIFColor& c : colors) entries.push_back({c.Red, c.Green, c.Blue});
        return GifMakeMapObject(static_cast<int>(entries.size()), entries.data());
    }
    GifFileType* gif_ = nullptr;
};

TGIFColorMap SomeColors(int count, int seed) {
    TGIFColorMap colors;
    for (int i = 0; i < count; ++i)
        colors.push_back({static_cast<uint8_t>(i * 37 + seed), static_cast<uint8_t>(255 - i * 3),
                          static_cast<uint8_t>(i * 11 + seed * 7)});
    return colors;
}

// Smooth shapes with noise: long and short table strings both occur.
std::vector<uint8_t> SomePixels(int width, int height, int colours, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int v = ((x / 7 + y / 5) * 5 + (random() % 3 == 0 ? static_cast<int>(random() % 4) : 0)) % colours;
            pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(v);
        }
    return pixels;
}

bool Executable(const char* path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) &&
           (fs::status(path, ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

}  // namespace

TEST(GifAgainstGiflib, ApacheIconsDecodeAlike) {
    std::error_code ec;
    REQUIRE_TOOL(fs::is_directory(kApacheIcons, ec), std::string("Apache's icons (") + kApacheIcons + ")");
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kApacheIcons, ec))
        if (entry.path().extension() == ".gif") compared += CompareWithGiflib(entry.path().string());
    EXPECT_GT(compared, 50);
}

TEST(GifAgainstGiflib, FilesWrittenByGiflibDecodeAlike) {
    testing_support::TempDir dir;
    std::vector<std::string> files;
    {
        files.push_back(dir / "interlaced.gif");
        GiflibWriter w(files.back(), 123, 77, SomeColors(64, 1));
        w.Frame(0, 0, 123, 77, SomePixels(123, 77, 64, 1), true);
    }
    {
        files.push_back(dir / "transparent.gif");
        GiflibWriter w(files.back(), 50, 41, SomeColors(16, 2));
        w.Transparent(3);
        w.Frame(0, 0, 50, 41, SomePixels(50, 41, 16, 2), false);
    }
    {
        files.push_back(dir / "animated-smaller-first.gif");
        GiflibWriter w(files.back(), 80, 60, SomeColors(32, 3));
        w.Loop();
        w.Transparent(0);
        w.Frame(10, 7, 31, 23, SomePixels(31, 23, 32, 3), false);
        w.Frame(0, 0, 80, 60, SomePixels(80, 60, 32, 4), false);
    }
    {
        files.push_back(dir / "local-palette.gif");
        GiflibWriter w(files.back(), 64, 48, SomeColors(4, 5));
        w.Frame(0, 0, 64, 48, SomePixels(64, 48, 128, 5), false, SomeColors(128, 9));
    }
    {
        files.push_back(dir / "local-palette-interlaced-no-global.gif");
        GiflibWriter w(files.back(), 40, 30, {});
        w.Frame(0, 0, 40, 30, SomePixels(40, 30, 8, 6), true, SomeColors(8, 4));
    }
    {
        files.push_back(dir / "two-colours.gif");
        GiflibWriter w(files.back(), 33, 9, SomeColors(2, 6));
        w.Frame(0, 0, 33, 9, SomePixels(33, 9, 2, 7), false);
    }
    {
        files.push_back(dir / "large-256.gif");
        GiflibWriter w(files.back(), 640, 480, SomeColors(256, 8));
        w.Frame(0, 0, 640, 480, SomePixels(640, 480, 256, 8), false);
    }
    for (const std::string& file : files) EXPECT_TRUE(CompareWithGiflib(file)) << "giflib cannot read " << file;
}

TEST(GifAgainstGiflib, FilesWrittenByImageMagickDecodeAlike) {
    REQUIRE_TOOL(Executable(kImageMagick), std::string("ImageMagick's convert (") + kImageMagick + ")");
    testing_support::TempDir dir;
    const std::vector<std::pair<std::string, std::vector<std::string>>> pictures = {
        {"photo.gif", {"-seed", "5", "-size", "320x240", "plasma:fractal", "-colors", "256"}},
        {"interlaced.gif", {"-seed", "6", "-size", "97x61", "plasma:fractal", "-colors", "64", "-interlace", "GIF"}},
        {"transparent.gif", {"-size", "40x30", "xc:none", "-fill", "red", "-draw", "circle 20,15 20,3"}},
        {"animated-smaller-first.gif",
         {"-delay", "10", "-loop", "0", "(", "-seed", "4", "-size", "20x10", "plasma:fractal", "-set", "page",
          "50x40+5+7", ")", "(", "-size", "50x40", "xc:blue", "-set", "page", "50x40+0+0", ")", "-colors", "32"}},
    };
    // One run makes them all: starting ImageMagick costs more than the pictures.
    std::vector<std::string> command;
    for (const auto& [name, args] : pictures) {
        command.push_back("(");
        command.insert(command.end(), args.begin(), args.end());
        command.insert(command.end(), {"-write", dir / name, "-delete", "0--1", ")"});
    }
    command.insert(command.end(), {"xc:none", "null:"});  // something left to write nowhere
    testing_support::ProcessResult made =
        testing_support::RunProgram(kImageMagick, command, {{"PATH", "/usr/bin:/bin"}, {"HOME", dir.Path()}});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    int compared = 0;
    for (const auto& picture : pictures) compared += CompareWithGiflib(dir / picture.first);
    EXPECT_EQ(compared, static_cast<int>(pictures.size()));
}
