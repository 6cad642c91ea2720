// The presence user agent: serves the daemon's presence queue
// (Messaging::PRESENCE_AGENT_QUEUE) and turns its requests into SIP
// subscriptions over UDP.
//
// - MSG_SUBSCRIBE(id, subscriber, target) sends a SUBSCRIBE to
//   target.ipAddress:target.port (default 5060) for
//   sip:<target.userName escaped>@<target.ipAddress>, from a socket bound to
//   subscriber.ipAddress:subscriber.port (see SipSocket for the fall-backs).
//   It is retransmitted per RFC 3261 Timers E and F. 2xx answers
//   MSG_CONFIRM(id); a final 3xx-6xx answers MSG_ERROR(id,
//   Presence_Subscription_Failed); no response before Timer F answers
//   Presence_Subscription_Time_Out; a socket that cannot be opened or written
//   for another reason than a missing network answers
//   Presence_Network_Failure. A request the agent cannot use (no user name,
//   target not a dotted IPv4 address, bad port) answers
//   Presence_Invalid_Request. Failed subscriptions are forgotten.
// - The SUBSCRIBE goes out from the subscriber's address while an interface
//   that is up and running holds it, else from the provisioning interface's
//   (options.interfaceName) address; Via, Contact, From and Call-ID name that
//   address. It is looked at again on every (re)send: a request written from
//   an address that is gone is written anew from the new one (new Call-ID
//   and branch, same timers).
// - Waiting for the network: a SUBSCRIBE that cannot go out (no address, link
//   down or no carrier, no route) is still in progress, not an error. It
//   goes out as soon as rtnetlink tells of a change that lets it. One that
//   never went out runs no timers and is held without limit, until it goes,
//   the daemon unsubscribes it, or a newer request replaces it (newest wins,
//   as in the rate limit): a device on a shelf stays quiet, no error to the
//   daemon, no traffic, no wake-up but rtnetlink's, and provisions the moment
//   it is plugged in. Timer F, and so Presence_Subscription_Time_Out, runs
//   only from its first time on the wire; a sent one whose retransmission
//   finds no network is sent again as soon as the network is back.
// - A NOTIFY in a known dialog (same Call-ID, To tag = our From tag) is taken
//   only after the SUBSCRIBE's 2xx, and only from the address and port that
//   2xx came from: anyone on the link sees the multicast SUBSCRIBE's Call-ID
//   and tag. An earlier one is not answered (its sender retransmits it, by
//   then the 2xx is in); one from elsewhere gets 403 and a line on stderr.
//   The URL of a taken NOTIFY goes to the daemon as MSG_NOTIFY(id, url), and
//   the NOTIFY gets 200 OK only once the daemon's queue took it. When the
//   queue is full or not bound it gets 503 with Retry-After: 1 (the daemon is
//   briefly unavailable, not broken: 503 rather than 500), so the notifier
//   sends it again, and that NOTIFY is delivered. A retransmission (CSeq not
//   above the last one handed on) is answered, not delivered again, nor is a
//   NOTIFY without a URL. Any other NOTIFY gets 481.
// - MSG_UNSUBSCRIBE(id) forgets the subscription; a dialog that has had its
//   2xx is ended with SUBSCRIBE Expires: 0 (same Call-ID and tags, next
//   CSeq) sent where the 2xx came from. That request is
//   retransmitted like any other, its answer only logged.
// - Rate limit: at most one NEW SUBSCRIBE per second on the wire, newest
//   request wins. A request arriving less than a second after the last new
//   SUBSCRIBE is held; a newer one replaces it and the replaced one is
//   dropped without an answer (the daemon has already moved on to the newer
//   id). The held one goes out when the second has passed. Retransmissions
//   and un-SUBSCRIBEs are not counted; a SUBSCRIBE that waited for the
//   network counts when it goes out.
// - A confirmed subscription is kept for the Expires the 2xx granted (the
//   requested one when it names none) and then forgotten; it is never
//   refreshed, the daemon subscribes anew. At most MAX_SUBSCRIPTIONS are
//   kept; the oldest makes room for a new one.
// - Malformed SIP datagrams and responses that match no transaction are
//   dropped and counted. Queue messages of other kinds are dropped and counted.
//
// Single-threaded: RunOnce() polls the queue, the SIP sockets and an optional
// stop descriptor once, bounded by the next timer.
#ifndef PRESENCE_AGENT_PRESENCE_AGENT_H
#define PRESENCE_AGENT_PRESENCE_AGENT_H

#include <netinet/in.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "messaging/messaging.h"
#include "presence_agent/network_watch.h"
#include "presence_agent/sip_dialog.h"
#include "presence_agent/sip_socket.h"
#include "presence_agent/sip_socket_pool.h"
#include "presence_agent/subscribe_rate_limiter.h"
#include "presence_agent/subscription.h"
#include "sip/retransmit_schedule.h"

struct PresenceAgentOptions {
    Sip::TransactionTimers timers;
    int64_t minSubscribeIntervalMs = 1000;
    // Requested subscription length: an hour, the daemon re-subscribes long before.
    unsigned int expiresSeconds = 3600;
    const char* versionFile = "/etc/version.txt";
    // The interface a subscription without a usable address of its own goes out from.
    const char* interfaceName = "eth1";
    bool verbose = false;   // log every SIP message and drop to stderr
};

struct PresenceAgentCounters {
    unsigned long malformedSip = 0;      // datagrams that did not parse or lacked a needed header
    unsigned long strayResponses = 0;    // responses of no transaction of ours
    unsigned long unknownNotifies = 0;   // NOTIFYs answered 481
    unsigned long earlyNotifies = 0;     // NOTIFYs before their dialog's 2xx, left unanswered
    unsigned long forbiddenNotifies = 0; // NOTIFYs from another source than the 2xx, answered 403
    unsigned long undeliveredNotifies = 0;   // NOTIFYs the daemon's queue did not take, answered 503
    unsigned long droppedRequests = 0;   // subscribe requests replaced while held or waiting for the network
    unsigned long droppedQueueMessages = 0;
};

class PresenceAgent {
public:
    static const size_t MAX_SUBSCRIPTIONS = 32;

    // Binds queue Messaging::PRESENCE_AGENT_QUEUE; throws std::system_error
    // when it cannot (another agent serves it).
    explicit PresenceAgent(const PresenceAgentOptions& options);
    ~PresenceAgent();
    PresenceAgent(const PresenceAgent&) = delete;
    PresenceAgent& operator=(const PresenceAgent&) = delete;

    // Tells the daemon the agent is online (PARTY_STATE online) when its queue is served.
    void Start();
    // Tells the daemon the agent goes offline.
    void Shutdown();

    // Waits at most timeoutMs (less when a timer is due first) for input and
    // handles what came and what is due. stopFd (-1: none) readable makes it
    // return false at once, before anything else is handled.
    bool RunOnce(int timeoutMs, int stopFd = -1);
    // RunOnce until stopFd becomes readable.
    void Run(int stopFd);

    const PresenceAgentCounters& Counters() const { return mCounters; }
    size_t SubscriptionCount() const { return mSubscriptions.size(); }

private:
    // One SUBSCRIBE from its first send until its final response or Timer F.
    struct Transaction {
        bool ownsSubscription = false;   // initial SUBSCRIBE: answers go to the daemon
        uint64_t id = 0;
        std::string branch;
        std::string callId;
        unsigned long cseq = 0;
        std::string text;
        std::shared_ptr<SipSocket> socket;
        sockaddr_in destination;
        Sip::RetransmitSchedule schedule;   // runs only once sent
        bool sent = false;                  // went on the wire at least once
        bool waiting = false;               // its last (re)send found no network
        // Initial SUBSCRIBE: the subscriber's address and port as the daemon
        // gave them, and the address the request was last written from.
        std::string wantedIp;
        uint16_t localPort = 5060;
        std::string source;
        Transaction(const Sip::TransactionTimers& timers, int64_t now) : schedule(timers, now) {}
    };
    enum SendResult { SENT, NO_NETWORK, SEND_FAILED };
    typedef std::list<Subscription>::iterator SubscriptionIt;

    int64_t Now() const;
    int NextTimeout(int timeoutMs) const;
    void HandleQueue();
    void HandleSubscribeRequest(const Messaging::Message& request);
    void HandleUnsubscribeRequest(uint64_t id);
    void StartSubscription(const Messaging::Message& request);
    void HandleDatagram(const std::shared_ptr<SipSocket>& socket, const std::string& data, const sockaddr_in& from);
    void HandleResponse(const Sip::SipMessage& response, const sockaddr_in& from);
    void HandleNotify(SipSocket& socket, const Sip::SipMessage& notify, const sockaddr_in& from);
    void HandleTimers();
    void EndDialog(Subscription& subscription);
    void Forget(uint64_t id);
    SubscriptionIt Find(uint64_t id);

    SendResult Send(Transaction& transaction);
    SendResult Write(Transaction& transaction, const std::string& source);
    void OnWire(Transaction& transaction);
    bool AnyWaiting() const;
    void RetryWaiting();
    void SendResponse(SipSocket& socket, const Sip::SipMessage& response, const sockaddr_in& to);
    bool AnswerDaemon(const Messaging::Message& message);
    void AnswerError(uint64_t id, PresenceUAClientErrorCode code);
    void Log(const std::string& text) const;

    PresenceAgentOptions mOptions;
    CyclicMessageQueue mQueue;
    SubscribeWriter mWriter;
    SubscribeRateLimiter mLimiter;
    std::list<Subscription> mSubscriptions;   // oldest first
    std::list<Transaction> mTransactions;
    SipSocketPool mSockets;
    NetworkWatch mNetwork;
    int64_t mLastNetworkLook = 0;
    PresenceAgentCounters mCounters;
};

#endif
