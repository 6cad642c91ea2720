#include "download/response_string.h"

#include <sys/mman.h>

#include <cstdint>

namespace ResponseMemory {

namespace {

size_t RoundUp(size_t size)
{
    return (size + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1);
}

}  // namespace

void* MapBlock(size_t size)
{
    if (size > static_cast<size_t>(-1) - 2 * HUGE_PAGE_SIZE)
        throw std::bad_alloc();
    const size_t length = RoundUp(size);
    // One huge page more than needed, so that an aligned start lies inside;
    // the unaligned head and the rest of the tail are given back at once.
    const size_t mapped = length + HUGE_PAGE_SIZE;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + HUGE_PAGE_SIZE - 1) & ~static_cast<uintptr_t>(HUGE_PAGE_SIZE - 1);
    const size_t head = aligned - start;
    if (head > 0)
        munmap(raw, head);
    if (mapped - head > length)
        munmap(reinterpret_cast<void*>(aligned + length), mapped - head - length);
    // Without transparent huge pages (as on the device) the advice is refused,
    // which changes nothing.
    void* block = reinterpret_cast<void*>(aligned);
    madvise(block, length, MADV_HUGEPAGE);
    return block;
}

void UnmapBlock(void* block, size_t size) noexcept
{
    munmap(block, RoundUp(size));
}

}  // namespace ResponseMemory
