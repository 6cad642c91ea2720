// Timer E and Timer F of a non-INVITE client transaction, on made-up times.
#include "presence_agent/retransmit_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Runs the schedule from start to its end, firing at each deadline; returns
// the retransmission times and the time-out time in *timedOut.
std::vector<int64_t> Retransmissions(RetransmitSchedule& schedule, int64_t* timedOut)
{
    std::vector<int64_t> times;
    for (int step = 0; step < 100; ++step) {
        const int64_t at = schedule.NextDeadline();
        const RetransmitSchedule::Action action = schedule.OnTimer(at);
        if (action == RetransmitSchedule::TIMED_OUT) {
            *timedOut = at;
            break;
        }
        if (action == RetransmitSchedule::RETRANSMIT)
            times.push_back(at);
    }
    return times;
}

TEST(RetransmitSchedule, DoublesFromT1UpToT2UntilTimerF)
{
    RetransmitSchedule schedule(TransactionTimers(), 1000);
    int64_t timedOut = 0;
    const std::vector<int64_t> times = Retransmissions(schedule, &timedOut);
    // 500, 1000, 2000, then 4000 apart, measured from the start at 1000.
    const std::vector<int64_t> expected = {1500, 2500, 4500, 8500, 12500, 16500, 20500, 24500, 28500, 32500};
    EXPECT_EQ(expected, times);
    EXPECT_EQ(33000, timedOut);
    EXPECT_EQ(RetransmitSchedule::COMPLETED, schedule.GetState());
    EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(99999));
}

TEST(RetransmitSchedule, ShortTimerFStillStartsAtT1)
{
    TransactionTimers timers;
    timers.timerFMs = 4000;
    RetransmitSchedule schedule(timers, 0);
    int64_t timedOut = 0;
    EXPECT_EQ((std::vector<int64_t>{500, 1500, 3500}), Retransmissions(schedule, &timedOut));
    EXPECT_EQ(4000, timedOut);
}

TEST(RetransmitSchedule, ProvisionalSwitchesToT2)
{
    RetransmitSchedule schedule(TransactionTimers(), 0);
    EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(499));
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(500));
    schedule.OnProvisional();
    EXPECT_EQ(RetransmitSchedule::PROCEEDING, schedule.GetState());
    // The running Timer E (1000) still fires, then every T2.
    EXPECT_EQ(1500, schedule.NextDeadline());
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(1500));
    EXPECT_EQ(5500, schedule.NextDeadline());
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(5500));
    EXPECT_EQ(9500, schedule.NextDeadline());
    // Timer F goes on in Proceeding.
    EXPECT_EQ(RetransmitSchedule::TIMED_OUT, schedule.OnTimer(32000));
}

TEST(RetransmitSchedule, FinalResponseStopsEverything)
{
    RetransmitSchedule schedule(TransactionTimers(), 0);
    schedule.OnFinal();
    EXPECT_EQ(RetransmitSchedule::COMPLETED, schedule.GetState());
    EXPECT_EQ(RetransmitSchedule::NOTHING, schedule.OnTimer(40000));
    EXPECT_GT(schedule.NextDeadline(), 1000000000);
}

TEST(RetransmitSchedule, LateWakeUpDoesNotBunchRetransmissions)
{
    RetransmitSchedule schedule(TransactionTimers(), 0);
    EXPECT_EQ(RetransmitSchedule::RETRANSMIT, schedule.OnTimer(2600));
    // The next one is a full interval after the late one.
    EXPECT_EQ(3600, schedule.NextDeadline());
}

}  // namespace
