#include "app/Thumbnails.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "app/BrowserCopies.h"
#include "app/FolderView.h"
#include "app/Kit.h"
#include "app/PageFrame.h"
#include "app/PictureFormats.h"
#include "app/Trace.h"
#include "engine/Log.h"
#include "imaging/Picture.h"
#include "imaging/PointSampledJpeg.h"
#include "imaging/PointSampler.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/File.h"
#include "platform/Files.h"
#include "platform/Mutexes.h"
#include "platform/Process.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "platform/TextFile.h"
#include "platform/ThreadSignals.h"
#include "platform/WorkerThread.h"

double AspectRatio(int width, int height) {
    if (height == 0) return 1.0;
    long double ratio = static_cast<long double>(width) / static_cast<long double>(height);
    return static_cast<double>(ratio);
}

int DerivedWidth(int height, double ratio) {
    long double product = static_cast<long double>(height) * static_cast<long double>(ratio);
    return static_cast<int>(product);
}

void LoadPicture(const std::string& path, TBitmap& bitmap) {
    std::string existing = folder_view::Existing(path);
    if (existing.empty()) return;
    // The rows as the file stores them (a JPEG's EXIF turn not applied), by
    // the decoder its extension chooses; nothing when it cannot be decoded.
    try {
        auto decoder = PictureFormatOf(existing).Open(existing);
        decoder->ReadHeader();
        imaging::WholePicture stored(1);
        decoder->Decode(imaging::DecodeRequest(), stored);
        bitmap = stored.Result();
    } catch (const std::exception&) {
        bitmap = TBitmap();
    }
}

void StretchPicture(TBitmap& bitmap, int height, int width) {
    // The whole picture drawn into width x height over a fill of its top-left
    // colour; the stretch covers every pixel, so the copy starts from it.
    TColor corner = bitmap.Pixel(0, 0);
    TBitmap result = bitmap.StretchedCopy(width, height);
    result.SetTransparentColor(corner);
    bitmap = result;
}

void CropPicture(TBitmap& bitmap, int height, int width) {
    int w = bitmap.Width(), h = bitmap.Height();
    int left = width < w ? (w - width) / 2 : 0;
    int top = height < h ? (h - height) / 2 : 0;
    TraceLine("Cropleft:" + std::to_string(left) + "  CropTop:" + std::to_string(top));
    TBitmap result;
    result.SetPixelFormat(pf8bit);
    result.SetSize(width, height);
    TColor corner = bitmap.Pixel(0, 0);
    result.SetBrushColor(corner);
    result.FillRect(Rect(0, 0, width, height));
    result.SetTransparentColor(corner);
    for (int y = 0; y < height; ++y) {
        int sy = std::min(std::max(top + y, 0), std::max(h - 1, 0));
        for (int x = 0; x < width; ++x) {
            int sx = std::min(std::max(left + x, 0), std::max(w - 1, 0));
            result.SetPixel(x, y, bitmap.Pixel(sx, sy));
        }
    }
    bitmap = result;
}

void FitPicture(TBitmap& bitmap, int height, int width) {
    if (height < 1) height = 1;
    if (width < 1) width = 1;
    if (height >= bitmap.Height()) return;
    int nw = DerivedWidth(height, AspectRatio(bitmap.Width(), bitmap.Height()));
    StretchPicture(bitmap, height, nw);
    if (bitmap.Width() > width) CropPicture(bitmap, height, width);
}

namespace {
// FitPicture's result size, chosen from the picture's size in its header: the
// height and the derived width when the picture is taller than the height,
// else the picture's own size. ratio and stretched tell which.
imaging::TargetChooser FitTarget(int fitHeight, double& ratio, bool& stretched) {
    return [fitHeight, &ratio, &stretched](int fullWidth, int fullHeight, int& targetWidth, int& targetHeight) {
        ratio = AspectRatio(fullWidth, fullHeight);
        stretched = fitHeight < fullHeight;
        targetWidth = stretched ? DerivedWidth(fitHeight, ratio) : fullWidth;
        targetHeight = stretched ? fitHeight : fullHeight;
    };
}
}  // namespace

int LoadFittedFile(const std::string& existing, int height, TBitmap& bitmap, bool* unreadable, std::string* failure,
                   bool oneThread, int* orientation) {
    bitmap = TBitmap();
    if (unreadable) *unreadable = false;
    if (orientation) *orientation = 1;
    if (existing.empty()) return DerivedWidth(height, 1.0);
    // Decoded once, by the decoder the extension chooses, straight to the
    // size the fit would give: the header decides it. A picture that cannot
    // be decoded stays empty.
    double ratio = 1.0;
    bool stretched = false;
    int fitHeight = std::max(height, 1);
    int fullWidth = 0, fullHeight = 0;
    try {
        auto decoder = PictureFormatOf(existing).Open(existing);
        imaging::DecodePointSampled(*decoder, FitTarget(fitHeight, ratio, stretched), bitmap, &fullWidth, &fullHeight,
                                    oneThread, orientation);
    } catch (const std::exception& error) {
        bitmap = TBitmap();
        if (unreadable) *unreadable = true;
        if (failure) *failure = error.what();
        return DerivedWidth(height, 1.0);
    }
    // A picture of no pixels is one that could not be read.
    if (unreadable) *unreadable = fullWidth == 0 && fullHeight == 0;
    int width = DerivedWidth(height, ratio);
    int fitWidth = std::max(width, 1);
    if (stretched && bitmap.Width() > fitWidth) CropPicture(bitmap, fitHeight, fitWidth);
    return width;
}

int WriteFittedJpeg(Stream& picture, const imaging::PictureFormat& format, int height, int quality, Stream& out) {
    // At a height of 1 or more the fit never crops: the stretch gives the
    // derived width itself.
    double ratio = 1.0;
    bool stretched = false;
    imaging::WritePointSampledJpeg(
        [&] {
            if (picture.Seek(0, 0) != 0) throw Exception("Stream read error");
            return format.OpenStream(picture);
        },
        FitTarget(std::max(height, 1), ratio, stretched), quality, out);
    return DerivedWidth(height, ratio);
}

std::string ThumbnailPath(const std::string& picturePath) {
    return kit::WithoutExtension(kit::DirectoryPart(picturePath) + "t_" + kit::FileNamePart(picturePath)) + ".jpg";
}

bool WriteJpegQuietly(const TBitmap& bitmap, const std::string& path, int quality) {
    try {
        platform::ReplaceFileContents(path, EncodeJpeg(bitmap, quality));
        folder_view::NoteCreated(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

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

bool MakeClaimedThumbnail(const std::string& picturePath, const std::string& thumbnailPath) {
    if (!ClaimThumbnail(thumbnailPath)) return false;
    HeldThumbnailClaim held(thumbnailPath);
    if (!platform::FileExists(thumbnailPath)) CreateThumbnail(picturePath);
    else folder_view::NoteCreated(thumbnailPath);  // made by a request that just released its claim
    return true;
}

ThumbnailOutcome MakeClaimedThumbnail(const ThumbnailSource& source, std::string* toLog) {
    if (!ClaimThumbnail(source.thumbnailPath)) return ThumbnailOutcome::ClaimedElsewhere;
    HeldThumbnailClaim held(source.thumbnailPath);
    if (platform::FileExists(source.thumbnailPath)) return ThumbnailOutcome::AlreadyThere;
    return CreateThumbnail(source, true, toLog);
}

void CreateThumbnail(const std::string& picturePath) {
    ThumbnailSource source;
    source.picturePath = picturePath;
    source.existingPicture = folder_view::Existing(picturePath);
    source.thumbnailPath = ThumbnailPath(picturePath);
    TraceLine("Create Thumbnail file: " + picturePath);
    if (!source.existingPicture.empty()) {
        int unusedWidth = 85;
        ReadThumbnailSize(source.height, unusedWidth);
    }
    std::string failure;
    CreateThumbnail(source, false, &failure);
    if (!failure.empty()) LogUndecodablePicture(picturePath, failure);
}

void LogUndecodablePicture(const std::string& picturePath, const std::string& message) {
    WriteLog("Thumbnail left empty, the picture cannot be decoded: " + picturePath + ": " + message);
}

ThumbnailOutcome CreateThumbnail(const ThumbnailSource& source, bool traceStart, std::string* toLog) {
    if (traceStart) TraceLine("Create Thumbnail file: " + source.picturePath);
    if (source.existingPicture.empty()) {
        TraceLine("Not Exist: " + source.picturePath);
        return ThumbnailOutcome::PictureMissing;
    }
    TBitmap bitmap;
    bool unreadable = false;
    std::string failure;
    int orientation = 1;
    int width = LoadFittedFile(source.existingPicture, source.height, bitmap, &unreadable, &failure, source.oneThread,
                               &orientation);
    TraceLine("Thumbnail size " + std::to_string(source.height) + "," + std::to_string(width));
    bool written = WriteJpegQuietly(bitmap, source.thumbnailPath, 75);
    // Browsers show a PNG or WebP as stored, whatever its EXIF orientation
    // says: a turned one is linked through a JPEG of it, upright, made now.
    if (orientation != 1 && BrowsersShowUnturned(source.existingPicture))
        MakeClaimedBrowserCopy(source.existingPicture);
    // A decoding failure of any picture but a JPEG (whose never was) is the
    // site owner's business: said once, as its empty thumbnail is made,
    // since that thumbnail stays and is never made again.
    if (unreadable && written && toLog && text::UpperCase(kit::ExtensionPart(source.existingPicture)) != "JPG")
        *toLog = failure;
    if (unreadable) return ThumbnailOutcome::PictureUnreadable;
    return written ? ThumbnailOutcome::Made : ThumbnailOutcome::NotWritten;
}
