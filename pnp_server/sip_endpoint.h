// The provisioning server's SIP side: one UDP socket (joined to the
// provisioning multicast group), answers to SUBSCRIBEs, and the NOTIFYs it
// retransmits until they are answered, sent anew in the same dialog after
// the Retry-After of a 500 or 503.
#ifndef PNP_SERVER_SIP_ENDPOINT_H
#define PNP_SERVER_SIP_ENDPOINT_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pnp_server/event_log.h"
#include "pnp_server/fleet_status.h"
#include "pnp_server/net_util.h"
#include "sip/retransmit_schedule.h"
#include "sip/sip_message.h"

namespace Pnp {

struct SipOptions {
    std::string bindAddress = "0.0.0.0";
    uint16_t port = 5060;               // 0: any free port
    bool joinMulticast = true;
    std::string multicastGroup = "224.0.1.75";
    std::string interfaceName;          // join on this interface ...
    std::string interfaceAddress;       // ... or on the one with this address
    std::string urlTemplate = "http://{host}:{port}/cfg/{mac}.xml";
    std::string httpHost;               // {host}; empty: the address the SUBSCRIBE came in on
    uint16_t httpPort = 8080;           // {port}
    int rejectCode = 0;                 // answer SUBSCRIBEs with this code instead of 200
    bool silent = false;                // never answer SUBSCRIBEs
    unsigned long maxExpires = 3600;    // longest subscription granted
    int t1Ms = 500;                     // Timer E starts at T1 and doubles up to T2
    int t2Ms = 4000;
    int timerFMs = 32000;               // a NOTIFY is given up after this long; an answered
                                        // SUBSCRIBE is kept this long for its retransmissions
    // NOTIFYs awaiting an answer, and answered SUBSCRIBEs kept for their
    // retransmissions: each table grows as needed up to this many, then the
    // oldest entry goes.
    size_t maxPending = 16384;
    // Asked for the socket's receive buffer, so that a rack powered up at
    // once does not overflow it (the kernel doubles it for its bookkeeping).
    int receiveBufferBytes = 4 * 1024 * 1024;
};

class SipEndpoint {
public:
    SipEndpoint(const SipOptions& options, EventLog& log);
    SipEndpoint(const SipEndpoint&) = delete;
    SipEndpoint& operator=(const SipEndpoint&) = delete;

    // Binds the socket and joins the group when asked. False with a message.
    bool Open(std::string& error);
    uint16_t Port() const { return mPort; }
    int Fd() const { return mSocket.Get(); }
    void SetHttpPort(uint16_t port) { mOptions.httpPort = port; }
    // Where SUBSCRIBEs and NOTIFYs are recorded; may stay unset. Must outlive this endpoint.
    void SetStatus(FleetStatus* status) { mpStatus = status; }

    // Reads and handles the datagrams pending (a bounded number).
    void OnReadable(Clock::time_point now);
    // Retransmits, sends anew or gives up NOTIFYs whose time has come.
    void OnTimers(Clock::time_point now);
    // Both send what they made at their end, in as few system calls as the kernel takes.
    // When OnTimers has something to do next; Clock::time_point::max() for never.
    Clock::time_point NextDeadline() const;

    size_t PendingNotifyCount() const { return mPending.size(); }

private:
    // A NOTIFY waiting for its final response, or for the time to send it anew
    // (with a new CSeq and branch) after the peer answered that it was busy.
    struct PendingNotify {
        std::string mac;
        std::string callId;
        unsigned long cseq = 0;
        Sip::SipMessage message;
        std::string bytes;
        Ipv4Endpoint destination;
        Clock::time_point start;        // of the first send; the schedule counts from it
        Sip::RetransmitSchedule schedule;
        unsigned sends = 0;             // of this transaction
        unsigned attempts = 1;          // transactions so far
        bool waiting = false;           // refused: the next transaction starts at resendAt
        Clock::time_point resendAt;
        Clock::time_point due;          // when OnTimers acts on it next; max() for never
        explicit PendingNotify(const Sip::TransactionTimers& timers) : schedule(timers, 0) {}
    };
    using PendingMap = std::map<uint64_t, PendingNotify>;   // by number: the oldest first

    // The answer to a SUBSCRIBE, sent again for each of its retransmissions.
    struct AnsweredSubscribe {
        std::string mac;
        std::string bytes;
        Ipv4Endpoint destination;
    };
    using Timer = std::pair<Clock::time_point, uint64_t>;   // when, pending number

    bool JoinGroup(std::string& error);
    void HandleDatagram(const char* data, size_t length, const Ipv4Endpoint& source, uint32_t localAddress,
                        Clock::time_point now);
    void HandleSubscribe(const Sip::SipMessage& subscribe, const Ipv4Endpoint& source, uint32_t localAddress,
                         Clock::time_point now);
    // True when subscribe is a retransmission of one answered already; its answer is then sent again.
    bool AnswerRetransmission(const Sip::SipMessage& subscribe, const std::string& key, const Ipv4Endpoint& source,
                              Clock::time_point now);
    void RememberAnswer(const std::string& key, AnsweredSubscribe answer, Clock::time_point now);
    void HandleResponse(const Sip::SipMessage& response, const Ipv4Endpoint& source);
    // Schedules the next transaction of a NOTIFY refused with a 500 or 503; false when its attempts are used up.
    bool ScheduleResend(PendingNotify& notify, const Sip::SipMessage& response);
    void Resend(PendingNotify& notify, Clock::time_point now);
    Sip::SipMessage Answer(const Sip::SipMessage& request, int code, const Ipv4Endpoint& source,
                           const std::string& toTag) const;
    void Respond(const Sip::SipMessage& request, int code, const Ipv4Endpoint& source, const std::string& toTag);
    void StartNotify(PendingNotify notify, Clock::time_point now);
    // Sends and logs what Send queued.
    void FlushSends();
    // Sets when the NOTIFY is due next and arms its timer.
    void Arm(uint64_t number, PendingNotify& notify);
    PendingMap::iterator Erase(PendingMap::iterator pending);
    // Queues a datagram for FlushSends, which logs it with its bytes or with its title (what) only.
    void Send(const std::string& bytes, const Ipv4Endpoint& destination, const std::string& what, bool logBytes);

    SipOptions mOptions;
    EventLog& mLog;
    FileDescriptor mSocket;
    uint16_t mPort;
    struct Outgoing {
        std::string bytes;
        Ipv4Endpoint destination;
        std::string what;
        bool logBytes;
    };

    std::vector<char> mBuffer;          // room for a batch of the largest datagrams
    std::vector<Outgoing> mOutgoing;
    PendingMap mPending;
    std::unordered_map<std::string, uint64_t> mPendingByKey;   // Call-ID and CSeq -> number
    // Due times of pending NOTIFYs; an entry whose NOTIFY has gone or is due at
    // another time is dropped when it comes up.
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> mTimers;
    uint64_t mNextNumber;
    std::unordered_map<std::string, AnsweredSubscribe> mAnswered;   // by transaction
    std::deque<std::pair<Clock::time_point, std::string>> mAnsweredOrder;   // expiry, transaction
    unsigned long mNextCseq;
    FleetStatus* mpStatus;
};

}  // namespace Pnp

#endif
