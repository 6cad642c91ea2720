// The string that holds a server's answer while it is received and cut.
#ifndef DOWNLOAD_RESPONSE_STRING_H
#define DOWNLOAD_RESPONSE_STRING_H

#include <cstddef>

namespace ResponseMemory {

// Size and alignment of a transparent huge page.
const size_t HUGE_PAGE_SIZE = 2u << 20;
// The first block, and the unit capacities below a huge page are rounded to
// (a whole number of pages of every page size in use).
const size_t FIRST_BLOCK_SIZE = 64u << 10;

}  // namespace ResponseMemory

// A server's answer, appended to chunk by chunk. Its bytes live in one
// anonymous mapping that starts at a huge-page boundary with the huge-page
// advice given before any byte is touched; when it must grow, the mapping is
// extended in place or its pages are moved whole to a larger aligned range
// (mremap), so growing copies nothing and never holds two blocks at once.
// Chosen over std::string, whose growth copies the whole answer into a second
// block while the first is still resident. A small answer has normal pages;
// above 256 KiB its few bytes move once to memory of at least 2 MiB, where
// each 2 MiB is one huge page if the system has them.
class ResponseString {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    ResponseString() noexcept {}
    // A copy of size bytes at text. Throws std::bad_alloc.
    ResponseString(const char* text, size_t size);
    ResponseString(ResponseString&& other) noexcept;
    ResponseString& operator=(ResponseString&& other) noexcept;
    ~ResponseString();
    ResponseString(const ResponseString&) = delete;
    ResponseString& operator=(const ResponseString&) = delete;

    size_t size() const noexcept { return mSize; }
    bool empty() const noexcept { return mSize == 0; }
    size_t capacity() const noexcept { return mCapacity; }
    // The largest size the string may reach (its mapping and the alignment
    // slack must fit in the address space).
    static size_t max_size() noexcept;
    // The bytes, not NUL-terminated; "" before anything was appended.
    const char* data() const noexcept { return mData != nullptr ? mData : ""; }
    char operator[](size_t position) const noexcept { return mData[position]; }

    // Makes room for at least capacity bytes: doubling, then rounded up to the
    // first block's unit up to 256 KiB and to whole huge pages above.
    // Throws std::length_error above max_size() and std::bad_alloc when the
    // system refuses the memory; the string is unchanged then.
    void reserve(size_t capacity);
    void append(const char* text, size_t length);
    // Forgets the bytes and keeps the memory.
    void clear() noexcept { mSize = 0; }

    // Position of the first text (length bytes, or up to its NUL) at or after
    // position, or npos.
    size_t find(const char* text, size_t position, size_t length) const noexcept;
    size_t find(const char* text, size_t position = 0) const noexcept;

private:
    void Release() noexcept;

    char* mData = nullptr;
    size_t mSize = 0;
    size_t mCapacity = 0;   // bytes mapped at mData
};

#endif
