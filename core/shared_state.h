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
        uint32_t seq = mSeq.load();
        mSeq.store(seq + 1);
        mHigh.store(static_cast<uint32_t>(value >> 32));
        mLow.store(static_cast<uint32_t>(value));
        mSeq.store(seq + 2);
    }

    // Sequentially consistent accesses keep the halves between the two
    // counter reads without separate fences.
    uint64_t Load() const
    {
        for (;;) {
            uint32_t before = mSeq.load();
            uint32_t high = mHigh.load();
            uint32_t low = mLow.load();
            uint32_t after = mSeq.load();
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
