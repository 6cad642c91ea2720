// One new SUBSCRIBE per second, newest request wins.
#include "presence_agent/subscribe_rate_limiter.h"

#include <gtest/gtest.h>

namespace {

TEST(SubscribeRateLimiter, OnePerIntervalTheNewestHeldWinsAndGoesWhenDue)
{
    SubscribeRateLimiter limiter(1000);
    // Offers request id at nowMs: true when it may go now; checks which held request it displaced (0: none).
    auto offer = [&limiter](uint64_t id, int64_t nowMs, uint64_t displaced) {
        Messaging::Message request;
        request.id = id;
        bool replaced = false;
        uint64_t replacedId = 0;
        const bool now = limiter.Offer(request, nowMs, &replaced, &replacedId);
        EXPECT_EQ(displaced != 0, replaced) << id;
        EXPECT_EQ(displaced, replacedId) << id;
        return now;
    };
    // Ten requests in a second: the first goes at once, each later one is held and displaces the one before.
    for (uint64_t id = 1; id <= 10; ++id)
        EXPECT_EQ(id == 1, offer(id, 4900 + static_cast<int64_t>(id) * 100, id > 2 ? id - 1 : 0)) << id;
    EXPECT_EQ(6000, limiter.DueAt());
    Messaging::Message due;
    EXPECT_FALSE(limiter.TakeDue(5999, due));
    ASSERT_TRUE(limiter.TakeDue(6000, due));
    EXPECT_EQ(10u, due.id);
    // The taken one counted as sent: the next waits again; a newer one at the due time goes in its place.
    EXPECT_FALSE(offer(11, 6500, 0));
    EXPECT_TRUE(offer(12, 7000, 11));
    // A held request withdrawn by its id is gone; another id does not withdraw it.
    EXPECT_FALSE(offer(13, 7010, 0));
    EXPECT_FALSE(limiter.DropHeld(12));
    EXPECT_TRUE(limiter.DropHeld(13));
    EXPECT_FALSE(limiter.TakeDue(9000, due));
}

}  // namespace
