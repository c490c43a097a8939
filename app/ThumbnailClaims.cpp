#include "app/ThumbnailClaims.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>

#include "app/FolderView.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Mutexes.h"
#include "platform/Process.h"
#include "platform/ThreadSignals.h"
#include "platform/WorkerThread.h"

namespace {
std::string ClaimPath(const std::string& thumbnailPath) { return thumbnailPath + ".~claim"; }

std::atomic<double> g_claimStaleSeconds{ThumbnailClaimSeconds};
std::atomic<double> g_claimRefreshSeconds{ThumbnailClaimRefreshSeconds};
std::function<void()> g_staleClaimFound;

bool IsStale(double modifiedSeconds) { return modifiedSeconds < platform::NowSeconds() - g_claimStaleSeconds.load(); }

bool ClaimIsStale(const std::string& claim) {
    double modified = 0;
    return platform::FileModificationTime(claim, modified) && IsStale(modified);
}

std::string Hex(uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// A claim left by a request that died is taken over by exactly one of the
// requests that find it stale. Each gives the stale claim it saw a second
// name made of that claim's identity (its file number and time), which only
// one of them can create; that one, once it has checked that the name leads
// to the very claim it saw, puts a claim of its own in its place with one
// rename, so that the claim's name is never missing meanwhile. A claim
// refreshed or replaced since it was seen stale is left as it is.
bool TakeOverStaleClaim(const std::string& claim) {
    platform::FileVersion seen;
    if (!platform::ReadFileVersion(claim, seen) || !IsStale(static_cast<double>(seen.modifiedNs) / 1e9)) return false;
    if (g_staleClaimFound) g_staleClaimFound();
    std::string taken = claim + ".~taken." + Hex(seen.number) + "." + Hex(static_cast<uint64_t>(seen.modifiedNs));
    if (!platform::HardLink(claim, taken)) {
        // Taken over by another request, or released meanwhile.
        if (errno == EEXIST || errno == ENOENT) return false;
        // A file system without hard links: the claim is deleted and made
        // again, where two requests may still both take it over.
        platform::DeleteFile(claim);
        int error = 0;
        return platform::File::TryOpen(claim, platform::OpenMode::CreateNew, error).IsOpen();
    }
    platform::FileVersion linked;
    bool ours = false;
    if (platform::ReadFileVersion(taken, linked) && linked.device == seen.device && linked.number == seen.number &&
        linked.modifiedNs == seen.modifiedNs) {
        std::string fresh = platform::TemporaryNameBeside(claim);
        int error = 0;
        if (platform::File::TryOpen(fresh, platform::OpenMode::CreateNew, error).IsOpen())
            ours = platform::RenameFile(fresh, claim);
        if (!ours) platform::DeleteFile(fresh);
    }
    platform::DeleteFile(taken);
    return ours;
}
}  // namespace

void SetStaleClaimFoundHook(std::function<void()> hook) { g_staleClaimFound = std::move(hook); }

void SetThumbnailClaimTimes(double staleSeconds, double refreshSeconds) {
    g_claimStaleSeconds = staleSeconds;
    g_claimRefreshSeconds = refreshSeconds;
}

bool ClaimThumbnail(const std::string& thumbnailPath) {
    std::string claim = ClaimPath(thumbnailPath);
    int error = 0;
    platform::File file = platform::File::TryOpen(claim, platform::OpenMode::CreateNew, error);
    if (file.IsOpen()) return true;
    if (error != EEXIST) return true;  // no claim possible here: make it as before
    return TakeOverStaleClaim(claim);
}

void ReleaseThumbnailClaim(const std::string& thumbnailPath) { platform::DeleteFile(ClaimPath(thumbnailPath)); }

bool AwaitThumbnail(const std::string& thumbnailPath) {
    std::string claim = ClaimPath(thumbnailPath);
    for (;;) {
        if (platform::FileExists(thumbnailPath)) {
            folder_view::NoteCreated(thumbnailPath);
            return true;
        }
        if (!platform::FileExists(claim) || ClaimIsStale(claim)) return false;
        platform::SleepMilliseconds(20);
    }
}

namespace {

// Sets the modification time of every claim the process holds to now, at
// the refresh interval, from one thread. Only the time is set: a claim that
// vanished stays gone; a released claim is never touched again.
class ClaimRefresher {
public:
    void Hold(const std::string& claim) {
        std::lock_guard<std::mutex> lock(mutex_);
        claims_.insert(claim);
        if (!thread_.Joinable()) {
            stop_ = false;
            platform::NewThreadsTakeNoSignals quiet;
            thread_ = platform::WorkerThread([this] { Refresh(); });
        }
    }
    void Release(const std::string& claim) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto at = claims_.find(claim);
        if (at != claims_.end()) claims_.erase(at);
    }
    void Stop() {
        platform::WorkerThread ending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!claims_.empty()) return;  // still in use: it ends with the last
            stop_ = true;
            ending = std::move(thread_);
        }
        wake_.notify_all();
        ending.Join();
    }
    // A process ending with the thread still there (the site owner's
    // command, a process that ends without its last request's end) ends it
    // first: it must not wait on what is destroyed here. A thread the
    // system has ended already is found ended.
    ~ClaimRefresher() {
        std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
        // A thread the system ended while it held the lock (a process
        // ending) never gives it back: then all is left as it is.
        for (int i = 0; i < 100 && !lock.try_lock(); ++i) platform::SleepMilliseconds(1);
        if (!lock.owns_lock()) {
            thread_.Detach();
            return;
        }
        stop_ = true;
        lock.unlock();
        wake_.notify_all();
        thread_.Join();
        platform::FreeMutexRecord(mutex_);
    }

private:
    void Refresh() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto interval = std::chrono::duration<double>(g_claimRefreshSeconds.load());
            if (wake_.wait_for(lock, interval, [this] { return stop_; })) return;
            double now = platform::NowSeconds();
            for (const std::string& claim : claims_) platform::SetFileModificationTime(claim, now);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multiset<std::string> claims_;  // one entry per holder
    bool stop_ = false;
    platform::WorkerThread thread_;
};

ClaimRefresher& Refresher() {
    static ClaimRefresher refresher;
    return refresher;
}

}  // namespace

HeldThumbnailClaim::HeldThumbnailClaim(const std::string& thumbnailPath) : thumbnailPath_(thumbnailPath) {
    Refresher().Hold(ClaimPath(thumbnailPath));
}

HeldThumbnailClaim::~HeldThumbnailClaim() {
    Refresher().Release(ClaimPath(thumbnailPath_));  // no refresh after the release
    ReleaseThumbnailClaim(thumbnailPath_);
}

void StopThumbnailClaimRefresh() { Refresher().Stop(); }
