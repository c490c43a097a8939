#include "platform/FileStamps.h"

namespace platform {

// Windows builds keep nothing of a folder between requests (no resident
// hosting that would): no stamps are read, and no folder counts as followed.
bool ReadFileStamp(const std::string&, FileStamp&, bool) { return false; }

bool ChangesPassThisSystem(const std::string&) { return false; }

}  // namespace platform
