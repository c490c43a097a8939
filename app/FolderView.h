// How one request sees the folders it looks into. Names are matched as the
// site owner expects (exact name first, else ignoring letter case), and a
// folder is listed once per request instead of once per lookup: a photo page
// asks about four files per picture. A resident process's request sees a
// folder through what the process keeps of it between requests
// (KeptFolders.h), the same snapshot for the whole request. The view knows
// the files the request created, and keeps the record of what a piece of a
// page being made looked up (Record), which decides whether that piece may be
// kept with its folder.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/KeptFolders.h"
#include "platform/Files.h"

class FolderView {
public:
    // resident: the request may use and fill what the process keeps of its
    // folders; the changes reported since the last request are taken first.
    explicit FolderView(bool resident);
    FolderView(const FolderView&) = delete;
    FolderView& operator=(const FolderView&) = delete;
    bool Resident() const { return resident_; }

    // The on-disk path of an existing file (not a folder), or "".
    std::string Existing(const std::string& path);
    // platform::FindFiles, answered from the kept listing when it can be.
    std::vector<platform::DirEntry> FindFiles(const std::string& mask);
    // Tells the view that the request created path (any thread working for
    // the request may).
    void NoteCreated(const std::string& path);
    // The first line of a text file, or "" when it does not exist; read once
    // per request (the photo page reads each listing file twice), and kept
    // with the folder while a resident process keeps it. Raises the runtime's
    // I/O error when the file exists but cannot be read.
    std::string FirstLine(const std::string& path);
    // ReadJpegSize (imaging/Picture.h), answered from the kept folder when it can be.
    bool JpegSize(const std::string& path, int& width, int& height);
    // The folder as kept between requests (one snapshot per folder for the
    // whole request), or nullptr when the request keeps nothing or the folder
    // is not kept. folder ends in a separator.
    std::shared_ptr<kept_folders::FolderSnapshot> Kept(const std::string& folder);
    // The piece of a page kept with the folder under key, while the files it
    // was made from are as they were (a folder followed by stamps); nullptr
    // otherwise.
    std::shared_ptr<const kept_folders::KeptRendering> KeptRendering(const std::string& folder,
                                                                     const std::string& key);
    // Tells the record of a lookup in folder (ending in a separator);
    // fromKept: answered from the folder's kept snapshot.
    void NoteLookup(const std::string& folder, bool fromKept);

    // Notes, while it lives, whether every lookup the request makes is
    // answered from the one folder's kept snapshot, so that what is made from
    // them may be kept with the folder. A lookup that goes to the disk, in
    // another folder, of a name not followed, or in a folder this request has
    // changed spoils the record.
    class Record {
    public:
        Record(FolderView& view, std::string folder);
        ~Record();
        Record(const Record&) = delete;
        Record& operator=(const Record&) = delete;
        // Every lookup since it began was in the folder, from its kept snapshot.
        bool OnlyKept() const;
        // On a folder followed by stamps: the files whose content was read,
        // with the stamps they were read under.
        std::vector<kept_folders::Dependency> Dependencies() const;

    private:
        friend class FolderView;
        FolderView& view_;
        std::string folder_;
        bool onlyKept_ = true;
        std::vector<kept_folders::Dependency> dependsOn_;
        Record* previous_;
    };

private:
    struct Listing {
        // The folder as kept between requests, or null: then names holds the
        // listing made for this request.
        std::shared_ptr<kept_folders::FolderSnapshot> kept;
        // Folded name -> on-disk names with that folding, in directory order;
        // with a kept folder, only the files this request created.
        std::unordered_map<std::string, std::vector<std::string>> names;
    };
    // The members below are guarded by mutex_; these expect it held.
    Listing& ListingOf(const std::string& folder);
    std::shared_ptr<kept_folders::FolderSnapshot> KeptLocked(const std::string& folder);
    std::string ExistingLocked(const std::string& path);
    void NoteLookupLocked(const std::string& folder, bool fromKept);
    // The stamp of an existing file of a folder followed by stamps, read
    // from its server once per request; false when it cannot be read.
    bool StampLocked(const std::string& path, platform::FileStamp& stamp);
    // Notes that the record's folder's file name was read under stamp.
    void NoteReadLocked(const std::string& folder, const std::string& name, const platform::FileStamp& stamp);

    const bool resident_;
    std::mutex mutex_;
    std::map<std::string, Listing> listings_;
    // The kept snapshots this request uses, held until it ends.
    std::map<std::string, std::shared_ptr<kept_folders::FolderSnapshot>> pins_;
    // First lines read by this request, by on-disk path.
    std::unordered_map<std::string, std::string> firstLines_;
    // Stamps read by this request, by path (false: none could be read).
    std::unordered_map<std::string, std::pair<bool, platform::FileStamp>> stamps_;
    Record* record_ = nullptr;
};

// The lookups of the request the calling thread works for (GalleryRequest.h);
// outside a request they go to the disk.
namespace folder_view {

std::string Existing(const std::string& path);
inline bool Exists(const std::string& path) { return !Existing(path).empty(); }
std::vector<platform::DirEntry> FindFiles(const std::string& mask);
void NoteCreated(const std::string& path);
std::string FirstLine(const std::string& path);
bool JpegSize(const std::string& path, int& width, int& height);

}  // namespace folder_view
