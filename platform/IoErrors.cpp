#include <cerrno>

#include "platform/Exception.h"
#include "platform/File.h"

namespace platform {

std::string IoErrorMessage(int error) {
    switch (error) {
        case ENOENT: return "File not found";
        case ENOTDIR: return "Path not found";
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return "File access denied";
        case EMFILE: return "Too many open files";
        case ENOSPC: return "Disk full";
        default: return "I/O error " + std::to_string(error);
    }
}

void RaiseIoError(int error) { throw EInOutError(IoErrorMessage(error), error); }

}  // namespace platform
