// Claims on thumbnails being made: a file beside a missing thumbnail that
// says a request is making it, so that requests arriving together (in one
// process or several, on one machine or several over a shared folder) make
// each thumbnail once.
#pragma once
#include <functional>
#include <string>

// Sharing the work of a cold folder between requests that arrive together:
// a request claims a missing thumbnail (a claim file beside it) before making
// it, and a request that finds it claimed by another waits for it instead of
// making it again. The owner refreshes its claim every
// ThumbnailClaimRefreshSeconds while it works, however long the picture takes;
// a claim older than ThumbnailClaimSeconds was left by a request that died,
// and is taken over.
constexpr double ThumbnailClaimSeconds = 30;
constexpr double ThumbnailClaimRefreshSeconds = 5;
// True when this request should make the thumbnail (claimed, or the claim
// could not be written at all); false when another request is making it.
bool ClaimThumbnail(const std::string& thumbnailPath);
void ReleaseThumbnailClaim(const std::string& thumbnailPath);
// Waits while another request makes the thumbnail; true once it is there,
// false when that request gave up (its claim vanished or went stale).
bool AwaitThumbnail(const std::string& thumbnailPath);

// A claim this request holds: kept fresh until it is destroyed, then
// released (also when the making ends in an exception). One thread of the
// process keeps every claim it holds fresh; it starts with the first claim
// and lives until StopThumbnailClaimRefresh.
class HeldThumbnailClaim {
public:
    explicit HeldThumbnailClaim(const std::string& thumbnailPath);
    ~HeldThumbnailClaim();
    HeldThumbnailClaim(const HeldThumbnailClaim&) = delete;
    HeldThumbnailClaim& operator=(const HeldThumbnailClaim&) = delete;

private:
    std::string thumbnailPath_;
};
// Ends the thread that keeps the claims fresh, once no claim is held (a
// later claim starts it again): with the thumbnail threads, at the end of the
// process's or library's last request.
void StopThumbnailClaimRefresh();

// For tests: other ages for a stale claim and for its refresh (both in
// seconds); SetThumbnailClaimTimes(ThumbnailClaimSeconds,
// ThumbnailClaimRefreshSeconds) restores them.
void SetThumbnailClaimTimes(double staleSeconds, double refreshSeconds);
// For tests: called by a request that has found a claim stale, before it
// takes it over (so that tests can let many find it so first); none by default.
void SetStaleClaimFoundHook(std::function<void()> hook);
