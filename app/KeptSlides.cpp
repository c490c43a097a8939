#include "app/KeptSlides.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/FolderView.h"
#include "app/PictureFormats.h"
#include "app/ThumbnailClaims.h"
#include "app/Thumbnails.h"
#include "engine/PrivateFolder.h"
#include "imaging/PictureFormat.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Path.h"
#include "platform/Stream.h"

namespace {

// Changes whenever a slide is made differently from the same picture, so that
// slides kept by an older program are not taken for new ones.
constexpr int KeptSlideFormat = 1;
constexpr size_t KeyDigits = 16;

// Writes go on to the stream; tells whether one of them failed (as against
// the picture failing to decode) and how many bytes went through.
class NotedWrites : public Stream {
public:
    explicit NotedWrites(Stream& inner) : inner_(inner) {}
    int64_t Read(void*, int64_t) override { return -1; }
    int64_t Write(const void* buffer, int64_t count) override {
        int64_t n = inner_.Write(buffer, count);
        if (n == count) written_ += n;
        else failed_ = true;
        return n;
    }
    int64_t Seek(int64_t offset, int whence) override { return inner_.Seek(offset, whence); }
    bool Failed() const { return failed_; }
    int64_t Written() const { return written_; }

private:
    Stream& inner_;
    bool failed_ = false;
    int64_t written_ = 0;
};

// A slide written to a file.
struct Written {
    bool ok = false;       // the file holds the slide (false: it could not be written)
    bool decoded = false;  // false: the picture could not be decoded, and the file is empty
    int64_t bytes = 0;
    int width = 0;  // for the trace line
};

// Writes the slide of the picture (read from its start) into a new file at
// path; a picture that cannot be decoded leaves the file empty.
Written WriteSlideFile(Stream& picture, const imaging::PictureFormat& format, int height, int quality,
                       const std::string& path) {
    Written result;
    try {
        {
            FileStream file(path, platform::OpenMode::Create);
            NotedWrites out(file);
            try {
                result.width = WriteFittedJpeg(picture, format, height, quality, out);
                result.decoded = true;
                result.bytes = out.Written();
            } catch (const std::exception&) {
                if (out.Failed()) return result;
                result.width = DerivedWidth(height, 1.0);
            }
        }
        if (!result.decoded) {
            FileStream empty(path, platform::OpenMode::Create);
        }
        result.ok = true;
    } catch (const std::exception&) {
        result.ok = false;  // the file could not be created or emptied
    }
    return result;
}

// The upright size from the picture's header; false when it cannot be read.
bool UprightSize(Stream& picture, const imaging::PictureFormat& format, int& width, int& height) {
    try {
        if (picture.Seek(0, 0) != 0) return false;
        const imaging::PictureHeader header = format.OpenStream(picture)->ReadHeader();
        width = header.UprightWidth();
        height = header.UprightHeight();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CopyInto(platform::File& from, const std::string& path) {
    try {
        if (from.Seek(0, 0) != 0) return false;
        platform::File to = platform::File::Open(path, platform::OpenMode::Create);
        std::vector<char> block(64 * 1024);
        for (;;) {
            int64_t n = from.Read(block.data(), static_cast<int64_t>(block.size()));
            if (n < 0) return false;
            if (n == 0) return true;
            if (to.Write(block.data(), n) != n) return false;
        }
    } catch (const std::exception&) {
        return false;
    }
}

// Puts a file in place under two names at once: make puts it at a temporary
// name, a second temporary name is linked to it, and both are renamed into
// place, so that no reader sees a part of a file under either name.
bool PlaceUnderTwoNames(const std::string& path, const std::string& alsoAs,
                        const std::function<bool(const std::string& temporary)>& make) {
    std::string temporary = platform::TemporaryNameBeside(path);
    std::string second = temporary + "b";
    bool ok = make(temporary) && platform::HardLink(temporary, second) && platform::RenameFile(temporary, path) &&
              platform::RenameFile(second, alsoAs);
    platform::DeleteFile(temporary);
    platform::DeleteFile(second);
    if (ok) {
        folder_view::NoteCreated(path);
        folder_view::NoteCreated(alsoAs);
    }
    return ok;
}

// Puts the kept slide in place; false when none is kept. width receives its
// trace width: the picture's derived width, read from its header, or for an
// empty slide (a picture that could not be decoded) the height's.
bool PlaceKept(const std::string& kept, Stream& picture, const imaging::PictureFormat& format, int height,
               const std::string& slidePath, const std::string& alsoAs, int& width) {
    int error = 0;
    platform::File file = platform::File::TryOpen(kept, platform::OpenMode::Read, error);
    if (!file.IsOpen()) return false;
    width = DerivedWidth(height, 1.0);
    int fullWidth = 0, fullHeight = 0;
    if (file.Size() > 0 && UprightSize(picture, format, fullWidth, fullHeight))
        width = DerivedWidth(height, AspectRatio(fullWidth, fullHeight));
    // Shown now: the last to go, and the slide file is as new as one made now.
    platform::SetFileModificationTime(kept, platform::NowSeconds());
    PlaceUnderTwoNames(slidePath, alsoAs, [&](const std::string& temporary) {
        // Another file system, or taken away meanwhile: a copy of the file held open.
        return platform::HardLink(kept, temporary) || CopyInto(file, temporary);
    });
    return true;
}

bool IsKeptSlideName(const std::string& name) {
    const size_t prefix = std::char_traits<char>::length(KeptSlidePrefix);
    if (name.size() != prefix + KeyDigits || name.compare(0, prefix, KeptSlidePrefix) != 0) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Makes the kept slide (under a temporary name, then renamed) and makes room
// for it. False when it could not be written there, or when there is nothing
// worth keeping (a slide without width: nothing was decoded for it).
bool MakeKept(Stream& picture, const imaging::PictureFormat& format, int height, int quality,
              const std::string& kept) {
    std::string temporary = platform::TemporaryNameBeside(kept);
    Written made = WriteSlideFile(picture, format, height, quality, temporary);
    if (!made.ok || (made.decoded && made.bytes == 0) || !platform::RenameFile(temporary, kept)) {
        platform::DeleteFile(temporary);
        return false;
    }
    MakeRoomForKeptSlides(platform::FolderPart(kept), kept);
    return true;
}

void Mix(uint64_t& hash, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= 1099511628211ull;  // FNV-1a
    }
}

}  // namespace

void MakeRoomForKeptSlides(const std::string& folder, const std::string& newest, int maxSlides, int64_t maxBytes) {
    struct Entry {
        std::string path;
        int64_t bytes;
        int64_t shownNs;
    };
    std::vector<Entry> kept;
    const double now = platform::NowSeconds();
    for (const platform::DirEntry& entry : platform::FindFiles(folder + KeptSlidePrefix + "*")) {
        if (entry.directory) continue;
        std::string path = folder + entry.name;
        platform::FileVersion version;
        if (!platform::ReadFileVersion(path, version)) continue;
        if (IsKeptSlideName(entry.name)) kept.push_back({path, version.size, version.modifiedNs});
        else if (static_cast<double>(version.modifiedNs) / 1e9 < now - KeptSlideLeftoverSeconds) platform::DeleteFile(path);
    }
    std::sort(kept.begin(), kept.end(), [&](const Entry& a, const Entry& b) {
        if ((a.path == newest) != (b.path == newest)) return a.path == newest;
        return a.shownNs > b.shownNs;
    });
    int count = 0;
    int64_t bytes = 0;
    bool full = false;
    for (const Entry& entry : kept) {
        full = full || (count > 0 && (count + 1 > maxSlides || bytes + entry.bytes > maxBytes));
        if (full) {
            platform::DeleteFile(entry.path);
            continue;
        }
        ++count;
        bytes += entry.bytes;
    }
}

std::string KeptSlidePath(const platform::FileVersion& picture, int height, int quality) {
    uint64_t hash = 14695981039346656037ull;
    for (uint64_t value : {uint64_t(KeptSlideFormat), picture.device, picture.number, uint64_t(picture.size),
                           uint64_t(picture.modifiedNs), uint64_t(picture.changedNs), uint64_t(height),
                           uint64_t(quality)})
        Mix(hash, value);
    char digits[KeyDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return PrivateFolder() + KeptSlidePrefix + digits;
}

int PutSlideInPlace(const std::string& picture, int height, int quality, const std::string& slidePath,
                    const std::string& alsoAs) {
    int error = 0;
    platform::File file = platform::File::TryOpen(picture, platform::OpenMode::Read, error);
    platform::FileVersion version;
    const bool known = file.IsOpen() && file.Version(version);
    // A file that cannot be opened reads as nothing: it makes an empty slide.
    FileStream stream(std::move(file));
    const imaging::PictureFormat& format = PictureFormatOf(picture);
    int width = DerivedWidth(height, 1.0);
    if (known) {
        // Made once by one request, which the others that want it meanwhile
        // wait for; then only put in place.
        const std::string kept = KeptSlidePath(version, height, quality);
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (PlaceKept(kept, stream, format, height, slidePath, alsoAs, width)) return width;
            if (attempt == 2) break;
            if (ClaimThumbnail(kept)) {
                HeldThumbnailClaim held(kept);
                if (!platform::FileExists(kept) && !MakeKept(stream, format, height, quality, kept)) break;
            } else {
                AwaitThumbnail(kept);
            }
        }
    }
    // Nothing kept: made in place, as every request made it once.
    PlaceUnderTwoNames(slidePath, alsoAs, [&](const std::string& temporary) {
        Written made = WriteSlideFile(stream, format, height, quality, temporary);
        width = made.width;
        return made.ok;
    });
    return width;
}
