// What a file or folder is now, as far as a copy of what it held, kept in
// memory, can tell whether it still holds that: which file it is (device and
// inode), its size and its times. And whether a folder's changes can be
// followed at all by the change queue (ChangeQueue.h), or only by stamps.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;  // last write, nanoseconds since the epoch
    int64_t changedNs = 0;   // last write or change of its attributes (no one can set it)
    bool operator==(const FileStamp&) const = default;
    bool SameFile(const FileStamp& other) const { return device == other.device && inode == other.inode; }
};

// The stamp of the file or folder path names now (links followed); false
// when there is none. fromServer: asked of the file system's server, past
// this system's cache of attributes (network and user-space file systems
// cache them for a while).
bool ReadFileStamp(const std::string& path, FileStamp& stamp, bool fromServer);

// Whether every change to the folder's files is made through this system,
// so that the change queue reports it: true for this machine's own file
// systems; false for network and user-space (FUSE) ones, whose files other
// machines or processes change unseen, and for any kind not known here.
bool ChangesPassThisSystem(const std::string& folder);

}  // namespace platform
