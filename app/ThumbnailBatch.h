// Making many thumbnails at once: a photo page's missing thumbnails, or every
// one the site owner's command makes, on a bounded set of threads. Each
// thumbnail is made under its claim as the photo page makes it one by one;
// the trace lines of each are kept and handed back, so that the request
// traces them in picture order.
#pragma once
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Thumbnails.h"
#include "platform/Mutexes.h"
#include "platform/WorkerPool.h"

class GalleryRequest;

// The thread setting never goes beyond this.
constexpr int MaxThumbnailThreads = 64;
// How many threads make a photo page's missing thumbnails: the process
// environment's PICTORAMA_THUMBNAIL_THREADS (1 to MaxThumbnailThreads), else
// one per core. 1 makes them one after the other on the request's thread.
int ThumbnailThreadSetting();
// Reads a thread count from 1 to MaxThumbnailThreads; false for anything else.
bool ParseThumbnailThreads(const std::string& text, int& threads);
// The process's thumbnail threads, started on first use: every request of a
// process serving several at once shares them, so that their number stays
// ThumbnailThreadSetting() however many requests arrive. A batch holds its
// share until it is done.
std::shared_ptr<platform::WorkerPool> SharedThumbnailPool();
// Ends the process's thumbnail threads (and the one keeping claims fresh)
// once the batches using them are done (the next batch starts them again):
// the last-request event calls it, once per process or library, at the end
// of its last request. A library must end its threads before it is
// unloaded, never in a destructor run at unload, when the system has ended
// them already.
void StopThumbnailThreads();

// The thumbnails missing for pictures (file names in the folder, in page
// order), one plan entry per thumbnail file: pictures that share one (x.jpg
// and x.GIF share t_x.jpg) are one entry, in page order. Looked up on the
// request's thread; names that are empty or begin with "t_" are left out.
std::vector<std::vector<ThumbnailSource>> PlanMissingThumbnails(const std::string& folder,
                                                                const std::vector<std::string>& pictures);

struct ThumbnailJobResult {
    std::vector<std::string> trace;         // the lines it traced, in order
    std::vector<ThumbnailOutcome> outcomes;  // one per picture tried
    std::vector<std::string> toLog;         // one per picture tried: the message to log, or ""
    std::exception_ptr error;               // what ended it (a failure beside the pictures, such as memory)
    bool skipped = false;                   // cancelled before it started: nothing was done
};

class ThumbnailBatch {
public:
    // The jobs work for the request (its view of the folder; each its own
    // trace lines), which outlives the batch.
    ThumbnailBatch(platform::WorkerPool& pool, GalleryRequest& request);
    // Cancels what has not started and waits for the work in flight: no claim
    // and no temporary file of this batch outlives it.
    ~ThumbnailBatch();
    ThumbnailBatch(const ThumbnailBatch&) = delete;
    ThumbnailBatch& operator=(const ThumbnailBatch&) = delete;

    // Queues one plan entry: its pictures are tried in order until one leaves
    // the thumbnail file or raises. Returns its index.
    size_t Add(std::vector<ThumbnailSource> sources);
    // Waits for entry i, at most seconds when seconds >= 0; true once it is done.
    bool Wait(size_t i, double seconds = -1);
    // Entry i's result, once Wait(i) said it is done.
    const ThumbnailJobResult& Result(size_t i) const;
    // Takes what ended a finished job, leaving none behind: the error then
    // lives and dies on the caller's thread only, never on a worker's.
    std::exception_ptr TakeError(size_t i);
    // Entries not started yet are skipped; those in flight finish.
    void Cancel();
    // How many entries are done (made, failed or skipped).
    size_t Finished() const;

private:
    struct Job {
        std::vector<ThumbnailSource> sources;
        ThumbnailJobResult result;
        bool done = false;
    };
    struct Shared {
        GalleryRequest* request = nullptr;
        mutable platform::Mutex mutex;
        std::condition_variable changed;
        std::vector<std::unique_ptr<Job>> jobs;
        size_t finished = 0;
        bool cancelled = false;
    };
    static void Run(Shared& shared, Job& job);

    platform::WorkerPool& pool_;
    std::shared_ptr<Shared> shared_;
};

// The photo page's missing thumbnails on the shared threads: the same files,
// the same trace lines and log lines in the same order, as making them one by
// one in page order; a failure beside the pictures (memory) raises once the
// pictures before it are traced.
void MakeThumbnailsTogether(const std::string& folder, const std::vector<std::string>& pictures);
