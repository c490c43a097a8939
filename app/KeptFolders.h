// What the gallery learned about a folder (its entries, the first lines of
// its text files, the sizes of its JPEG files), kept between the requests of
// a resident process for as long as it is provably the folder on disk,
// unchanged.
//
// A process that serves one request (CGI) keeps nothing: there every lookup
// goes to the disk as before. A resident one (FastCGI) watches every folder
// it keeps; each request begins by taking the changes reported since the last
// one, and a folder in which anything was created, written, renamed, deleted
// or had its attributes changed is forgotten whole and read afresh when next
// used. The first time a request uses a kept folder, the folder its name
// leads to now (every link on the way followed) must be the one kept, by
// device and inode: a symbolic link switched to another release, or a folder
// swapped for another here or above, gets the new folder kept in its place.
// So a change made before a request is sent shows in that request. When
// changes were lost (too many at once) or a watch ended (its folder removed,
// moved or unmounted), nothing the queue said can be trusted to speak for a
// name: every folder and every watch is dropped. A folder that cannot be
// watched is never kept.
//
// A page's piece made from one folder's files alone (the photo page's table)
// is kept with the folder too, under a key naming everything else it was made
// from, and goes with the folder's snapshot.
//
// Not followed: the gallery's own private files, which requests write but no
// photo page shows: the trace file (names ending in ".tst"), the slideshow's
// positions ("SlideNext*.txt") and slide ("t_SLIDEIMAGE.JPG"), and the files
// on their way into place, thumbnail claims and kept slides (names holding
// ".~"). Their changes leave a folder kept, and lookups of such names always
// go to the disk (a page that looks one up is not kept). Nor a file changed
// through a name in another folder (a hard link, or the target of a symbolic
// link elsewhere): the site owner changes a picture's files in its folder.
#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/FileStamps.h"
#include "platform/Files.h"

namespace kept_folders {

// At most this many folders are kept; the one used longest ago goes first.
constexpr size_t MaxKeptFolders = 64;
// A folder with more entries than this is not kept.
constexpr size_t MaxKeptFolderEntries = 20000;
// All kept folders together hold at most about this many bytes of names,
// lines, sizes and pieces of pages; to keep more, the folders used longest
// ago that no request is using go, as many as it takes and no more.
constexpr size_t MaxKeptBytes = 16 * 1024 * 1024;
// A first line longer than this is read from the disk each time.
constexpr size_t MaxKeptLineBytes = 4096;
// At most this many pieces of pages are kept with one folder (one per host
// name and URL folder it is asked under); a new one replaces the oldest.
constexpr size_t MaxKeptRenderingsPerFolder = 4;
// On a folder followed by stamps, a stamp whose times are this recent, by
// this machine's clock, is not trusted to tell a later change: a change
// within the same tick of the file system's clock (two seconds on some) would
// leave it as it is. What it stamps is read again until it has settled. It
// also covers the file server's clock running a little ahead of this one.
constexpr double SettledStampSeconds = 3;

// Whether a stamp is old enough to tell any later change (SettledStampSeconds).
bool Settled(const platform::FileStamp& stamp);
// Threads that read stamps from a file system's server together.
constexpr int StampReaderThreads = 8;
// The stamps of paths, read from their file system's server
// (platform::ReadFileStamp): several at once, on StampReaderThreads threads
// beside the caller's, as each is a round trip to the server that the others
// need not wait for. The first of each pair is false when none could be read.
std::vector<std::pair<bool, platform::FileStamp>> ReadServerStamps(const std::vector<std::string>& paths);

// A file a piece of a page was made from, with its stamp then.
struct Dependency {
    std::string name;
    platform::FileStamp stamp;
};

// A piece of a page as it was made: its HTML (lines ending in CR LF), its
// trace lines in order, and the number the page shows with it. On a folder
// followed by stamps, also the files whose content it was made from (the
// names it found are the folder's listing's).
struct KeptRendering {
    std::string html;
    std::vector<std::string> traceLines;
    int number = 0;
    std::vector<Dependency> dependsOn;
};

// What is known about one folder as it was when listed. Of a folder followed
// by stamps, what it knows of a file holds only while the file's stamp is the
// one it was read under, and is kept only under a settled stamp.
class FolderSnapshot {
public:
    FolderSnapshot(std::vector<platform::DirEntry> entries, bool byStamps);
    ~FolderSnapshot();
    FolderSnapshot(const FolderSnapshot&) = delete;
    FolderSnapshot& operator=(const FolderSnapshot&) = delete;

    // Every entry, folders too, in directory order.
    const std::vector<platform::DirEntry>& Entries() const { return entries_; }
    // The files (not folders) whose names fold to this lower-case name, in
    // directory order; nullptr when there is none.
    const std::vector<std::string>* FilesFolded(const std::string& lowerCaseName) const;
    size_t Bytes() const { return bytes_; }
    // Followed by stamps read from the file system's server, not by the
    // change queue (a file system other machines change).
    bool ByStamps() const { return byStamps_; }

    // The first line of the file name, if known. stamp: the file's stamp,
    // read before its content (ignored on a folder the change queue follows).
    bool FirstLine(const std::string& name, std::string& line, const platform::FileStamp& stamp = {}) const;
    void KeepFirstLine(const std::string& name, const std::string& line, const platform::FileStamp& stamp = {});
    // The width and height of the JPEG file name, if known.
    bool JpegSize(const std::string& name, int& width, int& height, const platform::FileStamp& stamp = {}) const;
    void KeepJpegSize(const std::string& name, int width, int height, const platform::FileStamp& stamp = {});
    // The piece kept under key, or nullptr. On a folder followed by stamps,
    // the caller checks its dependencies.
    std::shared_ptr<const KeptRendering> Rendering(const std::string& key) const;
    void KeepRendering(const std::string& key, std::shared_ptr<const KeptRendering> rendering);

private:
    bool Reserve(size_t bytes);
    void Release(size_t bytes);

    const std::vector<platform::DirEntry> entries_;
    const bool byStamps_;
    std::unordered_map<std::string, std::vector<std::string>> files_;
    size_t bytes_ = 0;  // counted in the process-wide total while the snapshot lives
    mutable std::mutex mutex_;
    struct Line {
        std::string text;
        platform::FileStamp stamp;
    };
    std::unordered_map<std::string, Line> lines_;
    struct Size {
        int width, height;
        platform::FileStamp stamp;
    };
    std::unordered_map<std::string, Size> sizes_;
    struct Kept {
        std::string key;
        std::shared_ptr<const KeptRendering> rendering;
        size_t bytes;
    };
    std::vector<Kept> renderings_;  // oldest first
};

// Takes the changes reported since the last call and forgets the folders
// they touched: a resident process's request does so first.
void TakeChanges();
// The folder's snapshot, listed now when none is kept; nullptr when the
// folder cannot be kept. folder ends in a separator. A request asks once per
// folder and holds the snapshot to its end (FolderView.h).
std::shared_ptr<FolderSnapshot> Snapshot(const std::string& folder);
// False for names whose changes are not followed (the private files above).
bool Followed(const std::string& name);

// For tests: how many folders are kept now, and the total bytes they hold.
size_t KeptFolderCount();
size_t KeptBytes();
// For tests: the change queue acts as if it overflowed now (what it holds is
// dropped, the next request is told changes were lost).
void LoseChangesForTests();

}  // namespace kept_folders
