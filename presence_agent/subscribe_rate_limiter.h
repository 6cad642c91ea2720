// At most one new SUBSCRIBE per interval, newest request wins.
//
// A request offered less than the interval after the last one that went out
// is held; a newer request replaces the held one, which is dropped without an
// answer (its sender has already moved on to the newer identifier). The held
// request goes out once the interval has passed. Retransmissions and
// un-SUBSCRIBEs never pass through here.
#ifndef PRESENCE_AGENT_SUBSCRIBE_RATE_LIMITER_H
#define PRESENCE_AGENT_SUBSCRIBE_RATE_LIMITER_H

#include <cstdint>

#include "messaging/messaging.h"

class SubscribeRateLimiter {
public:
    explicit SubscribeRateLimiter(int64_t intervalMs);

    // True: send request now (counted as sent at nowMs). False: it is held.
    // *replaced (when given) tells whether an earlier held request was
    // displaced either way, *replacedId its id.
    bool Offer(const Messaging::Message& request, int64_t nowMs, bool* replaced, uint64_t* replacedId);
    // True with the held request moved into request once its time has come
    // (counted as sent at nowMs).
    bool TakeDue(int64_t nowMs, Messaging::Message& request);
    // Moves the last send to nowMs, taken once the request is on the wire, so
    // that a slow send cannot shorten the gap before the next one.
    void MarkSent(int64_t nowMs) { mLastSent = nowMs; }
    // Forgets the held request if it has this id; true when it did.
    bool DropHeld(uint64_t id);

    bool HasHeld() const { return mHasHeld; }
    // When the held request may go out; meaningless without one.
    int64_t DueAt() const { return mLastSent + mInterval; }

private:
    int64_t mInterval;
    int64_t mLastSent;
    bool mAnySent;
    bool mHasHeld;
    Messaging::Message mHeld;
};

#endif
