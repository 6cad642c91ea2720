// Messaging library: numbered queues between the device's processes.
//
// A queue is a Unix-domain datagram socket bound at
// QueueDirectory() + "/queue-<number>" (directory mode 0770, socket mode 0660).
// Every datagram carries one message in the wire format below; a datagram is
// checked whole before anything acts on it, and one that is truncated,
// oversized, garbled or sent by a process of another user and group is dropped
// and counted.
//
// Wire format, all integers big-endian:
//   offset 0  u8[2]  magic "AP"
//   offset 2  u8     version (WIRE_VERSION)
//   offset 3  u8     kind (MessageKind)
//   offset 4  u32    payload length, equal to the datagram size minus 8
//   offset 8  payload, by kind:
//     SUBSCRIBE    u64 id, party subscriber, party target, u32 watching states, u32 expires
//     UNSUBSCRIBE  u64 id
//     CONFIRM      u64 id
//     NOTIFY       u64 id, str url
//     ERROR        u64 id, i32 code
//     PARTY_STATE  u8 online (0 or 1)
//     UPDATE       i32 type, u32 number, u16 count, count * str
//   str   = u16 length, that many bytes (no terminator)
//   party = 10 * str, i32 integer (the CallParams record in field order)
// The payload must be consumed exactly; trailing bytes make the message garbled.
#ifndef PLATFORM_MESSAGING_H
#define PLATFORM_MESSAGING_H

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "media_control/call_params.h"

class Link;                      // transport of a messenger; null selects the queue transport
typedef unsigned int WatchingStates;

enum UpdateType : int32_t {
    Update_None = 0,
    Update_Configuration_Command = 182,  // first string: a configCommands word
};

enum PresenceUAClientErrorCode : int32_t {
    Presence_No_Error = 0,
    Presence_Invalid_Request = 1,
    Presence_Not_Online = 2,
    Presence_Network_Failure = 3,
    Presence_Unknown_Subscription = 4,
    Presence_Subscription_Failed = 5,
    Presence_Unsubscription_Failed = 6,
    Presence_Notify_Failed = 7,
    Presence_Internal_Error = 8,
    Presence_Subscription_Time_Out = 9,
};

// ---------------------------------------------------------------- wire format

namespace Messaging {

const uint8_t WIRE_VERSION = 1;
const size_t HEADER_SIZE = 8;
const size_t MAX_MESSAGE_SIZE = 16384;   // whole datagram
const int PRESENCE_CLIENT_QUEUE = 125;   // the daemon's presence messenger
const int CGI_QUEUE = 126;               // the daemon's web-side endpoint
const int PRESENCE_AGENT_QUEUE = 124;    // the presence user agent

enum MessageKind : uint8_t {
    MSG_SUBSCRIBE = 1,
    MSG_UNSUBSCRIBE = 2,
    MSG_CONFIRM = 3,
    MSG_NOTIFY = 4,
    MSG_ERROR = 5,
    MSG_PARTY_STATE = 6,
    MSG_UPDATE = 7,
};

struct Message {
    MessageKind kind = MSG_CONFIRM;
    uint64_t id = 0;
    CallParams subscriber;                 // SUBSCRIBE
    CallParams target;                     // SUBSCRIBE
    uint32_t watchingStates = 0;           // SUBSCRIBE
    uint32_t expires = 0;                  // SUBSCRIBE
    std::string url;                       // NOTIFY
    int32_t code = 0;                      // ERROR: error code; UPDATE: type
    bool online = false;                   // PARTY_STATE
    uint32_t number = 0;                   // UPDATE
    std::list<std::string> strings;        // UPDATE
};

// Appends the encoded message to out. False (out unchanged) when it would
// exceed MAX_MESSAGE_SIZE or a string is longer than 65535 bytes.
bool EncodeMessage(const Message& message, std::vector<uint8_t>& out);

// Decodes one whole datagram. False for anything that is not exactly one
// well-formed message of this version.
bool DecodeMessage(const uint8_t* data, size_t length, Message& message);

// Directory of the queue sockets; default "/var/run/msgq". Set it before any
// queue is created (tests use a temporary directory).
void SetQueueDirectory(const std::string& directory);
std::string QueueDirectory();
std::string QueuePath(int queue);

}  // namespace Messaging

// ---------------------------------------------------------------- queues

// One numbered queue endpoint of this process. The constructor binds it and
// registers it for CyclicQueuePoller; it throws std::system_error when the
// queue cannot be bound (for instance when another live process serves it).
//
// Queue number 0 is an anonymous endpoint for a program that only talks to
// numbered queues and wants their answers (a command tool): it is bound to an
// autobound abstract address, is not registered for the poller and leaves no
// file behind. Negative numbers are refused (EINVAL).
class CyclicMessageQueue {
public:
    explicit CyclicMessageQueue(int queue);
    virtual ~CyclicMessageQueue();
    CyclicMessageQueue(const CyclicMessageQueue&) = delete;
    CyclicMessageQueue& operator=(const CyclicMessageQueue&) = delete;

    int GetQueue() const { return mQueue; }
    int GetFD() const { return mFd; }

    // Sends to queue `to` without blocking. False when nobody serves that
    // queue, the sender may not reach it, or it is full; error (may be null)
    // then receives the reason as an errno value: ENOENT or ECONNREFUSED
    // nobody serves the queue, EACCES or EPERM this process may not reach it,
    // EAGAIN it is full, EMSGSIZE the message does not fit, EINVAL `to` is
    // not a queue number, ENAMETOOLONG the queue directory's path is too
    // long; others as sendto(2) gives them. 0 on success.
    bool SendTo(int to, const Messaging::Message& message, int* error = nullptr);

    // Reads one pending datagram without blocking. True with a checked
    // message (and its sender's address when from is given); false when
    // nothing valid is pending. Invalid datagrams are consumed and counted.
    bool ReceiveMessage(Messaging::Message& message, sockaddr_un* from = nullptr,
                        socklen_t* fromLength = nullptr);

    // Datagrams dropped by the checks so far, and valid messages of a kind
    // the receiving messenger does not handle.
    unsigned long GetDroppedCount() const { return mDropped.load(); }

    // Waits at most timeoutMs (-1: no bound) for input on this queue; a
    // signal does not extend the wait. True when a datagram is pending.
    bool WaitForInput(int timeoutMs);

    // True when a process serves queue `queue` and this process may send to it.
    static bool IsQueueServed(int queue);

protected:
    // SendTo for an address; error as there.
    bool SendToAddress(const sockaddr_un& to, socklen_t toLength, const Messaging::Message& message,
                       int* error = nullptr);
    void CountDropped() { ++mDropped; }

private:
    int mQueue;
    int mFd;
    std::atomic<unsigned long> mDropped;
    std::string mPath;   // socket file to remove on destruction; empty for queue 0
};

// Waits for input on the queues of this process that were selected.
class CyclicQueuePoller {
public:
    // maxQueues: most queues that can be selected.
    explicit CyclicQueuePoller(int maxQueues);
    virtual ~CyclicQueuePoller();
    CyclicQueuePoller(const CyclicQueuePoller&) = delete;
    CyclicQueuePoller& operator=(const CyclicQueuePoller&) = delete;

    // Adds a queue of this process. owner: name of the process that serves
    // the other end, informational; read: wait for input (must be true);
    // exclusive: ignored. False when the queue is unknown or the set is full.
    bool SelectQueue(int queue, const char* owner, bool read, bool exclusive);

    // Blocks in poll() until a selected queue has input and returns its
    // number; 0 on failure. Takes turns between ready queues so none starves.
    virtual int WaitForEvents();

private:
    int mMaxQueues;
    std::vector<int> mQueues;
    size_t mNext;
};

// The web side's endpoint. Update messages reach OnUpdate.
//
// A command tool sends an UPDATE from its own endpoint and waits for the
// answer, which tells it that the daemon took the command:
//     CyclicMessageQueue tool(0);
//     tool.SendTo(Messaging::CGI_QUEUE, update);
//     if (tool.WaitForInput(timeoutMs) && tool.ReceiveMessage(reply)) ...
class CGIMessenger : public CyclicMessageQueue {
public:
    explicit CGIMessenger(int queue);
    virtual ~CGIMessenger();

    // Handles at most count pending messages on the calling thread; returns
    // how many were taken from the queue. One thread at a time.
    virtual int ProcessMessageFromQueue(int count);

    virtual int OnGetStates(const std::list<std::string>& states);
    virtual int OnUpdate(UpdateType type, const std::list<std::string>& data);
    virtual int OnGetActiveCalls(const std::list<std::string>& calls);

    // Answers the sender of the update being handled with an UPDATE message
    // carrying type, data and number. False outside an update or when the
    // sender is gone.
    bool Update(UpdateType type, const std::list<std::string>& data, unsigned int number);

private:
    void SetReplyTo(const sockaddr_un* address, socklen_t length);

    std::mutex mReplyMutex;
    sockaddr_un mReplyTo;
    socklen_t mReplyToLength;
};

// Placeholder for presence information of a watched party.
struct PresenceInfo {
    std::string state;
    std::string note;
};

// The presence user agent's client endpoint. Requests go to queue
// Messaging::PRESENCE_AGENT_QUEUE; its answers reach the On... callbacks.
//
// The agent itself serves that queue with a plain CyclicMessageQueue: its
// ReceiveMessage yields SUBSCRIBE and UNSUBSCRIBE, and it answers with
// SendTo(Messaging::PRESENCE_CLIENT_QUEUE, ...) carrying CONFIRM, NOTIFY,
// ERROR or PARTY_STATE. An agent announces itself with PARTY_STATE online
// when it starts.
//
// Start order and agent restarts do not lose a subscription: the newest one
// is kept until the agent answers it with NOTIFY or ERROR or it is
// unsubscribed. When an agent announces itself online, each kept SUBSCRIBE
// that no agent received (its queue was not served or full) or that went to
// an earlier agent (the queue has been bound anew since) is sent again,
// before OnPresencePartyStateChanged runs. Chosen over reporting the failure
// through OnErrorConvey, whose resubscription would retry and trace every
// worker period for as long as the agent is away.
class PresenceMessenger : public CyclicMessageQueue {
public:
    PresenceMessenger(int queue, Link* link);
    virtual ~PresenceMessenger();

    // Handles at most count pending messages on the calling thread; safe to
    // call from two threads at once. Returns how many were taken.
    virtual int ProcessMessageFromQueue(int count);

    // Requests never block and fail softly (false) when the agent is absent;
    // a subscription that failed so is kept as described above. The list
    // form sends one SUBSCRIBE per target with the same id and stops at the
    // first that fails; an empty list is false.
    virtual bool Subscribe(const unsigned long long& id, const CallParams& subscriber,
                           const CallParams& target, const WatchingStates& states,
                           const unsigned long& expires);
    virtual bool Subscribe(const unsigned long long& id, const CallParams& subscriber,
                           const std::list<CallParams>& targets, const WatchingStates& states,
                           const unsigned long& expires);
    virtual bool Unsubscribe(const unsigned long long& id);

    virtual int OnSubscribe(const unsigned long long& id, const CallParams& party);
    virtual int OnUnsubscribe(const unsigned long long& id);
    virtual int OnConfirm(const unsigned long long& id);
    virtual int OnErrorConvey(const unsigned long long& id, const PresenceUAClientErrorCode& code);
    virtual int OnNotify(const unsigned long long& id, const CallParams& party,
                         const std::list<PresenceInfo>& info);
    virtual int OnNotify(const unsigned long long& id, const std::string& url);

    // True while the presence user agent serves its queue and its last
    // PARTY_STATE message, if any, said online. An offline message counts
    // until the next PARTY_STATE or until the agent's queue is found unserved.
    virtual bool IsPartyOnline();
    virtual int OnPresencePartyStateChanged(bool online);
    virtual int OnPartyStateChanged(bool online);

    // Sends one request to the agent. Subscriptions are sent with the kept
    // requests' lock held, so an override must not call Subscribe or
    // Unsubscribe.
    virtual bool SendMessage(const Messaging::Message& message);

private:
    // One SUBSCRIBE of the kept subscription.
    struct KeptRequest {
        Messaging::Message message;
        std::string receivedBy;   // the agent queue's identity when it was sent; empty: not received
    };

    bool SubscribeTargets(const unsigned long long& id, const CallParams& subscriber,
                          const std::list<CallParams>& targets, const WatchingStates& states,
                          const unsigned long& expires);
    bool SendKept(KeptRequest& request);
    void Redeliver();
    void Settle(unsigned long long id);

    [[maybe_unused]] Link* mpLink;   // only the queue transport exists; kept for callers that pass one
    std::atomic<bool> mPartyOnline;
    std::mutex mKeptMutex;   // guards mKept; held across its sends, so they keep their order
    std::vector<KeptRequest> mKept;   // the newest subscription's requests, in order
};

#endif
