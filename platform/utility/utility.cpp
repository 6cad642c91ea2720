// String trimming, process-unique numbers and zero-filled buffers.
#include "utility/utility.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

using PlatformDetail::RetryOnInterrupt;

// Reads the whole of out from urandom; false when it cannot.
bool ReadUrandom(uint64_t& out)
{
    int fd = RetryOnInterrupt([] { return open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        return false;
    }
    ssize_t count = RetryOnInterrupt([&] { return read(fd, &out, sizeof out); });
    close(fd);
    return count == static_cast<ssize_t>(sizeof out);
}

uint64_t RandomSeed()
{
    uint64_t seed = 0;
    ssize_t count = RetryOnInterrupt([&] { return getrandom(&seed, sizeof seed, 0); });
    if (count == static_cast<ssize_t>(sizeof seed) || ReadUrandom(seed)) {
        return seed;
    }
    // No entropy source at all: time and pid still differ between hosts and boots.
    uint64_t now = static_cast<uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return now ^ (static_cast<uint64_t>(getpid()) << 32);
}

// The splitmix64 finalizer: a bijection of 64-bit values.
uint64_t Mix(uint64_t x)
{
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A plain mutex around the 64-bit counter: a 64-bit atomic is not lock-free
// on 32-bit PowerPC, and numbers are drawn a few times a second at most.
class UniqueNumberSource {
public:
    UniqueNumberSource() : mSeed(RandomSeed()), mCounter(0) {}

    uint64_t Next()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        uint64_t value;
        do {
            // seed + counter * odd is a bijection of the counter, and so is
            // Mix: distinct counters give distinct numbers.
            value = Mix(mSeed + mCounter++ * 0x9e3779b97f4a7c15ULL);
        } while (value == 0);
        return value;
    }

private:
    std::mutex mMutex;
    const uint64_t mSeed;
    uint64_t mCounter;
};

}  // namespace

bool PlatformDetail::ReadAll(int fd, std::string& content, size_t limit)
{
    char chunk[4096];
    size_t taken = 0;
    while (taken < limit) {
        const ssize_t count = RetryOnInterrupt([&] { return read(fd, chunk, sizeof chunk); });
        if (count <= 0) {
            return count == 0;
        }
        const size_t kept = std::min(static_cast<size_t>(count), limit - taken);
        content.append(chunk, kept);
        taken += kept;
    }
    return true;
}

bool PlatformDetail::WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = RetryOnInterrupt([&] { return write(fd, data, length); });
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool PlatformDetail::ReadWholeFile(const char* path, std::string& content)
{
    int fd = RetryOnInterrupt([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        return false;
    }
    const bool read = ReadAll(fd, content);
    close(fd);
    return read;
}

bool StringUtils::Trim(std::string& text, const char* set, bool left, bool right)
{
    if (set == nullptr || text.empty()) {
        return false;
    }
    size_t before = text.size();
    if (right) {
        size_t last = text.find_last_not_of(set);
        text.erase(last == std::string::npos ? 0 : last + 1);
    }
    if (left) {
        text.erase(0, text.find_first_not_of(set));
    }
    return text.size() != before;
}

unsigned long long Utility::GenerateUniqueNumber()
{
    static UniqueNumberSource source;
    return source.Next();
}

const unsigned int SmartBuffer::DEFAULT_SIZE;

SmartBuffer::SmartBuffer() : SmartBuffer(DEFAULT_SIZE) {}

SmartBuffer::SmartBuffer(unsigned int size) : mpData(new char[size == 0 ? 1 : size]()), mSize(size)
{
}

SmartBuffer::~SmartBuffer()
{
    delete[] mpData;
}
