#include "sip/retransmit_schedule.h"

#include <algorithm>
#include <limits>

namespace Sip {

RetransmitSchedule::RetransmitSchedule(const TransactionTimers& timers, int64_t startMs)
    : mTimers(timers), mState(TRYING), mInterval(timers.t1Ms),
      mNextRetransmit(startMs + timers.t1Ms), mTimeout(startMs + timers.timerFMs)
{
}

int64_t RetransmitSchedule::NextDeadline() const
{
    if (mState == COMPLETED)
        return std::numeric_limits<int64_t>::max();
    return std::min(mNextRetransmit, mTimeout);
}

RetransmitSchedule::Action RetransmitSchedule::OnTimer(int64_t nowMs)
{
    if (mState == COMPLETED)
        return NOTHING;
    if (nowMs >= mTimeout) {
        mState = COMPLETED;
        return TIMED_OUT;
    }
    if (nowMs < mNextRetransmit)
        return NOTHING;
    mInterval = mState == PROCEEDING ? mTimers.t2Ms : std::min(2 * mInterval, mTimers.t2Ms);
    // Counted from now, so a late wake-up does not bunch retransmissions.
    mNextRetransmit = nowMs + mInterval;
    return RETRANSMIT;
}

void RetransmitSchedule::OnProvisional()
{
    if (mState == TRYING)
        mState = PROCEEDING;
}

void RetransmitSchedule::OnFinal()
{
    mState = COMPLETED;
}

}  // namespace Sip
