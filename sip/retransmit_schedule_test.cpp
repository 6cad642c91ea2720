// Timer E and Timer F of a non-INVITE client transaction, on made-up times.
#include "sip/retransmit_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Sip::RetransmitSchedule;
using Sip::TransactionTimers;

TEST(RetransmitSchedule, TimerEDoublesToT2TimerFEndsResponsesSwitchOrStop)
{
    // Scripts for a schedule started at 1000 with the default timers. 'N': the next deadline is `at`, firing
    // then gives `result`; 'T': firing at `at` gives `result`; 'P', 'F': a provisional, final response.
    struct Step { char op; int64_t at; int result; };
    const int R = RetransmitSchedule::RETRANSMIT, X = RetransmitSchedule::TIMED_OUT;
    const int O = RetransmitSchedule::NOTHING;
    const std::vector<Step> scripts[] = {
        {{'N', 1500, R}, {'N', 2500, R}, {'N', 4500, R}, {'N', 8500, R}, {'N', 12500, R}, {'T', 40000, X},
         {'T', 99999, O}},   // 500, 1000, 2000 then T2 apart; a due time-out wins over a due retransmission
        // After a 1xx the running Timer E still fires, then every T2; Timer F (32 s) goes on.
        {{'T', 1499, O}, {'T', 1500, R}, {'P', 0, 0}, {'N', 2500, R}, {'N', 6500, R}, {'N', 10500, R},
         {'T', 32999, R}, {'T', 33000, X}},
        {{'F', 0, 0}, {'N', INT64_MAX, O}},
        {{'T', 3600, R}, {'N', 4600, R}},   // after a late wake-up, a full interval
    };
    for (const std::vector<Step>& script : scripts) {
        RetransmitSchedule schedule(TransactionTimers(), 1000);
        for (const Step& step : script) {
            SCOPED_TRACE(testing::Message() << "script " << &script - scripts << ": " << step.op << step.at);
            if (step.op == 'P' || step.op == 'F') {
                step.op == 'P' ? schedule.OnProvisional() : schedule.OnFinal();
                continue;
            }
            EXPECT_TRUE(step.op == 'T' || step.at == schedule.NextDeadline()) << schedule.NextDeadline();
            EXPECT_EQ(step.result, schedule.OnTimer(step.at));
        }
    }
}

}  // namespace
