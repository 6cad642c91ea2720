// Timer E and Timer F of a non-INVITE client transaction, on made-up times.
#include "presence_agent/retransmit_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RetransmitSchedule, DoublesFromT1UpToT2UntilTimerF)
{
    const struct {
        int64_t timerFMs;
        int64_t start;
        std::vector<int64_t> retransmissions;
        int64_t timedOut;
    } cases[] = {
        // 500, 1000, 2000, then 4000 apart, measured from the start.
        {32000, 1000, {1500, 2500, 4500, 8500, 12500, 16500, 20500, 24500, 28500, 32500}, 33000},
        {4000, 0, {500, 1500, 3500}, 4000},   // a short Timer F still starts at T1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("Timer F " + std::to_string(c.timerFMs));
        TransactionTimers timers;
        timers.timerFMs = c.timerFMs;
        RetransmitSchedule schedule(timers, c.start);
        // Fire at each deadline until the time-out, bounded.
        std::vector<int64_t> times;
        int64_t timedOut = -1;
        for (int step = 0; step < 100 && timedOut < 0; ++step) {
            const int64_t at = schedule.NextDeadline();
            const RetransmitSchedule::Action action = schedule.OnTimer(at);
            if (action == RetransmitSchedule::TIMED_OUT)
                timedOut = at;
            else if (action == RetransmitSchedule::RETRANSMIT)
                times.push_back(at);
        }
        EXPECT_EQ(c.retransmissions, times);
        EXPECT_EQ(c.timedOut, timedOut);
        EXPECT_EQ(RetransmitSchedule::COMPLETED, schedule.GetState());
        EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(99999));
    }
}

TEST(RetransmitSchedule, ProvisionalSwitchesToT2)
{
    RetransmitSchedule schedule(TransactionTimers(), 0);
    EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(499));
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(500));
    schedule.OnProvisional();
    EXPECT_EQ(RetransmitSchedule::PROCEEDING, schedule.GetState());
    // The running Timer E (1000) still fires, then every T2.
    for (const int64_t due : {1500, 5500}) {
        EXPECT_EQ(due, schedule.NextDeadline());
        EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(due));
    }
    EXPECT_EQ(9500, schedule.NextDeadline());
    // Timer F goes on in Proceeding.
    EXPECT_EQ(RetransmitSchedule::TIMED_OUT, schedule.OnTimer(32000));
}

TEST(RetransmitSchedule, FinalResponseStopsEverythingLateWakeUpDoesNotBunch)
{
    RetransmitSchedule schedule(TransactionTimers(), 0);
    schedule.OnFinal();
    EXPECT_EQ(RetransmitSchedule::COMPLETED, schedule.GetState());
    EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(40000));
    EXPECT_GT(schedule.NextDeadline(), 1000000000);

    // The next retransmission is a full interval after a late one.
    RetransmitSchedule late(TransactionTimers(), 0);
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, late.OnTimer(2600));
    EXPECT_EQ(3600, late.NextDeadline());
}

}  // namespace
