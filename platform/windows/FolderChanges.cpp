#include "platform/FolderChanges.h"

namespace platform {

// Windows builds have no resident hosting that keeps folders between
// requests (no FastCGI there): the service is absent, so nothing is kept and
// every lookup goes to the disk.
FolderChanges::FolderChanges() = default;
FolderChanges::~FolderChanges() = default;

int FolderChanges::Watch(const std::string&) { return -1; }

void FolderChanges::Unwatch(int) {}

std::vector<FolderChanges::Change> FolderChanges::Take() { return {}; }

}  // namespace platform
