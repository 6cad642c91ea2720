// The string that holds a server's answer while it is received and cut.
#ifndef DOWNLOAD_RESPONSE_STRING_H
#define DOWNLOAD_RESPONSE_STRING_H

#include <cstddef>
#include <new>
#include <string>

namespace ResponseMemory {

// Size and alignment of a transparent huge page.
const size_t HUGE_PAGE_SIZE = 2u << 20;
// Blocks of at least this many bytes are mapped on their own.
const size_t MAPPED_BLOCK_MIN = HUGE_PAGE_SIZE;

// Maps size bytes (rounded up to whole huge pages) at a huge-page boundary and
// gives the huge-page advice before any byte is touched. Throws std::bad_alloc.
void* MapBlock(size_t size);
// Unmaps a block of MapBlock(size), so that its pages go back to the system.
void UnmapBlock(void* block, size_t size) noexcept;

}  // namespace ResponseMemory

// Small answers come from the heap; large ones get mapped blocks of their own
// (chosen over a heap block, which is neither aligned nor advised before the
// string's copy touches it, nor given back to the system when freed).
template <typename T>
struct ResponseAllocator {
    using value_type = T;

    ResponseAllocator() noexcept = default;
    template <typename U>
    ResponseAllocator(const ResponseAllocator<U>&) noexcept {}

    T* allocate(size_t count)
    {
        if (count > static_cast<size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        const size_t bytes = count * sizeof(T);
        if (bytes < ResponseMemory::MAPPED_BLOCK_MIN)
            return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(ResponseMemory::MapBlock(bytes));
    }

    void deallocate(T* block, size_t count) noexcept
    {
        const size_t bytes = count * sizeof(T);
        if (bytes < ResponseMemory::MAPPED_BLOCK_MIN)
            ::operator delete(block);
        else
            ResponseMemory::UnmapBlock(block, bytes);
    }
};

template <typename T, typename U>
bool operator==(const ResponseAllocator<T>&, const ResponseAllocator<U>&) noexcept
{
    return true;
}

template <typename T, typename U>
bool operator!=(const ResponseAllocator<T>&, const ResponseAllocator<U>&) noexcept
{
    return false;
}

using ResponseString = std::basic_string<char, std::char_traits<char>, ResponseAllocator<char>>;

#endif
