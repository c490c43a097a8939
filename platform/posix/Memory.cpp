#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace platform {

namespace {

// Below this the ordinary heap serves better (and reuses freed memory).
constexpr size_t LargeBlock = size_t(4) << 20;
constexpr size_t HugePage = size_t(2) << 20;

size_t MappedSize(size_t size) { return (size + HugePage - 1) / HugePage * HugePage + HugePage; }

}  // namespace

void* AllocateZeroedBlock(size_t size) {
    if (size < LargeBlock) {
        void* p = std::calloc(size ? size : 1, 1);
        if (!p) throw std::bad_alloc();
        return p;
    }
    // Map one huge page more than needed and start at a huge-page boundary,
    // so that the whole block can be backed by huge pages. Fresh anonymous
    // memory is zero.
    size_t mapped = MappedSize(size);
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    uintptr_t start = (reinterpret_cast<uintptr_t>(base) + HugePage - 1) & ~(HugePage - 1);
    size_t head = start - reinterpret_cast<uintptr_t>(base);
    if (head) munmap(base, head);
    size_t tail = mapped - head - (MappedSize(size) - HugePage);
    if (tail) munmap(reinterpret_cast<void*>(start + mapped - head - tail), tail);
    void* block = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    madvise(block, mapped - HugePage, MADV_HUGEPAGE);
#endif
    return block;
}

void FreeBlock(void* block, size_t size) {
    if (!block) return;
    if (size < LargeBlock) {
        std::free(block);
        return;
    }
    munmap(block, MappedSize(size) - HugePage);
}

}  // namespace platform
