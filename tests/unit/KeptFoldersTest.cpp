// What a resident process keeps of its folders between requests: kept while
// a folder stays unchanged, forgotten by the next request after any change,
// all of it forgotten when changes were lost, and within its bounds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "app/FolderView.h"
#include "app/GalleryRequest.h"
#include "app/KeptFolders.h"
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

// A request bound to the calling thread, as the dispatcher makes one.
struct TestRequest {
    GalleryRequest request;
    GalleryRequest::Binding binding{request};
    explicit TestRequest(bool resident) : request(resident) {}
};
// The calling thread's request: one at a time, each ending the one before.
thread_local std::unique_ptr<TestRequest> t_request;

FolderView& Begin(bool resident) {
    t_request.reset();
    t_request = std::make_unique<TestRequest>(resident);
    return t_request->request.Folders();
}
void End() { t_request.reset(); }

// A resident process's next request's view of the folder: its snapshot (null
// when not kept).
std::shared_ptr<kept_folders::FolderSnapshot> Request(const std::string& folder) {
    return Begin(true).Kept(folder);
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

TEST(KeptFolders, KeptWhileUnchangedAndForgottenAfterEveryKindOfChange) {
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
    EXPECT_EQ(folder_view::Existing(dir / "pictorama.tst"), "") << "asked of the disk, not the listing";
    WriteFile(dir / "pictorama.tst", "Start\r\n");
    EXPECT_EQ(folder_view::Existing(dir / "pictorama.tst"), dir / "pictorama.tst");

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
    EXPECT_EQ(folder_view::Existing(dir / "d.txt"), "");
    EXPECT_EQ(folder_view::FindFiles(dir / "*.idd").size(), 1u);
    End();
}

TEST(KeptFolders, AFolderRemovedAndMadeAgainIsListedAfresh) {
    TempDir dir;
    const std::string folder = dir / "g/";
    std::filesystem::create_directory(folder);
    WriteFile(folder + "a.idd", "1\r\n");
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_view::FindFiles(folder + "*.idd").size(), 1u);
    std::filesystem::rename(folder, dir / "old");
    std::filesystem::create_directory(folder);
    WriteFile(folder + "x.idd", "1\r\n");
    WriteFile(folder + "y.idd", "2\r\n");
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_view::FindFiles(folder + "*.idd").size(), 2u);
    // The moved folder is no longer followed under the old name: changes in
    // it do not concern the new one, and the new one's changes are seen.
    WriteFile(folder + "z.idd", "3\r\n");
    Request(folder);
    EXPECT_EQ(folder_view::FindFiles(folder + "*.idd").size(), 3u);
    End();
}

TEST(KeptFolders, ChangesLostAtOnceForgetEveryFolder) {
    TempDir busy, quiet;
    auto quietBefore = Request(Folder(quiet));
    ASSERT_TRUE(Request(Folder(busy)));
    ASSERT_EQ(Request(Folder(quiet)), quietBefore);
    Flood(Folder(busy));
    EXPECT_NE(Request(Folder(quiet)), quietBefore) << "an untouched folder is forgotten too once changes were lost";
    End();
}

// Changes lost (the queue overflowed) while a kept folder was removed and
// made again: every folder goes with every watch, so the new folder is
// listed afresh and its own changes are seen from then on.
TEST(KeptFolders, LostChangesDropEveryFolderAndItsWatch) {
    TempDir dir, quiet;
    const std::string folder = dir / "g/";
    std::filesystem::create_directory(folder);
    WriteFile(folder + "a.idd", "1\r\n");
    auto quietBefore = Request(Folder(quiet));
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_view::FindFiles(folder + "*.idd").size(), 1u);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    WriteFile(folder + "x.idd", "1\r\n");
    WriteFile(folder + "y.idd", "2\r\n");
    kept_folders::LoseChangesForTests();  // the removal's reports go with the rest
    ASSERT_TRUE(Request(folder));
    EXPECT_EQ(folder_view::FindFiles(folder + "*.idd").size(), 2u);
    EXPECT_NE(Request(Folder(quiet)), quietBefore) << "an untouched folder goes too";
    for (const char* name : {"z.idd", "w.idd"}) {
        WriteFile(folder + name, "3\r\n");
        Request(folder);
        EXPECT_EQ(folder_view::Existing(folder + name), folder + name) << "a change in the new folder";
    }
    End();
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

TEST(KeptFolders, KeepsAtMostItsFoldersAndNothingWithoutAResidentRequest) {
    std::vector<std::unique_ptr<TempDir>> dirs;
    for (size_t i = 0; i < kept_folders::MaxKeptFolders + 3; ++i) {
        dirs.push_back(std::make_unique<TempDir>());
        ASSERT_TRUE(Request(Folder(*dirs.back())));
    }
    EXPECT_LE(kept_folders::KeptFolderCount(), kept_folders::MaxKeptFolders);
    // The first folders went first; the latest is still kept.
    auto latest = Request(Folder(*dirs.back()));
    EXPECT_EQ(Request(Folder(*dirs.back())), latest);
    EXPECT_EQ(Begin(false).Kept(Folder(*dirs.back())), nullptr);
    dirs.clear();
    TempDir another;
    Request(Folder(another));  // takes the folders' removal
    EXPECT_LE(kept_folders::KeptBytes(), kept_folders::MaxKeptBytes);
    End();
}

// Over the memory budget, the folders used longest ago go, only as many as
// make room, and never one a request is using; a thread that served requests
// and waits for its next holds nothing.
TEST(KeptFolders, OverTheBudgetOnlyWhatMakesRoomGoes) {
    std::vector<std::unique_ptr<TempDir>> dirs;
    for (int i = 0; i < 7; ++i) {
        dirs.push_back(std::make_unique<TempDir>());
        WriteFile(*dirs.back() / "a.txt", "Alpha\r\n");
    }
    auto folder = [&](int i) { return Folder(*dirs[static_cast<size_t>(i)]); };
    // A fifth of the budget and a little less, so that five fill it.
    const size_t pieceBytes = kept_folders::MaxKeptBytes / 5 - 64 * 1024;
    auto keepPiece = [&](const std::shared_ptr<kept_folders::FolderSnapshot>& snapshot) {
        auto piece = std::make_shared<kept_folders::KeptRendering>();
        piece->html.assign(pieceBytes, 'h');
        snapshot->KeepRendering("piece", piece);
    };
    auto hasPiece = [&](int i) { return Request(folder(i))->Rendering("piece") != nullptr; };
    // Folders 0 to 4 filled by requests on a thread that then waits.
    std::promise<void> done;
    std::promise<void> filled;
    std::thread server([&] {
        for (int i = 0; i < 5; ++i) keepPiece(Request(folder(i)));
        End();
        filled.set_value();
        done.get_future().wait();
    });
    filled.get_future().wait();
    ASSERT_EQ(kept_folders::KeptFolderCount(), 5u);
    keepPiece(Request(folder(5)));
    EXPECT_NE(Request(folder(5))->Rendering("piece"), nullptr) << "room made for it";
    EXPECT_EQ(kept_folders::KeptFolderCount(), 5u) << "one folder went, no more";
    {
        // A request in flight uses folder 1, now the one used longest ago.
        GalleryRequest inFlight(true);
        auto used = inFlight.Folders().Kept(folder(1));
        keepPiece(Request(folder(6)));
        EXPECT_NE(Request(folder(6))->Rendering("piece"), nullptr);
        EXPECT_EQ(inFlight.Folders().Kept(folder(1)), used);
    }
    for (int i : {1, 3, 4, 5, 6}) EXPECT_TRUE(hasPiece(i)) << i;
    for (int i : {0, 2}) EXPECT_FALSE(hasPiece(i)) << i << " went";
    End();
    done.set_value();
    server.join();
}

// Requests on several threads read and fill one folder's snapshot while its
// files change: every line read is one the file held (run under TSan too).
TEST(KeptFolders, ConcurrentRequestsReadLinesTheFilesHeld) {
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
                if (!folder_view::JpegSize(dir / "t_p.jpg", w, h) || w != 40 || h != 30) ++wrong;
            }
            End();
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
    End();
}

// Pieces of pages kept with a folder: at most a few, the oldest replaced,
// gone with the snapshot after a change, and their bytes counted meanwhile.
TEST(KeptFolders, KeptRenderingsGoWithTheirFolderWithinTheirBound) {
    TempDir dir;
    const std::string folder = Folder(dir);
    WriteFile(dir / "a.txt", "Alpha\r\n");
    auto snapshot = Request(folder);
    ASSERT_TRUE(snapshot);
    size_t bytesBefore = kept_folders::KeptBytes();
    const size_t kept = kept_folders::MaxKeptRenderingsPerFolder;
    for (size_t i = 0; i <= kept; ++i) {
        auto rendering = std::make_shared<kept_folders::KeptRendering>();
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
    EXPECT_GE(kept_folders::KeptBytes(), bytesBefore + kept * 1000);
    EXPECT_LT(kept_folders::KeptBytes(), bytesBefore + (kept + 1) * 1000) << "the replaced one's bytes returned";

    WriteFile(dir / "a.txt", "Beta\r\n");
    auto after = Request(folder);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->Rendering(Numbered("key", static_cast<int>(kept), "")), nullptr);
    snapshot.reset();
    EXPECT_LT(kept_folders::KeptBytes(), bytesBefore + 1000);
    End();
}

// What a use record counts as answered from the one kept folder.
TEST(KeptFolders, UseRecordHoldsOnlyForLookupsInItsKeptFolder) {
    TempDir dir, other;
    const std::string folder = Folder(dir);
    WriteFile(dir / "a.txt", "Alpha\r\n");
    WriteFile(other / "b.txt", "Beta\r\n");
    MakeJpeg(dir / "t_a.jpg", 20, 10);
    auto record = [&](const std::function<void()>& lookups) {
        FolderView::Record use(Begin(true), folder);
        lookups();
        return use.OnlyKept();
    };
    int w = 0, h = 0;
    EXPECT_TRUE(record([&] {
        EXPECT_EQ(ReadFirstLine(dir / "a.txt"), "Alpha");
        EXPECT_EQ(folder_view::Existing(dir / "missing.txt"), "");
        EXPECT_EQ(folder_view::FindFiles(dir / "*.txt").size(), 1u);
        EXPECT_TRUE(folder_view::JpegSize(dir / "t_a.jpg", w, h));
    }));
    EXPECT_FALSE(record([&] { ReadFirstLine(other / "b.txt"); })) << "another folder";
    EXPECT_FALSE(record([&] { folder_view::Existing(dir / "pictorama.tst"); })) << "a name not followed";
    EXPECT_FALSE(record([&] {
        WriteFile(dir / "new.txt", "x");
        folder_view::NoteCreated(dir / "new.txt");
        folder_view::Existing(dir / "a.txt");
    })) << "a folder this request changed";
    {
        FolderView::Record use(Begin(false), folder);
        ReadFirstLine(dir / "a.txt");
        EXPECT_FALSE(use.OnlyKept()) << "a request that keeps nothing";
    }
}
