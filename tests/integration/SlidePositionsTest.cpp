// The visitors' slideshow positions stay bounded: old ones are removed and
// their number has a ceiling, through the built program run as CGI.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/SlidePositions.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/CgiHarness.h"
#include "support/Pictures.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

size_t PositionCount(const GalleryFolder& g) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(g.Path())) {
        std::string name = e.path().filename().string();
        if (name.starts_with("SlideNext") && name.ends_with(".txt")) ++n;
    }
    return n;
}

// A position the program made secondsAgo ago.
void PastPosition(const GalleryFolder& g, const std::string& address, double secondsAgo, const std::string& line = "1") {
    std::string path = g / ("SlideNext" + address + ".txt");
    WriteFile(path, line + "\r\n");
    ASSERT_TRUE(platform::SetFileModificationTime(path, platform::NowSeconds() - secondsAgo));
}

std::string Selected(const GalleryFolder& g, const std::string& address) {
    CgiResponse r = g.Get("W", {{"REMOTE_ADDR", address}});
    EXPECT_EQ(r.process.exitCode, 0) << r.body;
    for (const auto& line : g.TraceLines())
        if (line.starts_with("Selected Slide File ")) return line.substr(20);
    return "(none) " + r.body;
}

void ThreePictures(const GalleryFolder& g) {
    MakeJpeg(g / "a.jpg", 8, 8);
    MakeJpeg(g / "b.jpg", 8, 8);
    MakeJpeg(g / "c.jpg", 8, 8);
}

}  // namespace

TEST(SlidePositions, CeilingHoldsAsNewAddressesArriveAndTheLeastRecentlyUsedGo) {
    GalleryFolder g;
    ThreePictures(g);
    // A full folder, all within the hour: 10.1.0.0 used longest ago.
    for (size_t i = 0; i < SlidePositionCeiling; ++i)
        PastPosition(g, "10.1." + std::to_string(i / 200) + "." + std::to_string(i % 200),
                     60.0 + static_cast<double>(SlidePositionCeiling - i));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Selected(g, "192.0.2." + std::to_string(i)), "a.jpg");
    EXPECT_EQ(PositionCount(g), SlidePositionCeiling);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(Exists(g / ("SlideNext10.1.0." + std::to_string(i) + ".txt"))) << i;
        EXPECT_TRUE(Exists(g / ("SlideNext192.0.2." + std::to_string(i) + ".txt"))) << i;
    }
    EXPECT_TRUE(Exists(g / "SlideNext10.1.0.5.txt"));
    // A known visitor's step prunes nothing, and keeps its place.
    EXPECT_EQ(Selected(g, "192.0.2.0"), "b.jpg");
    EXPECT_EQ(PositionCount(g), SlidePositionCeiling);
}

TEST(SlidePositions, OldPositionIsRemovedARecentOneSurvivesAndAPrunedAddressStartsAgain) {
    GalleryFolder g;
    ThreePictures(g);
    EXPECT_EQ(Selected(g, "10.0.0.1"), "a.jpg");
    EXPECT_EQ(Selected(g, "10.0.0.1"), "b.jpg");
    EXPECT_EQ(Selected(g, "10.0.0.2"), "a.jpg");
    ASSERT_TRUE(platform::SetFileModificationTime(g / "SlideNext10.0.0.1.txt",
                                                  platform::NowSeconds() - SlidePositionLifetimeSeconds - 60));
    ASSERT_TRUE(platform::SetFileModificationTime(g / "SlideNext10.0.0.2.txt",
                                                  platform::NowSeconds() - SlidePositionLifetimeSeconds + 600));
    // Files of the site owner that merely share the prefix are never taken.
    MakeJpeg(g / "SlideNext9.jpg", 8, 8);
    PastPosition(g, "9", 2 * SlidePositionLifetimeSeconds, "2004");  // the caption of that picture
    PastPosition(g, "Notes", 2 * SlidePositionLifetimeSeconds, "Notes of the trip");

    EXPECT_EQ(Selected(g, "10.0.0.3"), "a.jpg");
    EXPECT_FALSE(Exists(g / "SlideNext10.0.0.1.txt"));
    EXPECT_TRUE(Exists(g / "SlideNext10.0.0.2.txt"));
    EXPECT_EQ(ReadFile(g / "SlideNext9.txt"), "2004\r\n");
    EXPECT_EQ(ReadFile(g / "SlideNextNotes.txt"), "Notes of the trip\r\n");
    // The visitor who left starts from the first picture again; the other goes on.
    EXPECT_EQ(Selected(g, "10.0.0.1"), "a.jpg");
    EXPECT_EQ(Selected(g, "10.0.0.2"), "b.jpg");
}
