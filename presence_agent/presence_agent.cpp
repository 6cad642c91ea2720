#include "presence_agent/presence_agent.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// Datagrams or queue messages taken from one descriptor per round, so that
// a flood on one cannot starve the others.
const int MAX_READS_PER_ROUND = 64;

std::string FirstLine(const std::string& text)
{
    const size_t end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

sockaddr_in MakeAddress(const in_addr& host, uint16_t port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr = host;
    address.sin_port = htons(port);
    return address;
}

// Expires header value in seconds; false when absent or not a number.
bool ExpiresOf(const Sip::SipMessage& message, unsigned long& seconds)
{
    const std::string* value = message.Header("Expires");
    if (value == nullptr || value->empty() || value->size() > 9)
        return false;
    seconds = 0;
    for (char c : *value) {
        if (c < '0' || c > '9')
            return false;
        seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
    }
    return true;
}

}  // namespace

PresenceAgent::PresenceAgent(const PresenceAgentOptions& options)
    : mOptions(options), mQueue(Messaging::PRESENCE_AGENT_QUEUE),
      mWriter(ReadFirmwareVersion(options.versionFile)), mLimiter(options.minSubscribeIntervalMs), mNextOrder(0)
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
    for (const Transaction& transaction : mTransactions)
        deadline = std::min(deadline, transaction.schedule.NextDeadline());
    if (mLimiter.HasHeld())
        deadline = std::min(deadline, mLimiter.DueAt());
    for (const Subscription& subscription : mSubscriptions) {
        if (subscription.alive)
            deadline = std::min(deadline, subscription.expiresAt);
    }
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
    for (const auto& entry : mSockets) {
        sockets.push_back(entry.second);
        fds.push_back({entry.second->GetFD(), POLLIN, 0});
    }
    // An interrupted poll() is a round without input; the caller loops.
    const int ready = poll(fds.data(), fds.size(), NextTimeout(timeoutMs));
    if (ready > 0) {
        if (fds[0].revents != 0)
            return false;
        if (fds[1].revents != 0)
            HandleQueue();
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (fds[i + 2].revents == 0)
                continue;
            std::string data;
            sockaddr_in from;
            for (int reads = 0; reads < MAX_READS_PER_ROUND && sockets[i]->Receive(data, from); ++reads)
                HandleDatagram(sockets[i], data, from);
        }
    }
    HandleTimers();
    ReleaseUnusedSockets();
    return true;
}

// ---------------------------------------------------------------- the daemon's side

void PresenceAgent::AnswerDaemon(const Messaging::Message& message)
{
    if (!mQueue.SendTo(Messaging::PRESENCE_CLIENT_QUEUE, message))
        Log("daemon queue not reachable, message of kind " + std::to_string(message.kind) + " dropped");
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
                       ParseIpv4(request.target.ipAddress, address) &&
                       ParsePort(request.target.port, false, port) &&
                       ParsePort(request.subscriber.port, true, port) &&
                       (request.subscriber.ipAddress.empty() || ParseIpv4(request.subscriber.ipAddress, address));
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
    if (subscription->alive)
        EndDialog(*subscription);
    Forget(id);
}

PresenceAgent::SubscriptionIt PresenceAgent::Find(uint64_t id)
{
    return std::find_if(mSubscriptions.begin(), mSubscriptions.end(),
                        [id](const Subscription& subscription) { return subscription.id == id; });
}

void PresenceAgent::Forget(uint64_t id)
{
    mSubscriptions.remove_if([id](const Subscription& subscription) { return subscription.id == id; });
    mTransactions.remove_if(
        [id](const Transaction& transaction) { return transaction.ownsSubscription && transaction.id == id; });
}

// ---------------------------------------------------------------- SIP requests

std::shared_ptr<SipSocket> PresenceAgent::SocketFor(const std::string& localIp, uint16_t port)
{
    const std::string key = localIp + "|" + std::to_string(port);
    auto found = mSockets.find(key);
    if (found != mSockets.end())
        return found->second;
    std::shared_ptr<SipSocket> socket = std::make_shared<SipSocket>();
    if (!socket->Open(localIp, port)) {
        fprintf(stderr, "presence-agent: no UDP socket for %s:%u: %s\n", localIp.c_str(), port, strerror(errno));
        return nullptr;
    }
    Log("SIP socket bound to " + AddressText(socket->LocalAddress()));
    mSockets[key] = socket;
    return socket;
}

void PresenceAgent::ReleaseUnusedSockets()
{
    for (auto entry = mSockets.begin(); entry != mSockets.end();) {
        if (entry->second.use_count() == 1)
            entry = mSockets.erase(entry);
        else
            ++entry;
    }
}

bool PresenceAgent::SendTransaction(Transaction& transaction)
{
    const bool sent = transaction.socket->SendTo(transaction.destination, transaction.text);
    Log(std::string(sent ? "sent " : "could not send ") + FirstLine(transaction.text) + " to " +
        AddressText(transaction.destination) + " (Call-ID " + transaction.callId + ", CSeq " +
        std::to_string(transaction.cseq) + ")");
    return sent;
}

void PresenceAgent::StartSubscription(const Messaging::Message& request)
{
    if (Find(request.id) != mSubscriptions.end()) {
        Log("subscription " + std::to_string(request.id) + " asked for again: the old one is forgotten");
        Forget(request.id);
    }
    if (mSubscriptions.size() >= MAX_SUBSCRIPTIONS) {
        auto oldest = std::min_element(mSubscriptions.begin(), mSubscriptions.end(),
                                       [](const Subscription& a, const Subscription& b) { return a.order < b.order; });
        Log("subscription " + std::to_string(oldest->id) + " forgotten to make room");
        Forget(oldest->id);
    }

    in_addr targetHost;
    uint16_t targetPort = 5060;
    uint16_t localPort = 5060;
    ParseIpv4(request.target.ipAddress, targetHost);
    ParsePort(request.target.port, false, targetPort);
    ParsePort(request.subscriber.port, true, localPort);

    std::shared_ptr<SipSocket> socket = SocketFor(request.subscriber.ipAddress, localPort);
    if (!socket) {
        AnswerError(request.id, Presence_Network_Failure);
        return;
    }
    const sockaddr_in destination = MakeAddress(targetHost, targetPort);
    const std::string localHost = socket->AdvertisedAddress(destination);
    const uint16_t viaPort = ntohs(socket->LocalAddress().sin_port);

    Subscription subscription;
    subscription.id = request.id;
    subscription.socket = socket;
    subscription.peer = destination;
    subscription.order = mNextOrder++;
    SipDialog& dialog = subscription.dialog;
    dialog.user = request.subscriber.userName;
    dialog.localUri = MakeSipUri(request.subscriber.userName, localHost, 5060);
    dialog.remoteUri = MakeSipUri(request.target.userName, request.target.ipAddress, targetPort);
    dialog.requestUri = dialog.remoteUri;
    dialog.callId = RandomToken() + "@" + localHost;
    dialog.localTag = RandomToken();
    dialog.cseq = 1;

    Transaction transaction(mOptions.timers, Now());
    transaction.ownsSubscription = true;
    transaction.id = request.id;
    transaction.callId = dialog.callId;
    transaction.cseq = dialog.cseq;
    transaction.socket = socket;
    transaction.destination = destination;
    transaction.text =
        Sip::Serialize(mWriter.Subscribe(dialog, localHost, viaPort, mOptions.expiresSeconds, &transaction.branch));
    if (!SendTransaction(transaction)) {
        AnswerError(request.id, Presence_Network_Failure);
        return;
    }
    mSubscriptions.push_back(subscription);
    mTransactions.push_back(transaction);
}

void PresenceAgent::EndDialog(Subscription& subscription)
{
    SipDialog& dialog = subscription.dialog;
    ++dialog.cseq;
    const std::string localHost = subscription.socket->AdvertisedAddress(subscription.peer);
    const uint16_t viaPort = ntohs(subscription.socket->LocalAddress().sin_port);

    Transaction transaction(mOptions.timers, Now());
    transaction.id = subscription.id;
    transaction.callId = dialog.callId;
    transaction.cseq = dialog.cseq;
    transaction.socket = subscription.socket;
    transaction.destination = subscription.peer;
    transaction.text = Sip::Serialize(mWriter.Subscribe(dialog, localHost, viaPort, 0, &transaction.branch));
    if (SendTransaction(transaction))
        mTransactions.push_back(transaction);
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
        const RetransmitSchedule::Action action = transaction->schedule.OnTimer(now);
        bool done = false;
        if (action == RetransmitSchedule::RETRANSMIT && !SendTransaction(*transaction)) {
            done = true;
            if (transaction->ownsSubscription)
                failed.emplace_back(transaction->id, Presence_Network_Failure);
        } else if (action == RetransmitSchedule::TIMED_OUT) {
            done = true;
            Log("no answer to " + FirstLine(transaction->text) + " (Call-ID " + transaction->callId + ")");
            if (transaction->ownsSubscription) {
                SubscriptionIt subscription = Find(transaction->id);
                // A NOTIFY has shown the subscription works; only its answer got lost.
                if (subscription != mSubscriptions.end() && !subscription->notified)
                    failed.emplace_back(transaction->id, Presence_Subscription_Time_Out);
            }
        }
        transaction = done ? mTransactions.erase(transaction) : std::next(transaction);
    }
    for (const auto& failure : failed) {
        AnswerError(failure.first, failure.second);
        Forget(failure.first);
    }

    for (auto subscription = mSubscriptions.begin(); subscription != mSubscriptions.end();) {
        if (subscription->alive && now >= subscription->expiresAt) {
            Log("subscription " + std::to_string(subscription->id) + " expired");
            const uint64_t id = subscription->id;
            ++subscription;
            Forget(id);
        } else {
            ++subscription;
        }
    }
}

// ---------------------------------------------------------------- SIP input

void PresenceAgent::SendResponse(SipSocket& socket, const Sip::SipMessage& request, int statusCode,
                                 const sockaddr_in& to, const std::string& toTag)
{
    const std::string text = Sip::Serialize(MakeResponse(request, statusCode, toTag));
    const bool sent = socket.SendTo(to, text);
    Log(std::string(sent ? "sent " : "could not send ") + FirstLine(text) + " to " + AddressText(to));
}

void PresenceAgent::HandleDatagram(const std::shared_ptr<SipSocket>& socket, const std::string& data,
                                   const sockaddr_in& from)
{
    Sip::SipMessage message;
    if (!Sip::ParseMessage(data.data(), data.size(), message)) {
        ++mCounters.malformedSip;
        Log("malformed datagram of " + std::to_string(data.size()) + " bytes from " + AddressText(from) + " dropped");
        return;
    }
    Log("received " + FirstLine(data) + " from " + AddressText(from));
    const bool complete = message.Header("Via") != nullptr && message.Header("Call-ID") != nullptr &&
                          message.Header("CSeq") != nullptr && message.Header("From") != nullptr &&
                          message.Header("To") != nullptr;
    if (!complete) {
        ++mCounters.malformedSip;
        Log("message without Via, From, To, Call-ID or CSeq dropped");
        return;
    }
    if (!message.isRequest) {
        HandleResponse(message, from);
    } else if (message.method == "NOTIFY") {
        HandleNotify(socket, message, from);
    } else if (message.method != "ACK") {
        SendResponse(*socket, message, 405, from, RandomToken());
    }
}

void PresenceAgent::HandleResponse(const Sip::SipMessage& response, const sockaddr_in& from)
{
    const std::string branch = Sip::HeaderParameter(*response.Header("Via"), "branch");
    unsigned long cseq = 0;
    std::string method;
    const bool cseqValid = Sip::ParseCSeq(*response.Header("CSeq"), cseq, method);
    auto transaction = std::find_if(mTransactions.begin(), mTransactions.end(), [&](const Transaction& candidate) {
        return !branch.empty() && candidate.branch == branch && cseqValid && method == "SUBSCRIBE" &&
               candidate.cseq == cseq && candidate.callId == *response.Header("Call-ID");
    });
    if (transaction == mTransactions.end()) {
        ++mCounters.strayResponses;
        Log("response of no transaction dropped");
        return;
    }
    if (response.statusCode < 200) {
        transaction->schedule.OnProvisional();
        return;
    }
    const bool owns = transaction->ownsSubscription;
    const uint64_t id = transaction->id;
    mTransactions.erase(transaction);
    if (!owns)
        return;
    SubscriptionIt subscription = Find(id);
    if (subscription == mSubscriptions.end())
        return;
    if (response.statusCode >= 300) {
        AnswerError(id, Presence_Subscription_Failed);
        Forget(id);
        return;
    }
    const std::string toTag = Sip::HeaderParameter(*response.Header("To"), "tag");
    if (subscription->dialog.remoteTag.empty())
        subscription->dialog.remoteTag = toTag;
    const std::string* contact = response.Header("Contact");
    if (contact != nullptr && !Sip::HeaderUri(*contact).empty())
        subscription->dialog.requestUri = Sip::HeaderUri(*contact);
    subscription->peer = from;
    unsigned long granted = mOptions.expiresSeconds;
    ExpiresOf(response, granted);
    granted = std::min<unsigned long>(granted, mOptions.expiresSeconds);
    // Kept at least for one transaction time-out, so that a NOTIFY sent
    // right after a short grant still finds its dialog.
    const int64_t keepMs = std::max<int64_t>(static_cast<int64_t>(granted) * 1000, mOptions.timers.timerFMs);
    if (!subscription->alive)
        subscription->expiresAt = Now() + keepMs;
    subscription->alive = true;

    Messaging::Message confirm;
    confirm.kind = Messaging::MSG_CONFIRM;
    confirm.id = id;
    AnswerDaemon(confirm);
}

void PresenceAgent::HandleNotify(const std::shared_ptr<SipSocket>& socket, const Sip::SipMessage& notify,
                                 const sockaddr_in& from)
{
    const std::string callId = *notify.Header("Call-ID");
    const std::string toTag = Sip::HeaderParameter(*notify.Header("To"), "tag");
    const std::string fromTag = Sip::HeaderParameter(*notify.Header("From"), "tag");
    unsigned long cseq = 0;
    std::string method;
    const bool cseqValid = Sip::ParseCSeq(*notify.Header("CSeq"), cseq, method);
    auto subscription = std::find_if(mSubscriptions.begin(), mSubscriptions.end(), [&](const Subscription& candidate) {
        return candidate.dialog.callId == callId && !toTag.empty() && candidate.dialog.localTag == toTag;
    });
    if (subscription == mSubscriptions.end() || !cseqValid || method != "NOTIFY") {
        ++mCounters.unknownNotifies;
        SendResponse(*socket, notify, 481, from, RandomToken());
        return;
    }
    SendResponse(*socket, notify, 200, from, std::string());

    if (subscription->dialog.remoteTag.empty())
        subscription->dialog.remoteTag = fromTag;
    const std::string* contact = notify.Header("Contact");
    if (contact != nullptr && !Sip::HeaderUri(*contact).empty())
        subscription->dialog.requestUri = Sip::HeaderUri(*contact);
    subscription->peer = from;
    if (!subscription->alive)
        subscription->expiresAt = Now() + static_cast<int64_t>(mOptions.expiresSeconds) * 1000;
    subscription->alive = true;

    if (subscription->haveNotifyCSeq && cseq <= subscription->lastNotifyCSeq) {
        Log("NOTIFY retransmission answered, not delivered again");
        return;
    }
    subscription->haveNotifyCSeq = true;
    subscription->lastNotifyCSeq = cseq;

    const std::string url = Sip::NotifyUrl(notify);
    const uint64_t id = subscription->id;
    if (url.empty()) {
        Log("NOTIFY without a URL not delivered");
    } else {
        subscription->notified = true;
        Messaging::Message delivered;
        delivered.kind = Messaging::MSG_NOTIFY;
        delivered.id = id;
        delivered.url = url;
        AnswerDaemon(delivered);
    }
    const std::string* state = notify.Header("Subscription-State");
    if (state != nullptr && state->compare(0, 10, "terminated") == 0) {
        Log("subscription " + std::to_string(id) + " terminated by its server");
        Forget(id);
    }
}
