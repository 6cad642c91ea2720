// A process-wide value that a scope may replace for its lifetime: the one
// shape of the platform's test seams (net-check and configurator backends,
// the trace sink, path redirects).
#ifndef PLATFORM_SCOPED_OVERRIDE_H
#define PLATFORM_SCOPED_OVERRIDE_H

#include <mutex>
#include <utility>
#include <vector>

namespace PlatformDetail {

template <typename T>
class ScopedOverride;

// A value with a fallback that ScopedOverride objects replace while they
// live. Overrides nest: the newest one alive is in force, and when it ends
// the one it replaced is in force again, in whatever order the scopes end.
// Keep an Overridable in a function-local static that is never destroyed, so
// that it is usable during static construction and destruction.
template <typename T>
class Overridable {
public:
    explicit Overridable(T fallback) : mFallback(std::move(fallback)) {}
    Overridable(const Overridable&) = delete;
    Overridable& operator=(const Overridable&) = delete;

    // Calls use(value) with the value in force while holding the lock, so no
    // override can end meanwhile. use must not start or end an override of
    // this value.
    template <typename Use>
    auto With(Use use) const -> decltype(use(std::declval<const T&>()))
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return use(mOverrides.empty() ? mFallback : mOverrides.back().second);
    }

    // A copy of the value in force.
    T Get() const
    {
        return With([](const T& value) { return value; });
    }

    // Copies the newest override whose value satisfies match into found; false
    // when none does (found unchanged). For values keyed by a part of them.
    template <typename Match>
    bool FindNewest(Match match, T& found) const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto it = mOverrides.rbegin(); it != mOverrides.rend(); ++it) {
            if (match(it->second)) {
                found = it->second;
                return true;
            }
        }
        return false;
    }

private:
    friend class ScopedOverride<T>;

    void Push(const ScopedOverride<T>* owner, T value)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOverrides.emplace_back(owner, std::move(value));
    }

    void Remove(const ScopedOverride<T>* owner)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto it = mOverrides.begin(); it != mOverrides.end(); ++it) {
            if (it->first == owner) {
                mOverrides.erase(it);
                return;
            }
        }
    }

    mutable std::mutex mMutex;   // guards mOverrides
    const T mFallback;
    std::vector<std::pair<const ScopedOverride<T>*, T>> mOverrides;   // oldest first
};

// Puts value in force on target from construction to destruction. target
// must outlive this object.
template <typename T>
class ScopedOverride {
public:
    ScopedOverride(Overridable<T>& target, T value) : mTarget(target)
    {
        mTarget.Push(this, std::move(value));
    }
    ~ScopedOverride() { mTarget.Remove(this); }
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

private:
    Overridable<T>& mTarget;
};

}  // namespace PlatformDetail

#endif
