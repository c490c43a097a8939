#include "app/KeptFolders.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>

#include "platform/ChangeQueue.h"
#include "platform/Clock.h"
#include "platform/FileStamps.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "platform/WorkerPool.h"

namespace kept_folders {
namespace {

// What a kept name or line costs besides its characters (map nodes, string
// headers): an estimate, enough to bound the total.
constexpr size_t EntryOverheadBytes = 64;

std::atomic<size_t> g_keptBytes{0};

size_t NameBytes(const std::string& name) { return name.size() + EntryOverheadBytes; }

// The folders kept between requests, their watches and the changes reported.
class Cache {
public:
    // Takes the changes since the last call and forgets what they touched.
    void TakeChanges() {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const platform::ChangeQueue::Change& change : changes_.Take()) {
            switch (change.kind) {
            case platform::ChangeQueue::Change::Lost:
                DropAll();
                break;
            case platform::ChangeQueue::Change::WatchEnded:
                // One this cache gave up itself ends with a report too.
                if (foldersOfWatch_.count(change.watch)) DropAll();
                break;
            case platform::ChangeQueue::Change::Entry:
                if (!Followed(change.name)) break;
                if (auto it = foldersOfWatch_.find(change.watch); it != foldersOfWatch_.end())
                    for (const std::string& name : it->second)
                        if (auto folder = folders_.find(name); folder != folders_.end()) Forget(folder->second);
                break;
            }
        }
    }

    // The folder's snapshot, listed now when none is kept; nullptr when the
    // folder cannot be kept.
    std::shared_ptr<FolderSnapshot> Snapshot(const std::string& name) {
        // How the folder is followed: as when it was kept, or told by its
        // file system's kind now.
        bool known = false, byStamps = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto it = folders_.find(name);
            known = it != folders_.end();
            if (known) byStamps = it->second.byStamps;
        }
        // Asked without the lock: a file server that does not answer holds
        // up this request only.
        if (!known) byStamps = !platform::ChangesPassThisSystem(name);
        // Which folder the name leads to now, every link on the way followed
        // (and, followed by stamps, whether it changed).
        platform::FileStamp now;
        bool exists = platform::ReadFileStamp(name, now, byStamps);
        uint64_t generation = 0;
        std::shared_ptr<FolderSnapshot> previous;  // followed by stamps: as it was, to compare
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto it = folders_.find(name);
            // Another folder under the name (a link switched, a folder swapped
            // in, here or above): what was kept is that other folder's.
            if (it != folders_.end() && (!exists || !it->second.identity.SameFile(now) || it->second.byStamps != byStamps)) {
                DropFolder(it);
                it = folders_.end();
            }
            if (!exists) return nullptr;
            if (it == folders_.end()) {
                if (!byStamps && !changes_.Active()) return nullptr;
                while (folders_.size() >= MaxKeptFolders) DropLeastRecentlyUsed(name);
                int watch = -1;
                if (!byStamps) {
                    // Watched before it is listed: a change after the listing
                    // is reported. Looked at before it is watched: a folder
                    // that took the name's place meanwhile is told by the next
                    // request.
                    watch = changes_.Watch(name);
                    if (watch < 0) return nullptr;
                    foldersOfWatch_[watch].push_back(name);
                }
                it = folders_.emplace(name, Folder{}).first;
                it->second.watch = watch;
                it->second.byStamps = byStamps;
                it->second.identity = now;
                it->second.generation = ++generations_;
            }
            Folder& folder = it->second;
            folder.lastUse = ++useClock_;
            // Followed by stamps: a folder whose stamp moved (or may move
            // unseen) is listed again; its snapshot stays if the listing
            // holds the same followed entries.
            if (byStamps && !(folder.identity == now && Settled(now))) {
                previous = folder.snapshot;
                Forget(folder);
            }
            if (folder.snapshot || folder.tooLarge) return folder.snapshot;
            generation = folder.generation;
        }
        // Listed without the lock: other requests go on meanwhile.
        std::vector<platform::DirEntry> entries = platform::FindFiles(name + "*");
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = folders_.find(name);
        bool current = it != folders_.end() && it->second.generation == generation;
        if (current) it->second.identity = now;
        if (entries.size() > MaxKeptFolderEntries) {
            if (current) it->second.tooLarge = true;
            return nullptr;
        }
        std::shared_ptr<FolderSnapshot> snapshot;
        if (previous && SameFollowedEntries(previous->Entries(), entries)) {
            snapshot = previous;  // changed by private files only
        } else {
            snapshot = std::make_shared<FolderSnapshot>(std::move(entries), byStamps);
            if (!MakeRoomLocked(0, snapshot.get())) return nullptr;
            it = folders_.find(name);  // the drops above may have moved it
        }
        // A change reported while the folder was listed: this request may
        // use the listing (it is at least as new as the request), later ones
        // list the folder again.
        if (current && it != folders_.end() && !it->second.snapshot) it->second.snapshot = snapshot;
        return snapshot;
    }

    // Drops folders, the one used longest ago first, until bytes more fit
    // in MaxKeptBytes; false when they do not even so. Only folders whose
    // snapshot no request holds go (dropping one that a request holds would
    // free nothing until that request ends), and never keep's.
    bool MakeRoom(size_t bytes, const FolderSnapshot* keep) {
        std::lock_guard<std::mutex> guard(mutex_);
        return MakeRoomLocked(bytes, keep);
    }

    void LoseChanges() {
        std::lock_guard<std::mutex> guard(mutex_);
        changes_.ActAsOverflowed();
    }

    size_t Count() {
        std::lock_guard<std::mutex> guard(mutex_);
        size_t n = 0;
        for (const auto& [name, folder] : folders_) n += folder.snapshot ? 1 : 0;
        return n;
    }

private:
    struct Folder {
        std::shared_ptr<FolderSnapshot> snapshot;  // null: listed afresh on next use
        platform::FileStamp identity;              // the folder kept (its device and inode), as last listed
        bool byStamps = false;                     // followed by stamps, not watched
        int watch = -1;
        uint64_t generation = 0;  // new whenever the folder is watched or forgotten
        uint64_t lastUse = 0;
        bool tooLarge = false;  // more entries than kept; listed by each request
    };

    void Forget(Folder& folder) {
        folder.snapshot.reset();
        folder.tooLarge = false;
        folder.generation = ++generations_;
    }

    // Changes were lost, or a watch ended (its folder removed, moved or
    // unmounted): nothing the queue said can be trusted to speak for a name
    // now. Every folder and every watch goes; each is watched afresh when
    // next used.
    void DropAll() {
        for (const auto& [watch, names] : foldersOfWatch_) changes_.Unwatch(watch);
        foldersOfWatch_.clear();
        folders_.clear();
    }

    // Drops a folder and, unless another name of it uses it, its watch.
    void DropFolder(std::map<std::string, Folder>::iterator it) {
        int watch = it->second.watch;
        std::string name = it->first;
        folders_.erase(it);
        auto names = foldersOfWatch_.find(watch);
        if (names == foldersOfWatch_.end()) return;  // not watched: followed by stamps
        std::erase(names->second, name);
        if (names->second.empty()) {
            foldersOfWatch_.erase(names);
            changes_.Unwatch(watch);
        }
    }

    // The same entries, in the same order, but for private files.
    static bool SameFollowedEntries(const std::vector<platform::DirEntry>& a, const std::vector<platform::DirEntry>& b) {
        auto followed = [](const platform::DirEntry& entry) { return Followed(entry.name); };
        auto i = a.begin(), j = b.begin();
        for (;;) {
            i = std::find_if(i, a.end(), followed);
            j = std::find_if(j, b.end(), followed);
            if (i == a.end() || j == b.end()) return i == a.end() && j == b.end();
            if (i->name != j->name || i->directory != j->directory) return false;
            ++i;
            ++j;
        }
    }

    bool MakeRoomLocked(size_t bytes, const FolderSnapshot* keep) {
        while (g_keptBytes.load() + bytes > MaxKeptBytes) {
            auto oldest = folders_.end();
            for (auto it = folders_.begin(); it != folders_.end(); ++it) {
                const std::shared_ptr<FolderSnapshot>& snapshot = it->second.snapshot;
                // use_count is exact here: requests take snapshots under the lock.
                if (snapshot && snapshot.get() != keep && snapshot.use_count() == 1 &&
                    (oldest == folders_.end() || it->second.lastUse < oldest->second.lastUse))
                    oldest = it;
            }
            if (oldest == folders_.end()) return false;
            DropFolder(oldest);
        }
        return true;
    }

    // Drops the folder used longest ago other than keep; false when there is none.
    bool DropLeastRecentlyUsed(const std::string& keep) {
        auto oldest = folders_.end();
        for (auto it = folders_.begin(); it != folders_.end(); ++it)
            if (it->first != keep && (oldest == folders_.end() || it->second.lastUse < oldest->second.lastUse))
                oldest = it;
        if (oldest == folders_.end()) return false;
        DropFolder(oldest);
        return true;
    }

    std::mutex mutex_;
    platform::ChangeQueue changes_;
    std::map<std::string, Folder> folders_;
    std::map<int, std::vector<std::string>> foldersOfWatch_;
    uint64_t useClock_ = 0;
    uint64_t generations_ = 0;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

}  // namespace

FolderSnapshot::FolderSnapshot(std::vector<platform::DirEntry> entries, bool byStamps)
    : entries_(std::move(entries)), byStamps_(byStamps) {
    size_t bytes = 0;
    for (const platform::DirEntry& entry : entries_) {
        bytes += 2 * NameBytes(entry.name);
        if (!entry.directory) files_[text::LowerCase(entry.name)].push_back(entry.name);
    }
    bytes_ = bytes;
    g_keptBytes += bytes;
}

FolderSnapshot::~FolderSnapshot() { g_keptBytes -= bytes_; }

const std::vector<std::string>* FolderSnapshot::FilesFolded(const std::string& lowerCaseName) const {
    auto it = files_.find(lowerCaseName);
    return it == files_.end() ? nullptr : &it->second;
}

bool FolderSnapshot::Reserve(size_t bytes) {
    if (g_keptBytes.load() + bytes > MaxKeptBytes && !TheCache().MakeRoom(bytes, this)) return false;
    size_t total = g_keptBytes.load();
    do {
        if (total + bytes > MaxKeptBytes) return false;
    } while (!g_keptBytes.compare_exchange_weak(total, total + bytes));
    bytes_ += bytes;
    return true;
}

bool FolderSnapshot::FirstLine(const std::string& name, std::string& line, const platform::FileStamp& stamp) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = lines_.find(name);
    if (it == lines_.end() || (byStamps_ && !(it->second.stamp == stamp))) return false;
    line = it->second.text;
    return true;
}

void FolderSnapshot::KeepFirstLine(const std::string& name, const std::string& line,
                                   const platform::FileStamp& stamp) {
    if (line.size() > MaxKeptLineBytes || (byStamps_ && !Settled(stamp))) return;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = lines_.find(name);
    if (it != lines_.end()) {
        if (!byStamps_) return;
        Release(NameBytes(name) + it->second.text.size());  // read again under a new stamp
        lines_.erase(it);
    }
    if (!Reserve(NameBytes(name) + line.size())) return;
    lines_.emplace(name, Line{line, stamp});
}

bool FolderSnapshot::JpegSize(const std::string& name, int& width, int& height,
                              const platform::FileStamp& stamp) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = sizes_.find(name);
    if (it == sizes_.end() || (byStamps_ && !(it->second.stamp == stamp))) return false;
    width = it->second.width;
    height = it->second.height;
    return true;
}

void FolderSnapshot::KeepJpegSize(const std::string& name, int width, int height, const platform::FileStamp& stamp) {
    if (byStamps_ && !Settled(stamp)) return;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = sizes_.find(name);
    if (it != sizes_.end()) {
        if (!byStamps_) return;
        it->second = Size{width, height, stamp};
        return;
    }
    if (!Reserve(NameBytes(name))) return;
    sizes_.emplace(name, Size{width, height, stamp});
}

std::shared_ptr<const KeptRendering> FolderSnapshot::Rendering(const std::string& key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Kept& kept : renderings_)
        if (kept.key == key) return kept.rendering;
    return nullptr;
}

void FolderSnapshot::KeepRendering(const std::string& key, std::shared_ptr<const KeptRendering> rendering) {
    size_t bytes = NameBytes(key) + rendering->html.size();
    for (const std::string& line : rendering->traceLines) bytes += NameBytes(line);
    for (const Dependency& dependency : rendering->dependsOn) {
        if (!Settled(dependency.stamp)) return;  // made from a file that may change unseen
        bytes += NameBytes(dependency.name);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = renderings_.begin(); it != renderings_.end(); ++it) {
        if (it->key != key) continue;
        if (!byStamps_) return;  // another request kept the same meanwhile
        // Made again since its files changed: the new one replaces it.
        Release(it->bytes);
        renderings_.erase(it);
        break;
    }
    if (renderings_.size() >= MaxKeptRenderingsPerFolder) {
        Release(renderings_.front().bytes);
        renderings_.erase(renderings_.begin());
    }
    if (!Reserve(bytes)) return;
    renderings_.push_back(Kept{key, std::move(rendering), bytes});
}

void FolderSnapshot::Release(size_t bytes) {
    bytes_ -= bytes;
    g_keptBytes -= bytes;
}

bool Settled(const platform::FileStamp& stamp) {
    int64_t newest = std::max(stamp.modifiedNs, stamp.changedNs);
    return static_cast<double>(newest) / 1e9 < platform::NowSeconds() - SettledStampSeconds;
}

std::vector<std::pair<bool, platform::FileStamp>> ReadServerStamps(const std::vector<std::string>& paths) {
    std::vector<std::pair<bool, platform::FileStamp>> stamps(paths.size());
    auto read = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) stamps[i].first = platform::ReadFileStamp(paths[i], stamps[i].second, true);
    };
    // A few are read at once by the caller.
    constexpr size_t PerThread = 16;
    if (paths.size() <= PerThread) {
        read(0, paths.size());
        return stamps;
    }
    // Started on first use, and never ended: a process ends its threads with itself.
    static platform::WorkerPool* readers = new platform::WorkerPool(StampReaderThreads);
    size_t parts = std::min<size_t>(StampReaderThreads + 1, (paths.size() + PerThread - 1) / PerThread);
    size_t step = (paths.size() + parts - 1) / parts;
    std::mutex mutex;
    std::condition_variable done;
    size_t left = parts - 1;
    for (size_t part = 1; part < parts; ++part) {
        readers->Submit([&, part] {
            read(part * step, std::min(paths.size(), (part + 1) * step));
            std::lock_guard<std::mutex> guard(mutex);
            if (--left == 0) done.notify_one();
        });
    }
    read(0, step);
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return left == 0; });
    return stamps;
}

void TakeChanges() { TheCache().TakeChanges(); }

std::shared_ptr<FolderSnapshot> Snapshot(const std::string& folder) { return TheCache().Snapshot(folder); }

bool Followed(const std::string& name) {
    std::string folded = text::LowerCase(name);
    return !(folded.ends_with(".tst") ||                                     // the trace file
             folded.find(".~") != std::string::npos ||                      // files being written, claims, kept slides
             folded == "t_slideimage.jpg" ||                                 // the slide
             (folded.starts_with("slidenext") && folded.ends_with(".txt")));  // slideshow positions
}

size_t KeptFolderCount() { return TheCache().Count(); }
void LoseChangesForTests() { TheCache().LoseChanges(); }
size_t KeptBytes() { return g_keptBytes.load(); }

}  // namespace kept_folders
