// The slides kept in the private folder stay within their bounds, the least
// recently shown going first, and what a process that died left is removed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "app/KeptSlides.h"
#include "support/TestSupport.h"

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// A file of the given size, last changed the given number of seconds ago.
void Put(const TempDir& dir, const std::string& name, size_t bytes, int secondsAgo) {
    WriteFile(dir / name, std::string(bytes, 'x'));
    std::filesystem::last_write_time(dir / name,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

std::set<std::string> Names(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        names.insert(entry.path().filename().string());
    return names;
}

std::string Kept(char digit) { return std::string(KeptSlidePrefix) + std::string(16, digit); }

}  // namespace

TEST(KeptSlides, LeastRecentlyShownGoFirstAndTheNewestAlwaysStays) {
    TempDir dir;
    for (char d : {'1', '2', '3', '4', '5'}) Put(dir, Kept(d), 100, 10 * (d - '0'));  // 1 shown last
    // The one just made stays whatever its time says.
    Put(dir, Kept('a'), 100, 1000);
    MakeRoomForKeptSlides(dir / "", dir / Kept('a'), 3, 1 << 20);
    EXPECT_EQ(Names(dir), (std::set<std::string>{Kept('a'), Kept('1'), Kept('2')}));
    // The byte bound: 250 bytes hold the newest and one more.
    MakeRoomForKeptSlides(dir / "", dir / Kept('a'), 10, 250);
    EXPECT_EQ(Names(dir), (std::set<std::string>{Kept('a'), Kept('1')}));
    // A slide larger than the bound alone is kept when it is the newest.
    Put(dir, Kept('b'), 400, 0);
    MakeRoomForKeptSlides(dir / "", dir / Kept('b'), 10, 250);
    EXPECT_EQ(Names(dir), (std::set<std::string>{Kept('b')}));
}

TEST(KeptSlides, LeftoversOfDeadProcessesGoAndOtherFilesStay) {
    TempDir dir;
    const std::string kept = Kept('c');
    Put(dir, kept, 10, 0);
    Put(dir, kept + ".~4242.1", 10, 2 * 3600);           // a temporary file of a process that died
    Put(dir, kept + ".~claim", 0, 2 * 3600);             // its claim
    Put(dir, Kept('d') + ".~4243.1", 10, 5);             // being written now
    Put(dir, "t_SLIDEIMAGE.JPG", 10, 2 * 3600);          // the slide file itself
    Put(dir, "picture.jpg", 10, 2 * 3600);
    Put(dir, std::string(KeptSlidePrefix) + "0123", 10, 2 * 3600);  // no kept slide's name: a leftover too
    MakeRoomForKeptSlides(dir / "", dir / kept, 1, 1 << 20);
    EXPECT_EQ(Names(dir), (std::set<std::string>{kept, Kept('d') + ".~4243.1", "t_SLIDEIMAGE.JPG", "picture.jpg"}));
}
