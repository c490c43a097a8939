#include "app/ThumbnailCommand.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "app/GalleryRequest.h"
#include "app/Kit.h"
#include "app/PhotoPage.h"
#include "app/ThumbnailBatch.h"
#include "app/Trace.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/StopSignals.h"
#include "platform/Terminal.h"

namespace {

// Plain progress lines (standard error not a terminal) at most this often.
constexpr double PlainProgressSeconds = 2;
// How often the terminal's bar is redrawn and a stop request looked for.
constexpr double ProgressRefreshSeconds = 0.2;

std::string ProgramName() { return kit::FileNamePart(platform::ModulePath()); }

std::string Usage() {
    std::string program = ProgramName();
    return "Usage: " + program + " --make-thumbnails [--threads N]\n"
           "       " + program + " --help | --version\n"
           "\n"
           "Makes every thumbnail that the photo page of this gallery would make and\n"
           "that is still missing, so that the first visitor need not wait for them.\n"
           "The gallery is the folder the program is in. Run it as the web server's\n"
           "account, for example:  sudo -u www-data ./" + program + " --make-thumbnails\n"
           "\n"
           "  --make-thumbnails  make the missing thumbnails\n"
           "  --threads N        on N threads (1 to " + std::to_string(MaxThumbnailThreads) +
           "; default: one per core, or\n"
           "                     the variable PICTORAMA_THUMBNAIL_THREADS)\n"
           "  --help             show this help\n"
           "  --version          show the version\n"
           "\n"
           "A progress bar shows on a terminal, plain lines otherwise. Ctrl-C stops\n"
           "the work cleanly; running the command again makes the rest. Exit status:\n"
           "0 done, 1 some pictures could not be read (they are listed), 2 wrong\n"
           "usage, 130 stopped.\n";
}

int Misused(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", ProgramName().c_str(), message.c_str(), ProgramName().c_str());
    return CommandMisused;
}

std::string Duration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

// done/total, the rate and the time left: a bar redrawn in place on a
// terminal, a line now and then otherwise.
class Progress {
public:
    explicit Progress(size_t total)
        : total_(total), terminal_(platform::ErrorOutputIsTerminal()), start_(platform::NowSeconds()) {}

    void Show(size_t done, bool force = false) {
        double now = platform::NowSeconds();
        if (!terminal_ && !force && now - lastLine_ < PlainProgressSeconds) return;
        lastLine_ = now;
        double elapsed = now - start_;
        double rate = elapsed > 0 ? done / elapsed : 0;
        char figures[96];
        std::snprintf(figures, sizeof figures, "%zu/%zu  %.1f/s  %s left", done, total_, rate,
                      rate > 0 ? Duration((total_ - done) / rate).c_str() : "-:--");
        if (!terminal_) {
            std::fprintf(stderr, "%s\n", figures);
            return;
        }
        int width = std::clamp(platform::TerminalColumns() - static_cast<int>(std::string(figures).size()) - 4, 10, 40);
        int filled = total_ ? static_cast<int>(width * done / total_) : width;
        std::string bar(static_cast<size_t>(width), '-');
        bar.replace(0, static_cast<size_t>(filled), static_cast<size_t>(filled), '#');
        std::fprintf(stderr, "\r[%s] %s\x1b[K", bar.c_str(), figures);
        std::fflush(stderr);
        shown_ = true;
    }
    // Ends the bar's line.
    void Close() {
        if (terminal_ && shown_) std::fputs("\n", stderr);
    }
    double Elapsed() const { return platform::NowSeconds() - start_; }

private:
    size_t total_;
    bool terminal_;
    double start_;
    double lastLine_ = -1e9;
    bool shown_ = false;
};

std::string MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

int MakeThumbnails(int threads) {
    std::string folder = kit::ProgramDirectory();
    std::vector<std::vector<ThumbnailSource>> plan;
    // The page's own scan and plan, and the thumbnails' making, as a request
    // makes them; their trace lines are not a request's.
    std::vector<std::string> unused;
    GalleryRequest request(false, unused);
    GalleryRequest::Binding binding(request);
    try {
        plan = PlanMissingThumbnails(folder, PagePictures(folder));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), error.what());
        return CommandSomeFailed;
    }
    if (plan.empty()) {
        std::fprintf(stderr, "Every thumbnail of %s is there.\n", folder.c_str());
        return CommandDone;
    }
    std::fprintf(stderr, "Making %zu thumbnail%s in %s on %d thread%s.\n", plan.size(), plan.size() == 1 ? "" : "s",
                 folder.c_str(), threads, threads == 1 ? "" : "s");
    platform::CatchStopSignals();
    platform::WorkerPool pool(threads);
    ThumbnailBatch batch(pool, request);
    for (const auto& entry : plan) batch.Add(entry);
    Progress progress(plan.size());
    std::vector<std::string> failures;
    size_t made = 0;
    bool stopped = false;
    for (size_t i = 0; i < plan.size(); ++i) {
        while (!batch.Wait(i, ProgressRefreshSeconds)) {
            if (!stopped && platform::StopRequested()) {
                stopped = true;
                batch.Cancel();  // those in flight finish, the rest are left
            }
            if (!stopped) progress.Show(batch.Finished());
        }
        if (!stopped && platform::StopRequested()) {
            stopped = true;
            batch.Cancel();
        }
        const ThumbnailJobResult& result = batch.Result(i);
        for (size_t k = 0; k < result.outcomes.size(); ++k) {
            std::string name = kit::FileNamePart(plan[i][k].picturePath);
            switch (result.outcomes[k]) {
                case ThumbnailOutcome::Made:
                case ThumbnailOutcome::AlreadyThere:
                case ThumbnailOutcome::ClaimedElsewhere: ++made; break;
                case ThumbnailOutcome::PictureMissing: failures.push_back(name + ": missing"); break;
                case ThumbnailOutcome::PictureUnreadable:
                    failures.push_back(name + ": " +
                                       (result.toLog[k].empty() ? std::string("cannot be read") : result.toLog[k]) +
                                       " (its thumbnail is left empty, as the page leaves it)");
                    break;
                case ThumbnailOutcome::NotWritten:
                    failures.push_back(name + ": its thumbnail cannot be written");
                    break;
            }
        }
        if (result.error)
            failures.push_back(kit::FileNamePart(plan[i][result.outcomes.size()].picturePath) + ": " +
                               MessageOf(batch.TakeError(i)));
        if (!stopped) progress.Show(i + 1 == plan.size() ? plan.size() : batch.Finished(), i + 1 == plan.size());
    }
    progress.Close();
    if (stopped) {
        std::fprintf(stderr, "Stopped: %zu of %zu thumbnails made; run the command again to make the rest.\n",
                     made, plan.size());
    } else {
        std::fprintf(stderr, "%zu thumbnails made in %.1f s.\n", made, progress.Elapsed());
    }
    if (!failures.empty()) {
        std::fprintf(stderr, "Pictures that could not be read:\n");
        for (const std::string& line : failures) std::fprintf(stderr, "  %s\n", line.c_str());
    }
    if (stopped) return CommandStopped;
    return failures.empty() ? CommandDone : CommandSomeFailed;
}

}  // namespace

int RunOwnerCommand(const std::vector<std::string>& arguments) {
    bool make = false, help = false, version = false;
    int threads = ThumbnailThreadSetting();
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--make-thumbnails") {
            make = true;
        } else if (word == "--help") {
            help = true;
        } else if (word == "--version") {
            version = true;
        } else if (word == "--threads") {
            if (i + 1 >= arguments.size() || !ParseThumbnailThreads(arguments[++i], threads))
                return Misused("--threads takes a number from 1 to " + std::to_string(MaxThumbnailThreads));
        } else {
            return Misused("unknown argument '" + word + "'");
        }
    }
    if (help) {
        std::fputs(Usage().c_str(), stdout);
        return CommandDone;
    }
    if (version) {
        std::printf("%s (Pictorama) %s\n", ProgramName().c_str(), PICTORAMA_VERSION);
        return CommandDone;
    }
    if (!make) return Misused("nothing to do: --make-thumbnails makes the missing thumbnails");
    return MakeThumbnails(threads);
}
