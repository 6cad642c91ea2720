#include "download/response_string.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

namespace {

using ResponseMemory::FIRST_BLOCK_SIZE;
using ResponseMemory::HUGE_PAGE_SIZE;

// An answer that outgrows this takes a whole huge page: one fault for its
// first 2 MiB instead of one per page. Chosen where the copy of the small
// block and the zeroing of the huge page cost about what 100 page faults do.
const size_t SMALL_BLOCK_MAX = 256u << 10;

size_t RoundUp(size_t size, size_t unit)
{
    return (size + unit - 1) & ~(unit - 1);
}

// Maps length bytes at a huge-page boundary: one huge page more than needed
// is mapped, so that an aligned start lies inside, and the unaligned head and
// the rest of the tail are given back at once. A range to move pages into is
// mapped without access, so that it is not counted as committed memory.
char* MapAligned(size_t length, int protection)
{
    const size_t mapped = length + HUGE_PAGE_SIZE;
    void* raw = mmap(nullptr, mapped, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + HUGE_PAGE_SIZE - 1) & ~static_cast<uintptr_t>(HUGE_PAGE_SIZE - 1);
    const size_t head = aligned - start;
    if (head > 0)
        munmap(raw, head);
    if (mapped - head > length)
        munmap(reinterpret_cast<void*>(aligned + length), mapped - head - length);
    return reinterpret_cast<char*>(aligned);
}

// Without transparent huge pages (as on the device) the advice is refused,
// which changes nothing.
void AdviseHugePages(char* block, size_t length)
{
    madvise(block, length, MADV_HUGEPAGE);
}

// Takes the pages of a fresh range at once. A kernel before 5.14 refuses the
// advice, and the pages then come one fault at a time as before.
void PopulatePages(char* block, size_t length)
{
    madvise(block, length, MADV_POPULATE_WRITE);
}

}  // namespace

size_t ResponseString::max_size() noexcept
{
    // Leaves room for the alignment slack; a whole number of huge pages.
    return (static_cast<size_t>(PTRDIFF_MAX) - HUGE_PAGE_SIZE) & ~(HUGE_PAGE_SIZE - 1);
}

ResponseString::ResponseString(const char* text, size_t size)
{
    reserve(size);
    append(text, size);
}

ResponseString::ResponseString(ResponseString&& other) noexcept
    : mData(other.mData), mSize(other.mSize), mCapacity(other.mCapacity)
{
    other.mData = nullptr;
    other.mSize = other.mCapacity = 0;
}

ResponseString& ResponseString::operator=(ResponseString&& other) noexcept
{
    if (this != &other) {
        Release();
        mData = other.mData;
        mSize = other.mSize;
        mCapacity = other.mCapacity;
        other.mData = nullptr;
        other.mSize = other.mCapacity = 0;
    }
    return *this;
}

ResponseString::~ResponseString()
{
    Release();
}

void ResponseString::Release() noexcept
{
    if (mData != nullptr)
        munmap(mData, mCapacity);
    mData = nullptr;
    mSize = mCapacity = 0;
}

void ResponseString::reserve(size_t capacity)
{
    if (capacity <= mCapacity)
        return;
    const size_t limit = max_size();
    if (capacity > limit)
        throw std::length_error("ResponseString::reserve");
    size_t length = mCapacity <= limit / 2 ? 2 * mCapacity : limit;
    if (length < capacity)
        length = capacity;
    if (length < FIRST_BLOCK_SIZE)
        length = FIRST_BLOCK_SIZE;
    // limit is a whole number of huge pages, so rounding stays within it.
    length = RoundUp(length, length < HUGE_PAGE_SIZE ? FIRST_BLOCK_SIZE : HUGE_PAGE_SIZE);
    if (length > SMALL_BLOCK_MAX && length < HUGE_PAGE_SIZE)
        length = HUGE_PAGE_SIZE;

    char* block;
    if (length < HUGE_PAGE_SIZE) {
        // A small block never holds a huge page: no alignment, no advice, and
        // its new pages are taken in one call rather than one fault each.
        void* grown = mData == nullptr
                          ? mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                          : mremap(mData, mCapacity, length, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED)
            throw std::bad_alloc();
        block = static_cast<char*>(grown);
        PopulatePages(block + mCapacity, length - mCapacity);
    } else if (mData == nullptr || mCapacity < HUGE_PAGE_SIZE) {
        block = MapAligned(length, PROT_READ | PROT_WRITE);
        AdviseHugePages(block, length);
        // A small block's normal pages would keep its first 2 MiB from ever
        // being a huge page: its few bytes are copied instead.
        if (mData != nullptr) {
            memcpy(block, mData, mSize);
            munmap(mData, mCapacity);
        }
    } else {
        // In place when the addresses after the mapping are free; otherwise the
        // pages move to an aligned range of the new length, which keeps huge
        // pages whole. Either way nothing is copied.
        void* grown = mremap(mData, mCapacity, length, 0);
        if (grown == MAP_FAILED) {
            char* target = MapAligned(length, PROT_NONE);
            grown = mremap(mData, mCapacity, length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
            if (grown == MAP_FAILED) {
                munmap(target, length);
                throw std::bad_alloc();
            }
        }
        block = static_cast<char*>(grown);
        AdviseHugePages(block, length);
    }
    mData = block;
    mCapacity = length;
}

void ResponseString::append(const char* text, size_t length)
{
    if (length == 0)
        return;
    if (length > mCapacity - mSize) {
        if (length > max_size() - mSize)
            throw std::length_error("ResponseString::append");
        reserve(mSize + length);
    }
    memcpy(mData + mSize, text, length);
    mSize += length;
}

size_t ResponseString::find(const char* text, size_t position, size_t length) const noexcept
{
    return std::string_view(data(), mSize).find(text, position, length);
}

size_t ResponseString::find(const char* text, size_t position) const noexcept
{
    return find(text, position, strlen(text));
}
