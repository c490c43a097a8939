// What a resident process keeps of its folders between requests: kept while
// a folder stays unchanged, forgotten by the next request after any change,
// all of it forgotten when changes were lost, and within its bounds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "app/FolderCache.h"
#include "app/FolderIndex.h"
#include "app/SideFiles.h"
#include "platform/ChangeQueue.h"
#include "support/Pictures.h"
#include "support/TestSupport.h"

using testing_support::MakeJpeg;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

std::string Folder(const TempDir& dir) { return dir.Path() + "/"; }

// prefix + i + suffix
std::string Numbered(const char* prefix, int i, const char* suffix) {
    std::string name = prefix;
    name += std::to_string(i);
    name += suffix;
    return name;
}

// One request's view of the folder: its snapshot (null when not kept).
std::shared_ptr<folder_cache::FolderSnapshot> Request(const std::string& folder) {
    folder_cache::BeginRequest(true);
    folder_index::Reset();
    return folder_cache::Snapshot(folder);
}

// Makes more changes at once than the service queues.
void Flood(const std::string& folder) {
    for (int i = 0; i < 6000; ++i) {
        std::string name = folder + Numbered("f", i, "");
        WriteFile(name, "x");
        std::filesystem::remove(name);
    }
}

}  // namespace

TEST(FolderCache, KeptWhileUnchangedAndForgottenAfterEveryKindOfChange) {
    TempDir dir;
    const std::string folder = Folder(dir);
    WriteFile(dir / "a.txt", "Alpha\r\n");
    WriteFile(dir / "b.idd", "1\r\n");
    std::filesystem::create_directory(dir / "sub");
    auto first = Request(folder);
    ASSERT_TRUE(first) << "a watchable folder is kept";
    EXPECT_EQ(ReadFirstLine(dir / "a.txt"), "Alpha");
    EXPECT_EQ(Request(folder), first) << "nothing changed";
    EXPECT_EQ(ReadFirstLine(dir / "A.TXT"), "Alpha") << "found ignoring case through the kept listing";

    // The trace file every request rewrites does not make the folder new.
    WriteFile(dir / "pictorama.tst", "Start\r\n");
    std::filesystem::remove(dir / "pictorama.tst");
    EXPECT_EQ(Request(folder), first);
    EXPECT_EQ(folder_index::Existing(dir / "pictorama.tst"), "") << "asked of the disk, not the listing";
    WriteFile(dir / "pictorama.tst", "Start\r\n");
    EXPECT_EQ(folder_index::Existing(dir / "pictorama.tst"), dir / "pictorama.tst");

    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"written in place", [&] { WriteFile(dir / "a.txt", "Beta!\r\n"); }},
        {"created", [&] { WriteFile(dir / "c.jpg", "x"); }},
        {"deleted", [&] { std::filesystem::remove(dir / "c.jpg"); }},
        {"renamed in", [&] {
             TempDir other;
             WriteFile(other / "d.txt", "Delta\r\n");
             std::filesystem::rename(other / "d.txt", dir / "d.txt");
         }},
        {"renamed out", [&] { std::filesystem::rename(dir / "d.txt", dir / "sub/d.txt"); }},
        {"attributes", [&] { ::chmod((dir / "b.idd").c_str(), 0600); }},
        {"folder made", [&] { std::filesystem::create_directory(dir / "sub2"); }},
    };
    auto before = first;
    for (const auto& [what, change] : changes) {
        change();
        auto after = Request(folder);
        ASSERT_TRUE(after) << what;
        EXPECT_NE(after, before) << what;
        before = after;
    }
    EXPECT_EQ(ReadFirstLine(dir / "a.txt"), "Beta!");
    EXPECT_EQ(folder_index::Existing(dir / "d.txt"), "");
    EXPECT_EQ(folder_index::FindFiles(dir / "*.idd").size(), 1u);
    folder_cache::BeginRequest(false);
}

TEST(FolderCache, AFolderRemovedAndMadeAgainIsListedAfresh) {
    TempDir dir;
    const std::string folder = dir / "g/";
    std::filesystem::create_directory(folder);
    WriteFile(folder + "a.idd", "1\r\n");
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_index::FindFiles(folder + "*.idd").size(), 1u);
    std::filesystem::rename(folder, dir / "old");
    std::filesystem::create_directory(folder);
    WriteFile(folder + "x.idd", "1\r\n");
    WriteFile(folder + "y.idd", "2\r\n");
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_index::FindFiles(folder + "*.idd").size(), 2u);
    // The moved folder is no longer followed under the old name: changes in
    // it do not concern the new one, and the new one's changes are seen.
    WriteFile(folder + "z.idd", "3\r\n");
    Request(folder);
    EXPECT_EQ(folder_index::FindFiles(folder + "*.idd").size(), 3u);
    folder_cache::BeginRequest(false);
}

TEST(FolderCache, ChangesLostAtOnceForgetEveryFolder) {
    TempDir busy, quiet;
    auto quietBefore = Request(Folder(quiet));
    ASSERT_TRUE(Request(Folder(busy)));
    ASSERT_EQ(Request(Folder(quiet)), quietBefore);
    Flood(Folder(busy));
    EXPECT_NE(Request(Folder(quiet)), quietBefore) << "an untouched folder is forgotten too once changes were lost";
    folder_cache::BeginRequest(false);
}

TEST(ChangeQueue, ReportsLostChangesWhenTheQueueOverflows) {
    TempDir dir;
    platform::ChangeQueue changes;
    ASSERT_TRUE(changes.Active());
    int watch = changes.Watch(dir.Path());
    ASSERT_GE(watch, 0);
    EXPECT_EQ(changes.Watch(dir.Path() + "/."), watch) << "one folder, one watch";
    EXPECT_EQ(changes.Watch(dir / "missing"), -1);
    WriteFile(dir / "one", "1");
    auto first = changes.Take();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.front().kind, platform::ChangeQueue::Change::Entry);
    EXPECT_EQ(first.front().name, "one");
    EXPECT_TRUE(changes.Take().empty()) << "taken once";
    Flood(dir.Path() + "/");
    auto flooded = changes.Take();
    ASSERT_FALSE(flooded.empty());
    EXPECT_EQ(flooded.back().kind, platform::ChangeQueue::Change::Lost);
}

TEST(FolderCache, KeepsAtMostItsFoldersAndNothingWithoutAResidentRequest) {
    std::vector<std::unique_ptr<TempDir>> dirs;
    for (size_t i = 0; i < folder_cache::MaxKeptFolders + 3; ++i) {
        dirs.push_back(std::make_unique<TempDir>());
        ASSERT_TRUE(Request(Folder(*dirs.back())));
    }
    EXPECT_LE(folder_cache::KeptFolderCount(), folder_cache::MaxKeptFolders);
    // The first folders went first; the latest is still kept.
    auto latest = Request(Folder(*dirs.back()));
    EXPECT_EQ(Request(Folder(*dirs.back())), latest);
    folder_cache::BeginRequest(false);
    EXPECT_EQ(folder_cache::Snapshot(Folder(*dirs.back())), nullptr);
    dirs.clear();
    TempDir another;
    Request(Folder(another));  // takes the folders' removal
    EXPECT_LE(folder_cache::KeptBytes(), folder_cache::MaxKeptBytes);
    folder_cache::BeginRequest(false);
}

// Requests on several threads read and fill one folder's snapshot while its
// files change: every line read is one the file held (run under TSan too).
TEST(FolderCache, ConcurrentRequestsReadLinesTheFilesHeld) {
    TempDir dir;
    const std::string folder = Folder(dir);
    for (int i = 0; i < 10; ++i) WriteFile(dir / Numbered("p", i, ".txt"), "old\r\n");
    MakeJpeg(dir / "t_p.jpg", 40, 30);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                Request(folder);
                for (int i = 0; i < 10; ++i) {
                    std::string line = ReadFirstLine(dir / Numbered("p", i, ".txt"));
                    if (line != "old" && line != "new") ++wrong;
                }
                int w = 0, h = 0;
                if (!folder_cache::ReadJpegSizeKept(dir / "t_p.jpg", w, h) || w != 40 || h != 30) ++wrong;
            }
            folder_cache::BeginRequest(false);
        });
    }
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WriteFile(dir / Numbered("q", i, ".tmp"), "new\r\n");
        std::filesystem::rename(dir / Numbered("q", i, ".tmp"), dir / Numbered("p", i, ".txt"));
    }
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    Request(folder);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadFirstLine(dir / Numbered("p", i, ".txt")), "new");
    folder_cache::BeginRequest(false);
}

// Pieces of pages kept with a folder: at most a few, the oldest replaced,
// gone with the snapshot after a change, and their bytes counted meanwhile.
TEST(FolderCache, KeptRenderingsGoWithTheirFolderWithinTheirBound) {
    TempDir dir;
    const std::string folder = Folder(dir);
    WriteFile(dir / "a.txt", "Alpha\r\n");
    auto snapshot = Request(folder);
    ASSERT_TRUE(snapshot);
    size_t bytesBefore = folder_cache::KeptBytes();
    const size_t kept = folder_cache::MaxKeptRenderingsPerFolder;
    for (size_t i = 0; i <= kept; ++i) {
        auto rendering = std::make_shared<folder_cache::KeptRendering>();
        rendering->html = std::string(1000, 'h');
        rendering->traceLines = {Numbered("line ", static_cast<int>(i), "")};
        rendering->number = static_cast<int>(i);
        snapshot->KeepRendering(Numbered("key", static_cast<int>(i), ""), rendering);
    }
    EXPECT_EQ(snapshot->Rendering("key0"), nullptr) << "the oldest made room";
    for (size_t i = 1; i <= kept; ++i) {
        auto rendering = Request(folder)->Rendering(Numbered("key", static_cast<int>(i), ""));
        ASSERT_TRUE(rendering) << i;
        EXPECT_EQ(rendering->number, static_cast<int>(i));
    }
    EXPECT_GE(folder_cache::KeptBytes(), bytesBefore + kept * 1000);
    EXPECT_LT(folder_cache::KeptBytes(), bytesBefore + (kept + 1) * 1000) << "the replaced one's bytes returned";

    WriteFile(dir / "a.txt", "Beta\r\n");
    auto after = Request(folder);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->Rendering(Numbered("key", static_cast<int>(kept), "")), nullptr);
    snapshot.reset();
    EXPECT_LT(folder_cache::KeptBytes(), bytesBefore + 1000);
    folder_cache::BeginRequest(false);
}

// What a use record counts as answered from the one kept folder.
TEST(FolderCache, UseRecordHoldsOnlyForLookupsInItsKeptFolder) {
    TempDir dir, other;
    const std::string folder = Folder(dir);
    WriteFile(dir / "a.txt", "Alpha\r\n");
    WriteFile(other / "b.txt", "Beta\r\n");
    MakeJpeg(dir / "t_a.jpg", 20, 10);
    auto record = [&](const std::function<void()>& lookups) {
        Request(folder);
        folder_cache::UseRecord use(folder);
        lookups();
        return use.OnlyKept();
    };
    int w = 0, h = 0;
    EXPECT_TRUE(record([&] {
        EXPECT_EQ(ReadFirstLine(dir / "a.txt"), "Alpha");
        EXPECT_EQ(folder_index::Existing(dir / "missing.txt"), "");
        EXPECT_EQ(folder_index::FindFiles(dir / "*.txt").size(), 1u);
        EXPECT_TRUE(folder_cache::ReadJpegSizeKept(dir / "t_a.jpg", w, h));
    }));
    EXPECT_FALSE(record([&] { ReadFirstLine(other / "b.txt"); })) << "another folder";
    EXPECT_FALSE(record([&] { folder_index::Existing(dir / "pictorama.tst"); })) << "a name not followed";
    EXPECT_FALSE(record([&] {
        WriteFile(dir / "new.txt", "x");
        folder_index::NoteCreated(dir / "new.txt");
        folder_index::Existing(dir / "a.txt");
    })) << "a folder this request changed";
    folder_cache::BeginRequest(false);
    folder_index::Reset();
    {
        folder_cache::UseRecord use(folder);
        ReadFirstLine(dir / "a.txt");
        EXPECT_FALSE(use.OnlyKept()) << "a request that keeps nothing";
    }
}
