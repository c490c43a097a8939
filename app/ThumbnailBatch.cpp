#include "app/ThumbnailBatch.h"

#include <chrono>
#include <unordered_map>
#include <utility>

#include "app/FolderView.h"
#include "app/GalleryRequest.h"
#include "app/Kit.h"
#include "app/PageFrame.h"
#include "app/ThumbnailClaims.h"
#include "app/Trace.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Mutexes.h"
#include "platform/Processors.h"
#include "platform/Text.h"

bool ParseThumbnailThreads(const std::string& text, int& threads) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > MaxThumbnailThreads) return false;
    threads = value;
    return true;
}

int ThumbnailThreadSetting() {
    int threads = static_cast<int>(platform::ProcessorCount());
    if (threads > MaxThumbnailThreads) threads = MaxThumbnailThreads;
    std::string value;
    // A value that is no thread count is passed over: the pages still come.
    if (platform::ReadEnvironmentVariable("PICTORAMA_THUMBNAIL_THREADS", value)) ParseThumbnailThreads(value, threads);
    return threads;
}

namespace {
platform::Mutex g_poolMutex;
// The process's pool, until StopThumbnailThreads. A pool still there when
// the static objects are destroyed (a process ending without its last
// request's end) is left to the system: a library's static destructors run
// when the system has ended its threads already (joining them there waits
// for ever).
struct PoolHolder {
    std::shared_ptr<platform::WorkerPool> pool;
    ~PoolHolder() {
        if (pool) new std::shared_ptr<platform::WorkerPool>(std::move(pool));
    }
};
PoolHolder g_pool;
}  // namespace

std::shared_ptr<platform::WorkerPool> SharedThumbnailPool() {
    std::lock_guard<std::mutex> lock(g_poolMutex);
    if (!g_pool.pool) g_pool.pool = std::make_shared<platform::WorkerPool>(ThumbnailThreadSetting());
    return g_pool.pool;
}

void StopThumbnailThreads() {
    std::shared_ptr<platform::WorkerPool> pool;
    {
        std::lock_guard<std::mutex> lock(g_poolMutex);
        pool.swap(g_pool.pool);
    }
    // The last batch's share, or this one, ends the threads once their work
    // is done; the thread that keeps the claims fresh ends with them.
    pool.reset();
    StopThumbnailClaimRefresh();
}

std::vector<std::vector<ThumbnailSource>> PlanMissingThumbnails(const std::string& folder,
                                                                const std::vector<std::string>& pictures) {
    std::vector<std::vector<ThumbnailSource>> plan;
    std::unordered_map<std::string, size_t> entryOf;  // folded thumbnail path -> plan entry
    int height = 70;
    bool sized = false;
    for (const std::string& name : pictures) {
        if (name.empty() || text::StartsWith(name, "t_")) continue;
        std::string thumbnail = folder + "t_" + kit::WithoutExtension(name) + ".jpg";
        if (folder_view::Exists(thumbnail)) continue;
        ThumbnailSource source;
        source.picturePath = folder + name;
        source.existingPicture = folder_view::Existing(source.picturePath);
        source.thumbnailPath = thumbnail;
        if (!source.existingPicture.empty() && !sized) {
            int unusedWidth = 85;
            ReadThumbnailSize(height, unusedWidth);
            sized = true;
        }
        source.height = height;
        auto [it, added] = entryOf.emplace(text::LowerCase(thumbnail), plan.size());
        if (added) plan.emplace_back();
        plan[it->second].push_back(std::move(source));
    }
    // A missing picture met before the first existing one got the default
    // height; it traces nothing with it, but keep every entry alike.
    for (auto& entry : plan)
        for (auto& source : entry) source.height = height;
    return plan;
}

ThumbnailBatch::ThumbnailBatch(platform::WorkerPool& pool, GalleryRequest& request)
    : pool_(pool), shared_(std::make_shared<Shared>()) {
    shared_->request = &request;
}


ThumbnailBatch::~ThumbnailBatch() {
    Cancel();
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->changed.wait(lock, [this] { return shared_->finished == shared_->jobs.size(); });
}

size_t ThumbnailBatch::Add(std::vector<ThumbnailSource> sources) {
    // The pool's threads are the decodings' threads: a library's own come
    // only on top of them.
    for (ThumbnailSource& source : sources) source.oneThread = pool_.Threads() > 1;
    auto job = std::make_unique<Job>();
    job->sources = std::move(sources);
    Job* raw = job.get();
    size_t index;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        index = shared_->jobs.size();
        shared_->jobs.push_back(std::move(job));
    }
    try {
        pool_.Submit([shared = shared_, raw] { Run(*shared, *raw); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->jobs.pop_back();  // never queued: nothing waits for it
        throw;
    }
    return index;
}

void ThumbnailBatch::Run(Shared& shared, Job& job) {
    ThumbnailJobResult result;
    bool cancelled;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        cancelled = shared.cancelled;
    }
    if (cancelled) {
        result.skipped = true;
    } else {
        try {
            TraceSink trace(result.trace);
            GalleryRequest::Binding working(*shared.request, trace);
            for (size_t k = 0; k < job.sources.size(); ++k) {
                // A later picture sharing the file is made only when the
                // earlier ones left none, as the page does one by one.
                bool there = false;
                for (size_t earlier = 0; earlier < k && !there; ++earlier)
                    there = platform::FileExists(job.sources[earlier].thumbnailPath);
                if (there) break;
                std::string toLog;
                result.outcomes.push_back(MakeClaimedThumbnail(job.sources[k], &toLog));
                result.toLog.push_back(std::move(toLog));
            }
        } catch (...) {
            result.error = std::current_exception();
        }
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    job.result = std::move(result);
    job.done = true;
    ++shared.finished;
    shared.changed.notify_all();
}

bool ThumbnailBatch::Wait(size_t i, double seconds) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    Job& job = *shared_->jobs.at(i);
    if (seconds < 0) {
        shared_->changed.wait(lock, [&] { return job.done; });
        return true;
    }
    return shared_->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return job.done; });
}

const ThumbnailJobResult& ThumbnailBatch::Result(size_t i) const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->jobs.at(i)->result;
}

std::exception_ptr ThumbnailBatch::TakeError(size_t i) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->jobs.at(i)->result.error, nullptr);
}

void ThumbnailBatch::Cancel() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->cancelled = true;
}

size_t ThumbnailBatch::Finished() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->finished;
}

void MakeThumbnailsTogether(const std::string& folder, const std::vector<std::string>& pictures) {
    std::vector<std::vector<ThumbnailSource>> plan = PlanMissingThumbnails(folder, pictures);
    if (plan.empty()) return;
    std::shared_ptr<platform::WorkerPool> pool = SharedThumbnailPool();
    ThumbnailBatch batch(*pool, CurrentRequest());
    for (auto& entry : plan) batch.Add(entry);
    for (size_t i = 0; i < plan.size(); ++i) {
        batch.Wait(i);
        const ThumbnailJobResult& result = batch.Result(i);
        for (const std::string& line : result.trace) TraceLine(line);
        // Logged here, by the request: the log names the request and its program.
        for (size_t k = 0; k < result.toLog.size(); ++k)
            if (!result.toLog[k].empty()) LogUndecodablePicture(plan[i][k].picturePath, result.toLog[k]);
        for (const ThumbnailSource& source : plan[i])
            if (platform::FileExists(source.thumbnailPath)) folder_view::NoteCreated(source.thumbnailPath);
        // The request ends here, as it would have one picture at a time; the
        // batch first lets the work in flight finish and drops the rest.
        if (result.error) {
            batch.Cancel();
            std::rethrow_exception(batch.TakeError(i));
        }
    }
}
