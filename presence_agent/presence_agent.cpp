// The agent's poll loop, the daemon's queue and the SUBSCRIBEs it sends.
#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

#include "sip/sip_text.h"

using Sip::AddressText;
using Sip::RetransmitSchedule;

namespace {

// Datagrams or queue messages taken from one descriptor per round, so that
// a flood on one cannot starve the others.
const int MAX_READS_PER_ROUND = 64;
// Without rtnetlink, how often a waiting SUBSCRIBE looks at the network.
const int64_t NETWORK_LOOK_MS = 1000;

// A send that failed for want of an address, a link or a route.
bool NoNetwork(int error)
{
    return error == ENETUNREACH || error == ENETDOWN || error == EHOSTUNREACH || error == EADDRNOTAVAIL ||
           error == ENODEV;
}

// What a message to the daemon carries, for the log.
std::string Describe(const Messaging::Message& message)
{
    const std::string of = " of subscription " + std::to_string(message.id);
    switch (message.kind) {
    case Messaging::MSG_CONFIRM: return "confirmation" + of;
    case Messaging::MSG_NOTIFY: return "notification" + of + " (" + message.url + ")";
    case Messaging::MSG_ERROR: return "error " + std::to_string(message.code) + of;
    case Messaging::MSG_PARTY_STATE: return message.online ? "online state" : "offline state";
    default: return "message of kind " + std::to_string(message.kind);
    }
}

}  // namespace

PresenceAgent::PresenceAgent(const PresenceAgentOptions& options)
    : mOptions(options), mQueue(Messaging::PRESENCE_AGENT_QUEUE),
      mWriter(ReadFirmwareVersion(options.versionFile)), mLimiter(options.minSubscribeIntervalMs),
      mNetwork(options.interfaceName)
{
}

PresenceAgent::~PresenceAgent() {}

int64_t PresenceAgent::Now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PresenceAgent::Log(const std::string& text) const
{
    if (mOptions.verbose)
        fprintf(stderr, "presence-agent: %s\n", text.c_str());
}

void PresenceAgent::Start()
{
    Messaging::Message online;
    online.kind = Messaging::MSG_PARTY_STATE;
    online.online = true;
    AnswerDaemon(online);
}

void PresenceAgent::Shutdown()
{
    Messaging::Message offline;
    offline.kind = Messaging::MSG_PARTY_STATE;
    offline.online = false;
    AnswerDaemon(offline);
}

void PresenceAgent::Run(int stopFd)
{
    Start();
    while (RunOnce(-1, stopFd)) {
    }
    Shutdown();
}

int PresenceAgent::NextTimeout(int timeoutMs) const
{
    int64_t deadline = std::numeric_limits<int64_t>::max();
    for (const Transaction& transaction : mTransactions) {
        if (transaction.sent)
            deadline = std::min(deadline, transaction.schedule.NextDeadline());
    }
    if (mLimiter.HasHeld())
        deadline = std::min(deadline, mLimiter.DueAt());
    for (const Subscription& subscription : mSubscriptions)
        deadline = std::min(deadline, subscription.ExpiresAt());
    if (mNetwork.GetFD() < 0 && AnyWaiting())
        deadline = std::min(deadline, mLastNetworkLook + NETWORK_LOOK_MS);
    if (deadline == std::numeric_limits<int64_t>::max())
        return timeoutMs;
    const int64_t wait = std::max<int64_t>(0, std::min<int64_t>(deadline - Now(), INT_MAX));
    return timeoutMs < 0 ? static_cast<int>(wait) : static_cast<int>(std::min<int64_t>(timeoutMs, wait));
}

bool PresenceAgent::RunOnce(int timeoutMs, int stopFd)
{
    std::vector<std::shared_ptr<SipSocket>> sockets;
    std::vector<pollfd> fds;
    fds.push_back({stopFd, POLLIN, 0});   // poll() skips a negative descriptor
    fds.push_back({mQueue.GetFD(), POLLIN, 0});
    fds.push_back({mNetwork.GetFD(), POLLIN, 0});
    mSockets.AddToPollSet(fds, sockets);
    // An interrupted poll() is a round without input; the caller loops.
    const int ready = poll(fds.data(), fds.size(), NextTimeout(timeoutMs));
    if (ready > 0) {
        if (fds[0].revents != 0)
            return false;
        if (fds[1].revents != 0)
            HandleQueue();
        // Read whether or not anything waits, so that the descriptor does not stay readable.
        if (fds[2].revents != 0 && mNetwork.Drain() && AnyWaiting())
            RetryWaiting();
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (fds[i + 3].revents == 0)
                continue;
            std::string data;
            sockaddr_in from;
            for (int reads = 0; reads < MAX_READS_PER_ROUND && sockets[i]->Receive(data, from); ++reads)
                HandleDatagram(sockets[i], data, from);
        }
    }
    HandleTimers();
    mSockets.ReleaseUnused();
    return true;
}

// ---------------------------------------------------------------- the daemon's side

bool PresenceAgent::AnswerDaemon(const Messaging::Message& message)
{
    if (mQueue.SendTo(Messaging::PRESENCE_CLIENT_QUEUE, message))
        return true;
    Log("daemon queue not reachable, " + Describe(message) + " not delivered");
    return false;
}

void PresenceAgent::AnswerError(uint64_t id, PresenceUAClientErrorCode code)
{
    Messaging::Message error;
    error.kind = Messaging::MSG_ERROR;
    error.id = id;
    error.code = code;
    Log("error " + std::to_string(code) + " for subscription " + std::to_string(id));
    AnswerDaemon(error);
}

void PresenceAgent::HandleQueue()
{
    Messaging::Message message;
    for (int reads = 0; reads < MAX_READS_PER_ROUND && mQueue.ReceiveMessage(message); ++reads) {
        if (message.kind == Messaging::MSG_SUBSCRIBE) {
            HandleSubscribeRequest(message);
        } else if (message.kind == Messaging::MSG_UNSUBSCRIBE) {
            HandleUnsubscribeRequest(message.id);
        } else {
            ++mCounters.droppedQueueMessages;
            Log("queue message of kind " + std::to_string(message.kind) + " dropped");
        }
    }
}

void PresenceAgent::HandleSubscribeRequest(const Messaging::Message& request)
{
    in_addr address;
    uint16_t port = 0;
    const bool valid = !request.target.userName.empty() && !request.subscriber.userName.empty() &&
                       Sip::ParseIpv4(request.target.ipAddress, address) &&
                       Sip::ParsePort(request.target.port, false, port) &&
                       Sip::ParsePort(request.subscriber.port, true, port) &&
                       (request.subscriber.ipAddress.empty() ||
                        Sip::ParseIpv4(request.subscriber.ipAddress, address));
    if (!valid) {
        AnswerError(request.id, Presence_Invalid_Request);
        return;
    }
    bool replaced = false;
    uint64_t replacedId = 0;
    const bool now = mLimiter.Offer(request, Now(), &replaced, &replacedId);
    if (replaced) {
        ++mCounters.droppedRequests;
        Log("held subscribe request " + std::to_string(replacedId) + " dropped for a newer one");
    }
    if (now) {
        StartSubscription(request);
        mLimiter.MarkSent(Now());
    } else {
        Log("subscribe request " + std::to_string(request.id) + " held by the rate limit");
    }
}

void PresenceAgent::HandleUnsubscribeRequest(uint64_t id)
{
    if (mLimiter.DropHeld(id)) {
        Log("held subscribe request " + std::to_string(id) + " withdrawn");
        return;
    }
    SubscriptionIt subscription = Find(id);
    if (subscription == mSubscriptions.end()) {
        Log("unsubscribe of unknown subscription " + std::to_string(id) + " ignored");
        return;
    }
    if (subscription->Confirmed())
        EndDialog(*subscription);
    Forget(id);
}

PresenceAgent::SubscriptionIt PresenceAgent::Find(uint64_t id)
{
    return std::find_if(mSubscriptions.begin(), mSubscriptions.end(),
                        [id](const Subscription& subscription) { return subscription.Id() == id; });
}

void PresenceAgent::Forget(uint64_t id)
{
    mSubscriptions.remove_if([id](const Subscription& subscription) { return subscription.Id() == id; });
    mTransactions.remove_if(
        [id](const Transaction& transaction) { return transaction.ownsSubscription && transaction.id == id; });
}

// ---------------------------------------------------------------- SIP requests

PresenceAgent::SendResult PresenceAgent::Send(Transaction& transaction)
{
    if (transaction.ownsSubscription) {
        // Looked at on every (re)send, so an address change is followed at once.
        const std::string source = mNetwork.SourceAddress(transaction.wantedIp);
        mLastNetworkLook = Now();
        if (source.empty())
            return NO_NETWORK;
        if (source != transaction.source) {
            const SendResult written = Write(transaction, source);
            if (written != SENT)
                return written;
        }
    }
    const bool sent = transaction.socket->SendTo(transaction.destination, transaction.text);
    const int error = errno;
    Log(std::string(sent ? "sent " : "could not send ") + Sip::FirstLine(transaction.text) + " to " +
        AddressText(transaction.destination) + " (Call-ID " + transaction.callId + ", CSeq " +
        std::to_string(transaction.cseq) + ")" + (sent ? "" : std::string(": ") + strerror(error)));
    if (sent)
        return SENT;
    return NoNetwork(error) ? NO_NETWORK : SEND_FAILED;
}

PresenceAgent::SendResult PresenceAgent::Write(Transaction& transaction, const std::string& source)
{
    SubscriptionIt subscription = Find(transaction.id);
    if (subscription == mSubscriptions.end())
        return SEND_FAILED;
    bool opened = false;
    std::shared_ptr<SipSocket> socket = mSockets.SocketFor(source, transaction.localPort, &opened);
    if (!socket) {
        // An address announced but not yet usable for a bind: the next change tells.
        if (errno == EADDRNOTAVAIL)
            return NO_NETWORK;
        fprintf(stderr, "presence-agent: no UDP socket for %s:%u: %s\n", source.c_str(), transaction.localPort,
                strerror(errno));
        return SEND_FAILED;
    }
    if (opened)
        Log("SIP socket bound to " + AddressText(socket->LocalAddress()));
    if (!transaction.source.empty())
        Log("subscription " + std::to_string(transaction.id) + " goes out from " + source + " now, no longer from " +
            transaction.source);
    SipDialog& dialog = subscription->Dialog();
    dialog.localUri = MakeSipUri(dialog.user, source, 5060);
    dialog.callId = Sip::RandomToken() + "@" + source;
    subscription->SetSocket(socket);
    transaction.source = source;
    transaction.socket = socket;
    transaction.callId = dialog.callId;
    transaction.text = Sip::Serialize(mWriter.Subscribe(dialog, source, ntohs(socket->LocalAddress().sin_port),
                                                        mOptions.expiresSeconds, &transaction.branch));
    return SENT;
}

void PresenceAgent::OnWire(Transaction& transaction)
{
    transaction.waiting = false;
    if (transaction.sent)
        return;
    // The first time on the wire: Timers E and F start now.
    transaction.sent = true;
    transaction.schedule = RetransmitSchedule(mOptions.timers, Now());
}

bool PresenceAgent::AnyWaiting() const
{
    return std::any_of(mTransactions.begin(), mTransactions.end(),
                       [](const Transaction& transaction) { return transaction.waiting; });
}

void PresenceAgent::RetryWaiting()
{
    std::vector<uint64_t> failed;
    for (auto transaction = mTransactions.begin(); transaction != mTransactions.end();) {
        bool done = false;
        if (transaction->waiting) {
            const bool first = !transaction->sent;
            const SendResult result = Send(*transaction);
            if (result == SENT) {
                OnWire(*transaction);
                // A SUBSCRIBE that waited for the network is a new one on the wire for the rate limit.
                if (first)
                    mLimiter.MarkSent(Now());
            } else if (result == SEND_FAILED) {
                done = true;
                if (transaction->ownsSubscription)
                    failed.push_back(transaction->id);
            }
        }
        transaction = done ? mTransactions.erase(transaction) : std::next(transaction);
    }
    for (const uint64_t id : failed) {
        AnswerError(id, Presence_Network_Failure);
        Forget(id);
    }
}

void PresenceAgent::StartSubscription(const Messaging::Message& request)
{
    if (Find(request.id) != mSubscriptions.end()) {
        Log("subscription " + std::to_string(request.id) + " asked for again: the old one is forgotten");
        Forget(request.id);
    }
    // One that never got out for want of a network gives way: the daemon has moved on to this id.
    std::vector<uint64_t> unsent;
    for (const Transaction& transaction : mTransactions) {
        if (transaction.ownsSubscription && !transaction.sent)
            unsent.push_back(transaction.id);
    }
    for (const uint64_t id : unsent) {
        ++mCounters.droppedRequests;
        Log("subscription " + std::to_string(id) + ", waiting for the network, dropped for a newer one");
        Forget(id);
    }
    if (mSubscriptions.size() >= MAX_SUBSCRIPTIONS) {
        Log("subscription " + std::to_string(mSubscriptions.front().Id()) + " forgotten to make room");
        Forget(mSubscriptions.front().Id());
    }

    in_addr targetHost;
    uint16_t targetPort = 5060;
    Transaction transaction(mOptions.timers, Now());
    Sip::ParseIpv4(request.target.ipAddress, targetHost);
    Sip::ParsePort(request.target.port, false, targetPort);
    Sip::ParsePort(request.subscriber.port, true, transaction.localPort);
    transaction.ownsSubscription = true;
    transaction.id = request.id;
    transaction.wantedIp = request.subscriber.ipAddress;
    transaction.destination = Sip::MakeAddress(targetHost, targetPort);

    // The parts of the dialog that name the local address are written with the request.
    SipDialog dialog;
    dialog.user = request.subscriber.userName;
    dialog.remoteUri = MakeSipUri(request.target.userName, request.target.ipAddress, targetPort);
    dialog.requestUri = dialog.remoteUri;
    dialog.localTag = Sip::RandomToken();
    dialog.cseq = 1;
    transaction.cseq = dialog.cseq;
    mSubscriptions.emplace_back(request.id, dialog, nullptr, transaction.destination, mOptions.expiresSeconds,
                                mOptions.timers.timerFMs);
    mTransactions.push_back(transaction);

    Transaction& pending = mTransactions.back();
    switch (Send(pending)) {
    case SENT:
        OnWire(pending);
        break;
    case NO_NETWORK:
        pending.waiting = true;
        Log("subscription " + std::to_string(request.id) + " waits for an address and link on " +
            mNetwork.InterfaceName());
        break;
    case SEND_FAILED:
        AnswerError(request.id, Presence_Network_Failure);
        Forget(request.id);
        break;
    }
}

void PresenceAgent::EndDialog(Subscription& subscription)
{
    SipDialog& dialog = subscription.Dialog();
    ++dialog.cseq;
    // From the dialog's own address while it is usable, else from the provisioning interface's new one.
    std::shared_ptr<SipSocket> socket = subscription.Socket();
    const std::string bound = Sip::HostText(socket->LocalAddress().sin_addr);
    const std::string source = mNetwork.SourceAddress(bound);
    bool opened = false;
    if (!source.empty() && source != bound)
        socket = mSockets.SocketFor(source, ntohs(socket->LocalAddress().sin_port), &opened);
    if (source.empty() || !socket) {
        Log("no network for the end of subscription " + std::to_string(subscription.Id()) + ": not sent");
        return;
    }

    Transaction transaction(mOptions.timers, Now());
    transaction.id = subscription.Id();
    transaction.callId = dialog.callId;
    transaction.cseq = dialog.cseq;
    transaction.socket = socket;
    transaction.destination = subscription.Peer();
    transaction.text = Sip::Serialize(
        mWriter.Subscribe(dialog, source, ntohs(socket->LocalAddress().sin_port), 0, &transaction.branch));
    if (Send(transaction) == SENT) {
        OnWire(transaction);
        mTransactions.push_back(transaction);
    }
}

void PresenceAgent::HandleTimers()
{
    const int64_t now = Now();
    Messaging::Message held;
    if (mLimiter.TakeDue(now, held)) {
        Log("held subscribe request " + std::to_string(held.id) + " goes out");
        StartSubscription(held);
        mLimiter.MarkSent(Now());
    }

    std::vector<std::pair<uint64_t, PresenceUAClientErrorCode>> failed;
    for (auto transaction = mTransactions.begin(); transaction != mTransactions.end();) {
        if (!transaction->sent) {   // waits for the network, without timers
            ++transaction;
            continue;
        }
        const RetransmitSchedule::Action action = transaction->schedule.OnTimer(now);
        bool done = false;
        if (action == RetransmitSchedule::RETRANSMIT) {
            const SendResult result = Send(*transaction);
            // A retransmission that finds no network is sent again once it is back; Timer F runs on.
            transaction->waiting = result == NO_NETWORK;
            if (result == SEND_FAILED) {
                done = true;
                if (transaction->ownsSubscription)
                    failed.emplace_back(transaction->id, Presence_Network_Failure);
            }
        } else if (action == RetransmitSchedule::TIMED_OUT) {
            done = true;
            Log("no answer to " + Sip::FirstLine(transaction->text) + " (Call-ID " + transaction->callId + ")");
            if (transaction->ownsSubscription && Find(transaction->id) != mSubscriptions.end())
                failed.emplace_back(transaction->id, Presence_Subscription_Time_Out);
        }
        transaction = done ? mTransactions.erase(transaction) : std::next(transaction);
    }
    for (const auto& failure : failed) {
        AnswerError(failure.first, failure.second);
        Forget(failure.first);
    }

    // Without rtnetlink, what waits for the network looks at it once a second.
    if (mNetwork.GetFD() < 0 && AnyWaiting() && Now() >= mLastNetworkLook + NETWORK_LOOK_MS)
        RetryWaiting();

    for (auto subscription = mSubscriptions.begin(); subscription != mSubscriptions.end();) {
        const uint64_t id = subscription->Id();
        const bool expired = subscription->Expired(now);
        ++subscription;
        if (expired) {
            Log("subscription " + std::to_string(id) + " expired");
            Forget(id);
        }
    }
}
