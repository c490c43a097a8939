#include "platform/FileStamps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace platform {

bool ReadFileStamp(const std::string& path, FileStamp& stamp, bool fromServer) {
    struct statx st {};
    // AT_STATX_FORCE_SYNC: NFS, SMB, FUSE, 9p and Ceph ask their server
    // instead of answering from the attributes they cached.
    int flags = fromServer ? AT_STATX_FORCE_SYNC : AT_STATX_SYNC_AS_STAT;
    unsigned mask = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;
    if (statx(AT_FDCWD, path.c_str(), flags, mask, &st) != 0) return false;
    stamp.device = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
    stamp.inode = st.stx_ino;
    stamp.size = static_cast<int64_t>(st.stx_size);
    stamp.modifiedNs = st.stx_mtime.tv_sec * 1000000000LL + st.stx_mtime.tv_nsec;
    stamp.changedNs = st.stx_ctime.tv_sec * 1000000000LL + st.stx_ctime.tv_nsec;
    return true;
}

bool ChangesPassThisSystem(const std::string& folder) {
    struct statfs fs {};
    if (statfs(folder.c_str(), &fs) != 0) return false;
    // The file systems of this machine's own disks and memory (linux/magic.h),
    // where inotify sees every change. Everything else (NFS, SMB and CIFS,
    // FUSE, 9p, Ceph, AFS, cluster file systems, and kinds unknown here) may
    // change without this system knowing.
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0xF2F52010:  // F2FS
    case 0x2FC12FC1:  // ZFS
    case 0x3153464A:  // JFS
    case 0x52654973:  // ReiserFS
    case 0x3434:      // NILFS
    case 0xCA451A4E:  // bcachefs
    case 0x4D44:      // FAT
    case 0x2011BAB0:  // exFAT
    case 0x5346544E:  // NTFS
    case 0x7366746E:  // NTFS (ntfs3)
    case 0x482B:      // HFS+
    case 0x794C7630:  // overlay (changes made through it)
    case 0x73717368:  // SquashFS
    case 0xE0F5E1E2:  // EROFS
    case 0x9660:      // ISO 9660
    case 0x15013346:  // UDF
        return true;
    default:
        return false;
    }
}

}  // namespace platform
