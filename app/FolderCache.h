// What the gallery learned about a folder (its entries, the first lines of
// its text files, the sizes of its JPEG files), kept between the requests of
// a resident process for as long as the folder stays unchanged.
//
// A process that serves one request (CGI) keeps nothing: there every lookup
// goes to the disk as before. A resident one (FastCGI) watches every folder
// it keeps; each request begins by taking the changes reported since the last
// one, and a folder in which anything was created, written, renamed, deleted
// or had its attributes changed is forgotten whole and read afresh when next
// used. So a change made before a request is sent shows in that request.
// When changes were lost (too many at once) every folder is forgotten; a
// folder that cannot be watched is never kept.
//
// Not followed: the trace file (names ending in ".tst"), which every request
// rewrites; lookups of such names always go to the disk. Nor a file changed
// through a name in another folder (a hard link, or the target of a symbolic
// link elsewhere): the site owner changes a picture's files in its folder.
#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Files.h"

namespace folder_cache {

// At most this many folders are kept; the one used longest ago goes first.
constexpr size_t MaxKeptFolders = 64;
// A folder with more entries than this is not kept.
constexpr size_t MaxKeptFolderEntries = 20000;
// All kept folders together hold at most about this many bytes of names,
// lines and sizes; beyond it nothing more is kept until folders are dropped.
constexpr size_t MaxKeptBytes = 16 * 1024 * 1024;
// A first line longer than this is read from the disk each time.
constexpr size_t MaxKeptLineBytes = 4096;

// What is known about one folder as it was when listed.
class FolderSnapshot {
public:
    explicit FolderSnapshot(std::vector<platform::DirEntry> entries);
    ~FolderSnapshot();
    FolderSnapshot(const FolderSnapshot&) = delete;
    FolderSnapshot& operator=(const FolderSnapshot&) = delete;

    // Every entry, folders too, in directory order.
    const std::vector<platform::DirEntry>& Entries() const { return entries_; }
    // The files (not folders) whose names fold to this lower-case name, in
    // directory order; nullptr when there is none.
    const std::vector<std::string>* FilesFolded(const std::string& lowerCaseName) const;
    size_t Bytes() const { return bytes_; }

    // The first line of the file name, if known.
    bool FirstLine(const std::string& name, std::string& line) const;
    void KeepFirstLine(const std::string& name, const std::string& line);
    // The width and height of the JPEG file name, if known.
    bool JpegSize(const std::string& name, int& width, int& height) const;
    void KeepJpegSize(const std::string& name, int width, int height);

private:
    bool Reserve(size_t bytes);

    const std::vector<platform::DirEntry> entries_;
    std::unordered_map<std::string, std::vector<std::string>> files_;
    size_t bytes_ = 0;  // counted in the process-wide total while the snapshot lives
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> lines_;
    std::unordered_map<std::string, std::pair<int, int>> sizes_;
};

// Begins a request on the calling thread. keep: the hosting is resident;
// the changes since the last request are taken and the folders they touched
// forgotten, and the request may use and fill the cache. Otherwise the
// request uses none.
void BeginRequest(bool keep);
// Whether the calling thread's request may use the cache.
bool Keeping();
// The folder as this request sees it (one snapshot per folder for the whole
// request), or nullptr when the request keeps nothing or the folder is not
// kept. folder ends in a separator.
std::shared_ptr<FolderSnapshot> Snapshot(const std::string& folder);
// False for names whose changes are not followed (the trace file).
bool Followed(const std::string& name);
// ReadJpegSize (imaging/Picture.h), answered from the cache when it can be.
bool ReadJpegSizeKept(const std::string& path, int& width, int& height);

// For tests: how many folders are kept now, and the total bytes they hold.
size_t KeptFolderCount();
size_t KeptBytes();

}  // namespace folder_cache
