#include "platform/Memory.h"

#include <cstdlib>
#include <new>

#include "platform/windows/Win32.h"

namespace platform {

namespace {
// Below this the ordinary heap serves better (and reuses freed memory).
constexpr size_t LargeBlock = size_t(4) << 20;
}  // namespace

void* AllocateZeroedBlock(size_t size) {
    if (size < LargeBlock) {
        void* p = std::calloc(size ? size : 1, 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    // Fresh pages from the system are zero. Large pages need a privilege
    // that a web server's account does not have: ordinary pages.
    void* block = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!block) throw std::bad_alloc();
    return block;
}

void FreeBlock(void* block, size_t size) {
    if (!block) return;
    if (size < LargeBlock) {
        std::free(block);
        return;
    }
    VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace platform
