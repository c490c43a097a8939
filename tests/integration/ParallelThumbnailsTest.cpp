// The photo page's missing thumbnails made on several threads: the page, the
// files and the trace lines are those of making them one at a time, and
// concurrent first views still share the work and leave only whole files.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;

namespace {

std::map<std::string, std::string> Threads(int n) { return {{"PICTORAMA_THUMBNAIL_THREADS", std::to_string(n)}}; }

void Listed(const GalleryFolder& g, const std::string& name, const std::string& key = "k") {
    WriteFile(g / (name.substr(0, name.rfind('.')) + ".idd"), key + "\r\n");
}

// JPEG pictures of several shapes, a GIF, a JPEG and a GIF sharing one
// thumbnail, a file that is no picture, a picture too narrow for a
// thumbnail, and a listing file whose picture is missing.
void MixedFolder(const GalleryFolder& g) {
    for (int i = 0; i < 10; ++i) {
        std::string name = std::string("p").append(std::to_string(i)).append(".jpg");
        MakeJpeg(g / name, 640 + 48 * i, 480 - 8 * i);
        Listed(g, name, i % 3 == 0 ? "2004" : "");
        WriteFile(g / std::string("p").append(std::to_string(i)).append(".txt"), std::string("Picture ").append(std::to_string(i)));
    }
    MakeJpeg(g / "portrait.jpg", 300, 400);
    Listed(g, "portrait.jpg");
    MakeGif(g / "g.gif", 160, 120);
    Listed(g, "g.gif");
    MakeJpeg(g / "x.jpg", 200, 150);
    MakeGif(g / "x.GIF", 90, 60);
    Listed(g, "x.jpg");
    WriteFile(g / "broken.jpg", "this is not a picture");
    Listed(g, "broken.jpg");
    MakeJpeg(g / "narrow.jpg", 1, 100);
    Listed(g, "narrow.jpg");
    Listed(g, "missing.jpg");
}

// Every file of the folder but the trace, by name.
std::map<std::string, std::string> Files(const GalleryFolder& g) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(g.Path())) {
        std::string name = entry.path().filename().string();
        if (name != "pictorama.tst") files[name] = ReadFile(entry.path().string());
    }
    return files;
}

// The trace lines with the folder's own path taken out.
std::vector<std::string> Trace(const GalleryFolder& g) {
    std::vector<std::string> lines = g.TraceLines();
    for (auto& line : lines)
        for (size_t at; (at = line.find(g.Path())) != std::string::npos;) line.replace(at, g.Path().size(), "<dir>");
    return lines;
}

void ExpectOnlyWholeFiles(const GalleryFolder& g) {
    for (const auto& [name, bytes] : Files(g)) {
        EXPECT_EQ(name.find(".~"), std::string::npos) << "left behind: " << name;
        if (name.starts_with("t_") && !bytes.empty()) {
            int w = 0, h = 0;
            EXPECT_TRUE(JpegSize(g / name, w, h)) << name;
            EXPECT_TRUE(bytes.ends_with("\xFF\xD9")) << name << " is cut short";
        }
    }
}

}  // namespace

TEST(ParallelThumbnails, FirstViewGivesTheSequentialPageFilesAndTrace) {
    GalleryFolder one, many;
    for (const GalleryFolder* g : {&one, &many}) {
        MixedFolder(*g);
        WriteFile(*g / "pagetitle.txt", "Trip\r\nTHUMBSIZE:60,85\r\n");
    }
    CgiResponse sequential = one.Get("", Threads(1));
    CgiResponse parallel = many.Get("", Threads(4));
    ASSERT_EQ(sequential.process.exitCode, 0);
    EXPECT_EQ(parallel.process.out, sequential.process.out);
    std::vector<std::string> trace = Trace(one);
    EXPECT_EQ(Trace(many), trace);
    EXPECT_EQ(Files(many), Files(one));
    // The folder held what it should: made, empty and shared thumbnails.
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Thumbnail size 60,60"), trace.end());
    EXPECT_EQ(ReadFile(one / "t_broken.jpg"), "");
    EXPECT_TRUE(Exists(one / "t_x.jpg"));
    EXPECT_FALSE(Exists(one / "t_missing.jpg"));
    ExpectOnlyWholeFiles(many);
    // The second view makes nothing, and again agrees.
    EXPECT_EQ(many.Get("", Threads(4)).process.out, one.Get("", Threads(1)).process.out);
    EXPECT_EQ(Trace(many), Trace(one));
}

// A GIF that cannot be decoded gets its empty thumbnail among the others, as
// one at a time: the same page, files and trace, and one log line for it.
TEST(ParallelThumbnails, UndecodableGifGetsItsEmptyThumbnailAsInOrder) {
    GalleryFolder one, many;
    for (const GalleryFolder* g : {&one, &many}) {
        for (int i = 0; i < 6; ++i) {
            for (const char* letter : {"a", "z"}) {
                std::string name = std::string(letter).append(std::to_string(i)).append(".jpg");
                MakeJpeg(*g / name, 1200, 900);
                Listed(*g, name);
            }
        }
        WriteFile(*g / "m.gif", "not a gif at all");
        Listed(*g, "m.gif");
    }
    for (int view = 0; view < 2; ++view) {
        CgiResponse sequential = one.Get("", Threads(1));
        CgiResponse parallel = many.Get("", Threads(4));
        ASSERT_TRUE(sequential.head.starts_with("HTTP/1.0 200 OK")) << sequential.body;
        EXPECT_NE(sequential.body.find("t_m.jpg\" width=0 height=0>"), std::string::npos) << sequential.body;
        EXPECT_NE(sequential.body.find("13 Images Posted"), std::string::npos);
        EXPECT_EQ(parallel.process.out, sequential.process.out);
        EXPECT_EQ(Trace(many), Trace(one));
    }
    ExpectOnlyWholeFiles(many);
    EXPECT_EQ(Files(many), Files(one));
    EXPECT_EQ(ReadFile(many / "t_m.jpg"), "");
    for (const GalleryFolder* g : {&one, &many}) {
        std::string log = ReadFile(*g / "log/pictorama.Log");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find(std::string(1, platform::NativeSeparator) + "m.gif: Invalid GIF signature\r\n"), std::string::npos)
            << log;
    }
}

// Twenty first views of one cold folder at once, each on three threads: every
// page and thumbnail is the one a lone sequential view gives, and no claim or
// temporary file is left.
TEST(ParallelThumbnails, ConcurrentFirstViewsLeaveOnlyCompleteThumbnails) {
    GalleryFolder reference, shared;
    for (const GalleryFolder* g : {&reference, &shared}) {
        for (int i = 0; i < 24; ++i) {
            std::string name = std::string("c").append(std::to_string(i)).append(".jpg");
            MakeJpeg(*g / name, 1024 + 16 * i, 768);
            Listed(*g, name);
        }
        MakeGif(*g / "g.gif", 300, 200);
        Listed(*g, "g.gif");
    }
    CgiResponse expected = reference.Get("", Threads(1));
    ASSERT_EQ(expected.process.exitCode, 0);
    std::vector<CgiResponse> responses(20);
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i) clients.emplace_back([&, i] { responses[i] = shared.Get("", Threads(3)); });
    for (auto& c : clients) c.join();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(responses[i].process.out, expected.process.out) << "view " << i;
    EXPECT_EQ(Files(shared), Files(reference));
    ExpectOnlyWholeFiles(shared);
}
