// Large blocks of memory for pictures. A full-size camera picture is tens of
// megabytes; touched page by page that costs thousands of page faults, so big
// blocks ask the system for large pages where it offers them.
#pragma once
#include <cstddef>

namespace platform {

// A block of size bytes, all zero; raises std::bad_alloc when the system has
// no memory. Release it with FreeBlock and the same size.
void* AllocateZeroedBlock(size_t size);
void FreeBlock(void* block, size_t size);

}  // namespace platform
