// The formats' own test pictures, fetched from Debian's source packages
// (scripts/format-test-files): libpng's PNG suite and its crashers, libheif's
// fuzzing corpus, libwebp's sample. Each is decoded through our decoders and
// by the format's own tool (ImageMagick for PNG, dwebp, heif-convert), both
// composed over the photo page's background (a PNG's levels first corrected
// from its gAMA to the display's 2.2, by the standard's formula), and
// classified: the same
// picture (whole, and as a thumbnail), or refused by both. The table is
// written to format-test-files/classification.txt in the build folder.
#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FormatPictures.h"
#include "imaging/LibraryFormats.h"
#include "imaging/Picture.h"
#include "imaging/PointSampler.h"
#include "platform/Exception.h"
#include "support/CgiHarness.h"
#include "support/RequiredTools.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using format_pictures::MaxDifference;
using testing_support::RunProgram;

namespace {

const char* const Convert = "/usr/bin/convert";  // ImageMagick's; another convert on PATH may be a stand-in
const char* const Dwebp = "/usr/bin/dwebp";
const char* const HeifConvert = "/usr/bin/heif-convert";
const int Background[3] = {0xFF, 0xE8, 0xC4};
// The formula in floating point against libpng's tables, and 16-bit
// pictures rounded to 8 bits before they are composed in ours.
constexpr int Tolerance = 2;

const std::map<std::string, std::string> ToolEnvironment = {{"PATH", "/usr/bin:/bin"}, {"HOME", "/tmp"}};

// A binary PPM (P6) or PAM (P7: grey, grey and alpha, RGB or RGB and alpha)
// picture of 8 or 16 bits as 24 bits: each colour level v (0..1) raised to
// exponent, alpha composed over the background. Empty when it cannot be read.
TBitmap ReadPortable(const std::string& bytes, double exponent = 1.0) {
    std::istringstream in(bytes);
    std::string magic;
    in >> magic;
    int width = 0, height = 0, maxval = 0, depth = 3;
    if (magic == "P6") {
        in >> width >> height >> maxval;
        in.get();
    } else if (magic == "P7") {
        std::string key;
        while (in >> key && key != "ENDHDR") {
            if (key == "WIDTH") in >> width;
            else if (key == "HEIGHT") in >> height;
            else if (key == "DEPTH") in >> depth;
            else if (key == "MAXVAL") in >> maxval;
            else std::getline(in, key);
        }
        in.get();
    } else {
        return TBitmap();
    }
    if (width <= 0 || height <= 0 || (maxval != 255 && maxval != 65535) || depth < 1 || depth > 4) return TBitmap();
    const size_t sampleBytes = maxval == 255 ? 1 : 2;
    std::vector<uint8_t> raw(static_cast<size_t>(width) * height * depth * sampleBytes);
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (!in) return TBitmap();
    auto sample = [&](size_t i) { return sampleBytes == 1 ? raw[i] / 255.0 : (raw[2 * i] << 8 | raw[2 * i + 1]) / 65535.0; };
    const bool grey = depth <= 2, alpha = depth == 2 || depth == 4;
    TBitmap out;
    out.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = out.MutableScanLine(y);
        for (int x = 0; x < width; ++x) {
            const size_t at = (static_cast<size_t>(y) * width + x) * depth;
            const int a = alpha ? static_cast<int>(sample(at + depth - 1) * 255 + 0.5) : 255;
            for (int i = 0; i < 3; ++i) {
                const int v = static_cast<int>(std::pow(sample(at + (grey ? 0 : i)), exponent) * 255 + 0.5);
                row[3 * x + i] = static_cast<uint8_t>((v * a + Background[i] * (255 - a) + 127) / 255);
            }
        }
    }
    return out;
}

bool Run(const std::string& program, const std::vector<std::string>& args) {
    return RunProgram(program, args, ToolEnvironment, "", 0, 120).exitCode == 0;
}

uint32_t Be32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

// The encoding gamma of a PNG file's gAMA chunk before its pixel data (0.45455
// for the display's own levels), or 0 when it has none.
double FileGamma(const std::string& png) {
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = Be32(png, at);
        const std::string type = png.substr(at + 4, 4);
        if (type == "gAMA" && length == 4 && at + 12 <= png.size()) return Be32(png, at + 8) / 100000.0;
        if (type == "IDAT") break;
        at += 12 + static_cast<size_t>(length);
    }
    return 0;
}

// The picture's samples as ImageMagick reads them (16 bits, no conversion),
// corrected from the file's gamma to the display's 2.2 and composed.
TBitmap Flattened(const std::string& picture) {
    const auto r = RunProgram(Convert, {picture + "[0]", "-depth", "16", "pam:-"}, ToolEnvironment, "", 0, 120);
    if (r.exitCode != 0) return TBitmap();
    const double gamma = FileGamma(testing_support::ReadFile(picture));
    // Corrections too small to matter are not made (libpng's threshold: 5%).
    const double exponent = gamma > 0 && std::abs(gamma * 2.2 - 1) >= 0.05 ? 1 / (gamma * 2.2) : 1.0;
    return ReadPortable(r.out, exponent);
}

struct Reference {
    TBitmap whole;
    TBitmap thumbnail;  // empty when the tool's thumbnail is the whole one point sampled
};

Reference ToolDecode(const std::string& kind, const std::string& path, const std::string& work, int tw, int th) {
    Reference r;
    if (kind == "png") {
        r.whole = Flattened(path);
    } else if (kind == "webp") {
        const std::string out = work + "/reference.pam";
        fs::remove(out);
        if (Run(Dwebp, {path, "-pam", "-o", out})) r.whole = ReadPortable(testing_support::ReadFile(out));
        fs::remove(out);
        if (Run(Dwebp, {path, "-scale", std::to_string(tw), std::to_string(th), "-pam", "-o", out}))
            r.thumbnail = ReadPortable(testing_support::ReadFile(out));
    } else {
        for (const auto& entry : fs::directory_iterator(work))
            if (entry.path().extension() == ".png") fs::remove(entry.path());
        Run(HeifConvert, {path, work + "/reference.png"});
        // Several top-level pictures are written as reference-1.png, ...;
        // the first is the primary one in these files.
        for (const char* name : {"/reference.png", "/reference-1.png"})
            if (fs::exists(work + name)) {
                r.whole = Flattened(work + name);
                break;
            }
    }
    return r;
}

struct Ours {
    TBitmap whole;
    TBitmap thumbnail;
    std::string error;
};

Ours OurDecode(const imaging::PictureFormat& format, const std::string& path, int* tw, int* th) {
    Ours o;
    try {
        auto decoder = format.Open(path);
        imaging::DecodeWhole(*decoder, o.whole);
        *tw = std::max(1, o.whole.Width() / 2);
        *th = std::max(1, o.whole.Height() / 2);
        auto again = format.Open(path);
        imaging::DecodePointSampled(*again, [&](int, int, int& w, int& h) { w = *tw; h = *th; }, o.thumbnail);
    } catch (const Exception& e) {
        o.error = e.what();
        std::replace(o.error.begin(), o.error.end(), '\n', ' ');
    }
    return o;
}

// Whether a HEIF file's primary picture has an embedded preview.
bool HasPreview(const std::string& path) {
    heif_context* context = heif_context_alloc();
    heif_image_handle* primary = nullptr;
    bool has = heif_context_read_from_file(context, path.c_str(), nullptr).code == heif_error_Ok &&
               heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok &&
               heif_image_handle_get_number_of_thumbnails(primary) > 0;
    heif_image_handle_release(primary);
    heif_context_free(context);
    return has;
}

// Fetches the formats' test files into `files` (scripts/format-test-files,
// kept there once fetched) and checks for the tools that draw them: an empty
// string, or what is missing.
std::string FetchTestFiles(const std::string& files) {
    for (const char* tool : {Convert, Dwebp, HeifConvert})
        if (!fs::exists(tool)) return tool;
    const auto fetched = RunProgram("/bin/bash", {std::string(PICTORAMA_SOURCE_DIR) + "/scripts/format-test-files", files},
                                    {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"HOME", "/tmp"}}, "", 0, 900);
    if (fetched.exitCode != 0) return "Debian's source packages (apt-get source): " + fetched.err;
    return "";
}

}  // namespace

TEST(ExternalPictures, EveryTestFileOfTheFormatsDecodesAsItsOwnToolDrawsItOrIsRefusedByBoth) {
    const std::string files = std::string(PICTORAMA_BINARY_DIR) + "/format-test-files";
    const std::string missing = FetchTestFiles(files);
    REQUIRE_TOOL(missing.empty(), missing);
    testing_support::TempDir work;

    const std::map<std::string, const imaging::PictureFormat*> formats = {
        {"png", &imaging::PngFormat()}, {"webp", &imaging::WebpFormat()}, {"heif", &imaging::HeifFormat()}};
    std::ostringstream table;
    table << "| file | format's tool | ours | classification |\n|---|---|---|---|\n";
    std::map<std::string, int> counts;
    int total = 0;
    for (const auto& [kind, format] : formats) {
        std::vector<std::string> paths;
        for (const auto& entry : fs::directory_iterator(files + "/" + kind)) paths.push_back(entry.path().string());
        std::sort(paths.begin(), paths.end());
        EXPECT_FALSE(paths.empty()) << kind;
        for (const std::string& path : paths) {
            ++total;
            const std::string name = fs::path(path).filename().string();
            int tw = 1, th = 1;
            const Ours ours = OurDecode(*format, path, &tw, &th);
            const Reference reference = ToolDecode(kind, path, work.Path(), tw, th);
            std::string tool = reference.whole.Empty()
                                   ? "refused"
                                   : std::to_string(reference.whole.Width()) + "x" + std::to_string(reference.whole.Height());
            std::string mine = ours.error.empty() ? std::to_string(ours.whole.Width()) + "x" +
                                                        std::to_string(ours.whole.Height())
                                                  : "refused (" + ours.error + ")";
            std::string verdict;
            if (!ours.error.empty() && reference.whole.Empty()) {
                verdict = "refused by both";
            } else if (!ours.error.empty()) {
                verdict = "DIFFERS: refused by ours only";
            } else if (reference.whole.Empty()) {
                verdict = "DIFFERS: refused by the tool only";
            } else {
                const int whole = MaxDifference(ours.whole, reference.whole);
                const TBitmap wantThumb =
                    reference.thumbnail.Empty() ? reference.whole.StretchedCopy(tw, th) : reference.thumbnail;
                const int thumb = MaxDifference(ours.thumbnail, wantThumb);
                verdict = whole <= Tolerance && thumb <= Tolerance
                              ? "same picture"
                              : "DIFFERS: whole by " + std::to_string(whole) + ", thumbnail by " + std::to_string(thumb);
                if (whole <= Tolerance && thumb <= Tolerance && std::max(whole, thumb) > 0)
                    verdict += " (within " + std::to_string(std::max(whole, thumb)) + ")";
                // The thumbnail made from the file's own smaller copy of the
                // picture: close to the sampled picture, not the same pixels.
                const double mean = format_pictures::MeanDifference(ours.thumbnail, wantThumb);
                if (kind == "heif" && whole <= Tolerance && thumb > Tolerance && mean < 8.0 && HasPreview(path)) {
                    std::ostringstream m;
                    m.precision(2);
                    m << std::fixed << mean;
                    verdict = "same picture (within " + std::to_string(whole) +
                              "), its thumbnail from the embedded preview (mean difference " + m.str() + ")";
                }
            }
            const bool same = verdict.rfind("same picture", 0) == 0, refused = verdict == "refused by both";
            ++counts[same ? "same picture" : refused ? "refused by both" : "differing"];
            table << "| " << kind << "/" << name << " | " << tool << " | " << mine << " | " << verdict << " |\n";
            EXPECT_EQ(verdict.find("DIFFERS"), std::string::npos) << kind << "/" << name << ": " << verdict;
        }
    }
    table << "\n" << total << " files:";
    for (const auto& [verdict, count] : counts) table << " " << count << " " << verdict << ";";
    table << "\n";
    std::ofstream(files + "/classification.txt") << table.str();
    std::cout << table.str();
}

// The same files through the whole program: a gallery of them all, each
// listed, the photo page made by the built program run as CGI with the
// formats on (under the sanitizers in their build). Each thumbnail is the
// tool's picture fitted to the thumbnail height (JPEG at quality 75 of it),
// or the empty thumbnail where the tool refuses the file: the tool's picture,
// fitted as the gallery fits it and through the same JPEG encoder, differs
// from the thumbnail by less than 3 levels on average. The table is
// written to format-test-files/program-classification.txt.
TEST(ExternalPictures, ThroughTheProgramEachIsThumbnailedAsItsToolDrawsItOrGetsTheEmptyThumbnail) {
    const std::string files = std::string(PICTORAMA_BINARY_DIR) + "/format-test-files";
    const std::string missing = FetchTestFiles(files);
    REQUIRE_TOOL(missing.empty(), missing);
    testing_support::TempDir work;
    testing_support::GalleryFolder gallery;
    std::vector<std::pair<std::string, std::string>> pictures;  // kind, name
    for (const char* kind : {"png", "webp", "heif"}) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(files + "/" + kind)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            fs::copy_file(files + "/" + kind + "/" + name, gallery / name);
            testing_support::WriteFile(gallery / (fs::path(name).stem().string() + ".idd"), "k\r\n");
            pictures.emplace_back(kind, name);
        }
    }
    const auto page = gallery.Get("", {{"PICTORAMA_FORMATS", "all"}});
    ASSERT_EQ(page.process.exitCode, 0) << page.process.err;
    EXPECT_NE(page.body.find("\r\n" + std::to_string(pictures.size()) + " Images Posted\r\n"), std::string::npos);

    std::ostringstream table;
    table << "| file | format's tool | thumbnail through the program | classification |\n|---|---|---|---|\n";
    std::map<std::string, int> counts;
    for (const auto& [kind, name] : pictures) {
        const std::string thumbnail = gallery / ("t_" + fs::path(name).stem().string() + ".jpg");
        const Reference reference = ToolDecode(kind, gallery / name, work.Path(), 1, 1);
        const bool made = fs::exists(thumbnail) && fs::file_size(thumbnail) > 0;
        TBitmap ours;
        if (made) LoadJpegFile(thumbnail, ours);
        std::string tool = reference.whole.Empty() ? "refused"
                                                   : std::to_string(reference.whole.Width()) + "x" +
                                                         std::to_string(reference.whole.Height());
        std::string mine = !fs::exists(thumbnail) ? "none" : made ? std::to_string(ours.Width()) + "x" +
                                                                        std::to_string(ours.Height())
                                                                  : "empty";
        std::string verdict;
        if (reference.whole.Empty()) {
            verdict = made ? "DIFFERS: a thumbnail of a file the tool refuses" : "empty thumbnail, refused by both";
        } else if (!made) {
            verdict = "DIFFERS: no thumbnail of a picture the tool draws";
        } else {
            const int w = reference.whole.Width(), h = reference.whole.Height();
            const bool stretched = 70 < h;
            const int fw = stretched ? static_cast<int>(70.0L * (static_cast<long double>(w) / h)) : w;
            const int fh = stretched ? 70 : h;
            // The tool's picture fitted and through the same encoder: JPEG's
            // losses alike on both sides.
            TBitmap expected;
            // A WebP shrunk is libwebp's scaled decode: dwebp -scale's picture.
            TBitmap fitted = reference.whole.StretchedCopy(fw, fh);
            if (kind == "webp" && stretched) fitted = ToolDecode(kind, gallery / name, work.Path(), fw, fh).thumbnail;
            const std::string encoded = EncodeJpeg(fitted, 75);
            testing_support::WriteFile(work.Path() + "/expected.jpg", encoded);
            if (!encoded.empty()) LoadJpegFile(work.Path() + "/expected.jpg", expected);
            const double mean = format_pictures::MeanDifference(ours, expected);
            std::ostringstream m;
            m.precision(2);
            m << std::fixed << mean;
            verdict = ours.Width() == fw && ours.Height() == fh && mean < 3.0
                          ? "thumbnail as the tool draws it (mean difference " + m.str() + ")"
                          : "DIFFERS: " + mine + " where the fitting gives " + std::to_string(fw) + "x" +
                                std::to_string(fh) + ", mean difference " + m.str();
        }
        ++counts[verdict.rfind("DIFFERS", 0) == 0 ? "differing" : verdict.rfind("thumbnail", 0) == 0 ? "thumbnail as the tool draws it" : "empty thumbnail, refused by both"];
        table << "| " << kind << "/" << name << " | " << tool << " | " << mine << " | " << verdict << " |\n";
        EXPECT_EQ(verdict.find("DIFFERS"), std::string::npos) << kind << "/" << name << ": " << verdict;
    }
    table << "\n" << pictures.size() << " files:";
    for (const auto& [verdict, count] : counts) table << " " << count << " " << verdict << ";";
    table << "\n";
    std::ofstream(files + "/program-classification.txt") << table.str();
    std::cout << table.str();
}
