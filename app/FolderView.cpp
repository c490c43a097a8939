#include "app/FolderView.h"

#include "app/GalleryRequest.h"
#include "imaging/Picture.h"
#include "platform/FileStamps.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "platform/TextFile.h"

namespace {

// The first candidate spelled exactly as name, else the first of all.
const std::string* Choose(const std::vector<std::string>* listed, const std::vector<std::string>* created,
                          const std::string& name) {
    for (const auto* names : {listed, created})
        if (names)
            for (const auto& candidate : *names)
                if (candidate == name) return &candidate;
    for (const auto* names : {listed, created})
        if (names && !names->empty()) return &names->front();
    return nullptr;
}

// A mask whose matches the kept listing answers: "*.ext" with a literal
// extension of followed names.
bool KeptMask(const std::string& pattern) {
    return pattern.size() > 2 && pattern[0] == '*' && pattern[1] == '.' &&
           pattern.find_first_of("*?", 1) == std::string::npos && kept_folders::Followed(pattern);
}

}  // namespace

FolderView::FolderView(bool resident) : resident_(resident) {
    if (resident_) kept_folders::TakeChanges();
}

std::shared_ptr<kept_folders::FolderSnapshot> FolderView::KeptLocked(const std::string& folder) {
    if (!resident_ || folder.empty()) return nullptr;
    auto it = pins_.find(folder);
    if (it != pins_.end()) return it->second;
    std::shared_ptr<kept_folders::FolderSnapshot> snapshot = kept_folders::Snapshot(folder);
    pins_.emplace(folder, snapshot);
    return snapshot;
}

std::shared_ptr<kept_folders::FolderSnapshot> FolderView::Kept(const std::string& folder) {
    std::lock_guard<std::mutex> guard(mutex_);
    return KeptLocked(folder);
}

FolderView::Listing& FolderView::ListingOf(const std::string& folder) {
    auto it = listings_.find(folder);
    if (it != listings_.end()) return it->second;
    Listing& listing = listings_[folder];
    listing.kept = KeptLocked(folder);
    if (listing.kept) return listing;
    for (const auto& entry : platform::FindFiles(folder + "*"))
        if (!entry.directory) listing.names[text::LowerCase(entry.name)].push_back(entry.name);
    return listing;
}

void FolderView::NoteLookupLocked(const std::string& folder, bool fromKept) {
    if (record_ && (!fromKept || folder != record_->folder_)) record_->onlyKept_ = false;
}

void FolderView::NoteLookup(const std::string& folder, bool fromKept) {
    std::lock_guard<std::mutex> guard(mutex_);
    NoteLookupLocked(folder, fromKept);
}

std::string FolderView::ExistingLocked(const std::string& path) {
    auto [folder, name] = platform::SplitPath(path);
    if (name.empty()) return {};
    Listing& listing = ListingOf(folder);
    bool followed = kept_folders::Followed(name);
    // Answered from the kept listing alone unless this request created files here.
    NoteLookupLocked(folder, listing.kept && followed && listing.names.empty());
    if (listing.kept && !followed) return platform::ExistingFile(path);
    std::string folded = text::LowerCase(name);
    auto created = listing.names.find(folded);
    const std::string* found = Choose(listing.kept ? listing.kept->FilesFolded(folded) : nullptr,
                                      created == listing.names.end() ? nullptr : &created->second, name);
    if (!found) return {};
    return *found == name ? path : folder + *found;
}

std::string FolderView::Existing(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return ExistingLocked(path);
}

std::vector<platform::DirEntry> FolderView::FindFiles(const std::string& mask) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [folder, pattern] = platform::SplitPath(mask);
    // Only a kept folder is looked at here: a request that keeps nothing
    // searches the disk as it always did.
    if (KeptMask(pattern) && KeptLocked(folder)) {
        Listing& listing = ListingOf(folder);
        // Files this request made are not in the kept listing: the disk knows them.
        if (listing.kept && listing.names.empty()) {
            std::vector<platform::DirEntry> found;
            bool followed = true;
            for (const platform::DirEntry& entry : listing.kept->Entries())
                if (platform::MatchesMask(entry.name, pattern)) {
                    found.push_back(entry);
                    followed = followed && kept_folders::Followed(entry.name);
                }
            // A private file the listing holds may be gone since: the disk knows.
            if (followed) {
                NoteLookupLocked(folder, true);
                return found;
            }
        }
    }
    NoteLookupLocked(folder, false);
    return platform::FindFiles(mask);
}

void FolderView::NoteCreated(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [folder, name] = platform::SplitPath(path);
    NoteLookupLocked(folder, false);  // the folder is no longer as kept
    auto it = listings_.find(folder);
    if (it == listings_.end()) return;  // listed afresh on first use
    Listing& listing = it->second;
    std::string folded = text::LowerCase(name);
    if (listing.kept)
        if (const auto* listed = listing.kept->FilesFolded(folded))
            for (const auto& n : *listed)
                if (n == name) return;
    auto& names = listing.names[folded];
    for (const auto& n : names)
        if (n == name) return;
    names.push_back(name);
}

bool FolderView::StampLocked(const std::string& path, platform::FileStamp& stamp) {
    auto it = stamps_.find(path);
    if (it == stamps_.end()) {
        platform::FileStamp read;
        bool ok = platform::ReadFileStamp(path, read, true);
        it = stamps_.emplace(path, std::make_pair(ok, read)).first;
    }
    stamp = it->second.second;
    return it->second.first;
}

void FolderView::NoteReadLocked(const std::string& folder, const std::string& name,
                                const platform::FileStamp& stamp) {
    if (!record_ || folder != record_->folder_) return;
    for (const kept_folders::Dependency& known : record_->dependsOn_)
        if (known.name == name) return;  // read again (a listing file is, to sort and to show)
    record_->dependsOn_.push_back({name, stamp});
}

std::string FolderView::FirstLine(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string existing = ExistingLocked(path);
    if (existing.empty()) return {};
    auto [folder, name] = platform::SplitPath(existing);
    // A resident process keeps the line while the folder stays unchanged;
    // followed by stamps, while the file's stamp (read before its content)
    // stays the same.
    platform::FileStamp stamp;
    auto kept = kept_folders::Followed(name) ? KeptLocked(folder) : nullptr;
    if (kept && kept->ByStamps() && !StampLocked(existing, stamp)) kept = nullptr;
    if (kept) {
        NoteLookupLocked(folder, true);
        if (kept->ByStamps()) NoteReadLocked(folder, name, stamp);
        std::string line;
        if (kept->FirstLine(name, line, stamp)) return line;
        line = platform::ReadFirstTextLine(existing);
        kept->KeepFirstLine(name, line, stamp);
        return line;
    }
    NoteLookupLocked(folder, false);
    auto it = firstLines_.find(existing);
    if (it != firstLines_.end()) return it->second;
    std::string line = platform::ReadFirstTextLine(existing);
    firstLines_.emplace(existing, line);
    return line;
}

bool FolderView::JpegSize(const std::string& path, int& width, int& height) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [folder, name] = platform::SplitPath(path);
    std::shared_ptr<kept_folders::FolderSnapshot> snapshot = kept_folders::Followed(name) ? KeptLocked(folder) : nullptr;
    platform::FileStamp stamp;
    if (snapshot && snapshot->ByStamps() && !StampLocked(path, stamp)) snapshot = nullptr;
    NoteLookupLocked(resident_ ? folder : std::string(), snapshot != nullptr);
    if (snapshot && snapshot->ByStamps()) NoteReadLocked(folder, name, stamp);
    if (snapshot && snapshot->JpegSize(name, width, height, stamp)) return true;
    if (!ReadJpegSize(path, width, height)) return false;
    // Only what was read: a file that could not be read is tried again.
    if (snapshot) snapshot->KeepJpegSize(name, width, height, stamp);
    return true;
}

std::shared_ptr<const kept_folders::KeptRendering> FolderView::KeptRendering(const std::string& folder,
                                                                           const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::shared_ptr<kept_folders::FolderSnapshot> kept = KeptLocked(folder);
    std::shared_ptr<const kept_folders::KeptRendering> rendering = kept ? kept->Rendering(key) : nullptr;
    if (!rendering || !kept->ByStamps()) return rendering;
    // Their stamps read together: each is a round trip to the server.
    std::vector<std::string> unread;
    for (const kept_folders::Dependency& dependency : rendering->dependsOn)
        if (!stamps_.count(folder + dependency.name)) unread.push_back(folder + dependency.name);
    std::vector<std::pair<bool, platform::FileStamp>> read = kept_folders::ReadServerStamps(unread);
    for (size_t i = 0; i < unread.size(); ++i) stamps_.emplace(unread[i], read[i]);
    for (const kept_folders::Dependency& dependency : rendering->dependsOn) {
        platform::FileStamp stamp;
        if (!StampLocked(folder + dependency.name, stamp) || !(stamp == dependency.stamp)) return nullptr;
    }
    return rendering;
}

FolderView::Record::Record(FolderView& view, std::string folder) : view_(view), folder_(std::move(folder)) {
    std::lock_guard<std::mutex> guard(view_.mutex_);
    previous_ = view_.record_;
    view_.record_ = this;
}

FolderView::Record::~Record() {
    std::lock_guard<std::mutex> guard(view_.mutex_);
    view_.record_ = previous_;
}

bool FolderView::Record::OnlyKept() const {
    std::lock_guard<std::mutex> guard(view_.mutex_);
    return onlyKept_;
}

std::vector<kept_folders::Dependency> FolderView::Record::Dependencies() const {
    std::lock_guard<std::mutex> guard(view_.mutex_);
    return dependsOn_;
}

namespace folder_view {

namespace {
FolderView* BoundView() {
    GalleryRequest* request = BoundRequest();
    return request ? &request->Folders() : nullptr;
}
}  // namespace

std::string Existing(const std::string& path) {
    if (FolderView* view = BoundView()) return view->Existing(path);
    return platform::ExistingFile(path);
}

std::vector<platform::DirEntry> FindFiles(const std::string& mask) {
    if (FolderView* view = BoundView()) return view->FindFiles(mask);
    return platform::FindFiles(mask);
}

void NoteCreated(const std::string& path) {
    if (FolderView* view = BoundView()) view->NoteCreated(path);
}

std::string FirstLine(const std::string& path) {
    if (FolderView* view = BoundView()) return view->FirstLine(path);
    std::string existing = platform::ExistingFile(path);
    return existing.empty() ? std::string() : platform::ReadFirstTextLine(existing);
}

bool JpegSize(const std::string& path, int& width, int& height) {
    if (FolderView* view = BoundView()) return view->JpegSize(path, width, height);
    return ReadJpegSize(path, width, height);
}

}  // namespace folder_view
