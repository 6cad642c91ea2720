#include "presence_agent/subscribe_rate_limiter.h"

SubscribeRateLimiter::SubscribeRateLimiter(int64_t intervalMs)
    : mInterval(intervalMs), mLastSent(0), mAnySent(false), mHasHeld(false)
{
}

bool SubscribeRateLimiter::Offer(const Messaging::Message& request, int64_t nowMs, bool* replaced,
                                 uint64_t* replacedId)
{
    if (replaced != nullptr)
        *replaced = mHasHeld;
    if (replacedId != nullptr)
        *replacedId = mHasHeld ? mHeld.id : 0;
    if (!mAnySent || nowMs >= mLastSent + mInterval) {
        // Free to go; a held request that missed its turn is older, so it loses.
        mHasHeld = false;
        mAnySent = true;
        mLastSent = nowMs;
        return true;
    }
    mHeld = request;
    mHasHeld = true;
    return false;
}

bool SubscribeRateLimiter::TakeDue(int64_t nowMs, Messaging::Message& request)
{
    if (!mHasHeld || nowMs < mLastSent + mInterval)
        return false;
    request = mHeld;
    mHasHeld = false;
    mLastSent = nowMs;
    return true;
}

bool SubscribeRateLimiter::DropHeld(uint64_t id)
{
    if (!mHasHeld || mHeld.id != id)
        return false;
    mHasHeld = false;
    return true;
}
