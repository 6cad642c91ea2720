// Timers of one non-INVITE client transaction over UDP (RFC 3261 17.1.2):
// Timer E retransmits the request after T1, doubling up to T2 (at T2 once a
// provisional response has come), and Timer F ends the transaction with a
// time-out. Pure logic on millisecond times, so tests can drive it. Used
// for the agent's SUBSCRIBEs and the server's NOTIFYs alike.
#ifndef SIP_RETRANSMIT_SCHEDULE_H
#define SIP_RETRANSMIT_SCHEDULE_H

#include <cstdint>

namespace Sip {

struct TransactionTimers {
    int64_t t1Ms = 500;        // round-trip estimate, first retransmission
    int64_t t2Ms = 4000;       // longest retransmission interval
    int64_t timerFMs = 32000;  // 64 * T1: the transaction's time-out
};

class RetransmitSchedule {
public:
    enum State { TRYING, PROCEEDING, COMPLETED };
    enum Action { NOTHING, RETRANSMIT, TIMED_OUT };

    // The request went out first at startMs.
    RetransmitSchedule(const TransactionTimers& timers, int64_t startMs);

    State GetState() const { return mState; }
    // When OnTimer has something to do next; INT64_MAX once completed.
    int64_t NextDeadline() const;
    // What is due at nowMs: a time-out wins over a retransmission. After
    // RETRANSMIT the next one is scheduled; after TIMED_OUT the schedule is completed.
    Action OnTimer(int64_t nowMs);
    // A 1xx: retransmissions go on, at T2 from the next one on.
    void OnProvisional();
    // A final response: nothing more is due.
    void OnFinal();

private:
    TransactionTimers mTimers;
    State mState;
    int64_t mInterval;
    int64_t mNextRetransmit;
    int64_t mTimeout;
};

}  // namespace Sip

#endif
