// Values that the worker thread and the main thread share without the
// client's mutex.
#ifndef CORE_SHARED_STATE_H
#define CORE_SHARED_STATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// A 64-bit value with one writer and any number of lock-free readers. A
// 32-bit target stores the two halves separately, so a sequence counter makes
// a reader retry while a store is under way.
class SeqLockedU64 {
public:
    explicit SeqLockedU64(uint64_t value = 0) { Store(value); }

    // One writer at a time.
    void Store(uint64_t value)
    {
        uint32_t seq = mSeq.load(std::memory_order_relaxed);
        mSeq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        mHigh.store(static_cast<uint32_t>(value >> 32), std::memory_order_relaxed);
        mLow.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
        mSeq.store(seq + 2, std::memory_order_release);
    }

    uint64_t Load() const
    {
        for (;;) {
            uint32_t before = mSeq.load(std::memory_order_acquire);
            uint32_t high = mHigh.load(std::memory_order_relaxed);
            uint32_t low = mLow.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            uint32_t after = mSeq.load(std::memory_order_relaxed);
            if (before == after && (before & 1u) == 0)
                return (static_cast<uint64_t>(high) << 32) | low;
        }
    }

private:
    std::atomic<uint32_t> mSeq{0};
    std::atomic<uint32_t> mHigh{0};
    std::atomic<uint32_t> mLow{0};
};

// A string copied in and out under its own small lock; nothing else is done
// while it is held.
class SharedText {
public:
    void Set(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mText = text;
    }
    std::string Get() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mText;
    }
    bool Empty() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mText.empty();
    }

private:
    mutable std::mutex mMutex;
    std::string mText;
};

#endif
