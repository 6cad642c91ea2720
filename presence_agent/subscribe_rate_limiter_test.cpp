// One new SUBSCRIBE per second, newest request wins.
#include "presence_agent/subscribe_rate_limiter.h"

#include <gtest/gtest.h>

namespace {

Messaging::Message Request(uint64_t id)
{
    Messaging::Message request;
    request.kind = Messaging::MSG_SUBSCRIBE;
    request.id = id;
    return request;
}

TEST(SubscribeRateLimiter, TenRequestsInASecondGiveTwoSendsAndTheLastWins)
{
    SubscribeRateLimiter limiter(1000);
    int sentNow = 0;
    int replacedCount = 0;
    uint64_t lastReplaced = 0;
    for (uint64_t id = 1; id <= 10; ++id) {
        bool replaced = false;
        uint64_t replacedId = 0;
        sentNow += limiter.Offer(Request(id), 5000 + static_cast<int64_t>(id - 1) * 100, &replaced, &replacedId);
        if (replaced) {
            ++replacedCount;
            EXPECT_EQ(lastReplaced + 1, replacedId);
            lastReplaced = replacedId;
        }
        if (id == 1)
            lastReplaced = 1;
    }
    EXPECT_EQ(1, sentNow);
    EXPECT_EQ(8, replacedCount);   // 2..9 displaced, 10 held
    ASSERT_TRUE(limiter.HasHeld());
    EXPECT_EQ(6000, limiter.DueAt());

    Messaging::Message due;
    EXPECT_FALSE(limiter.TakeDue(5999, due));
    ASSERT_TRUE(limiter.TakeDue(6000, due));
    EXPECT_EQ(10u, due.id);
    EXPECT_FALSE(limiter.HasHeld());
    // The held one counted: the next request waits again.
    EXPECT_FALSE(limiter.Offer(Request(11), 6500, nullptr, nullptr));
    EXPECT_TRUE(limiter.Offer(Request(12), 7000, nullptr, nullptr));
}

TEST(SubscribeRateLimiter, SpacedGoAtOnceOverdueHeldLosesWithdrawnHeldIsGone)
{
    SubscribeRateLimiter limiter(1000);
    EXPECT_TRUE(limiter.Offer(Request(1), 0, nullptr, nullptr));
    EXPECT_TRUE(limiter.Offer(Request(2), 1000, nullptr, nullptr));
    EXPECT_FALSE(limiter.Offer(Request(3), 1010, nullptr, nullptr));
    // The held one was due but not yet taken: the newer goes out in its place.
    bool replaced = false;
    uint64_t replacedId = 0;
    EXPECT_TRUE(limiter.Offer(Request(4), 2200, &replaced, &replacedId));
    EXPECT_TRUE(replaced);
    EXPECT_EQ(3u, replacedId);
    EXPECT_FALSE(limiter.HasHeld());

    EXPECT_FALSE(limiter.Offer(Request(5), 2210, nullptr, nullptr));
    EXPECT_FALSE(limiter.DropHeld(4));
    EXPECT_TRUE(limiter.DropHeld(5));
    Messaging::Message due;
    EXPECT_FALSE(limiter.TakeDue(9000, due));
}

}  // namespace
