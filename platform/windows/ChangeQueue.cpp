#include "platform/ChangeQueue.h"

namespace platform {

// Windows builds have no resident hosting that keeps folders between
// requests (no FastCGI there): the service is absent, so nothing is kept and
// every lookup goes to the disk.
ChangeQueue::ChangeQueue() = default;
ChangeQueue::~ChangeQueue() = default;

int ChangeQueue::Watch(const std::string&) { return -1; }

void ChangeQueue::Unwatch(int) {}

std::vector<ChangeQueue::Change> ChangeQueue::Take() { return {}; }

void ChangeQueue::ActAsOverflowed() {}

}  // namespace platform
