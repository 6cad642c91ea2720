// The daemon's two messengers: the web-side endpoint and the presence client.
#include "messaging/messaging.h"

#include <sys/stat.h>

#include <cstring>
#include <limits>

namespace {

// Identity of the agent's queue socket: a new one whenever an agent binds it,
// empty while there is none.
std::string AgentQueueIdentity()
{
    struct stat info;
    if (stat(Messaging::QueuePath(Messaging::PRESENCE_AGENT_QUEUE).c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return std::string();
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}

}  // namespace

// ---------------------------------------------------------------- CGIMessenger

CGIMessenger::CGIMessenger(int queue) : CyclicMessageQueue(queue), mReplyToLength(0)
{
    std::memset(&mReplyTo, 0, sizeof(mReplyTo));
}

CGIMessenger::~CGIMessenger()
{
}

int CGIMessenger::ProcessMessageFromQueue(int count)
{
    int taken = 0;
    while (taken < count) {
        Messaging::Message message;
        sockaddr_un from;
        socklen_t fromLength = sizeof(from);
        if (!ReceiveMessage(message, &from, &fromLength))
            break;
        ++taken;
        if (message.kind != Messaging::MSG_UPDATE) {
            CountDropped();
            continue;
        }
        // The sender is the reply-to address while OnUpdate runs: an Update()
        // from there answers the web side, which learns so that the daemon
        // took its command. Afterwards there is nobody to answer.
        SetReplyTo(&from, fromLength);
        OnUpdate(static_cast<UpdateType>(message.code), message.strings);
        SetReplyTo(nullptr, 0);
    }
    return taken;
}

int CGIMessenger::OnGetStates(const std::list<std::string>& /*states*/)
{
    return 0;
}

int CGIMessenger::OnUpdate(UpdateType /*type*/, const std::list<std::string>& /*data*/)
{
    return 0;
}

int CGIMessenger::OnGetActiveCalls(const std::list<std::string>& /*calls*/)
{
    return 0;
}

bool CGIMessenger::Update(UpdateType type, const std::list<std::string>& data, unsigned int number)
{
    sockaddr_un to;
    socklen_t toLength;
    {
        std::lock_guard<std::mutex> lock(mReplyMutex);
        to = mReplyTo;
        toLength = mReplyToLength;
    }
    if (toLength == 0)
        return false;
    Messaging::Message message;
    message.kind = Messaging::MSG_UPDATE;
    message.code = type;
    message.number = number;
    message.strings = data;
    return SendToAddress(to, toLength, message);
}

void CGIMessenger::SetReplyTo(const sockaddr_un* address, socklen_t length)
{
    std::lock_guard<std::mutex> lock(mReplyMutex);
    std::memset(&mReplyTo, 0, sizeof(mReplyTo));
    mReplyToLength = 0;
    // An unnamed sender (nothing after the family) cannot be answered.
    if (address == nullptr || length <= sizeof(sa_family_t) || length > sizeof(mReplyTo))
        return;
    std::memcpy(&mReplyTo, address, length);
    mReplyToLength = length;
}

// ---------------------------------------------------------------- PresenceMessenger

PresenceMessenger::PresenceMessenger(int queue, Link* link)
    : CyclicMessageQueue(queue), mpLink(link), mPartyOnline(true)
{
}

PresenceMessenger::~PresenceMessenger()
{
}

int PresenceMessenger::ProcessMessageFromQueue(int count)
{
    // Each call works on its own message; the only shared state is atomic,
    // so two threads may run this at once.
    int taken = 0;
    while (taken < count) {
        Messaging::Message message;
        if (!ReceiveMessage(message))
            break;
        ++taken;
        switch (message.kind) {
        case Messaging::MSG_CONFIRM:
            OnConfirm(message.id);
            break;
        case Messaging::MSG_NOTIFY:
            Settle(message.id);
            OnNotify(message.id, message.url);
            break;
        case Messaging::MSG_ERROR:
            Settle(message.id);
            OnErrorConvey(message.id, static_cast<PresenceUAClientErrorCode>(message.code));
            break;
        case Messaging::MSG_PARTY_STATE:
            mPartyOnline.store(message.online);
            if (message.online)
                Redeliver();
            OnPresencePartyStateChanged(message.online);
            break;
        default:
            CountDropped();
            break;
        }
    }
    return taken;
}

bool PresenceMessenger::Subscribe(const unsigned long long& id, const CallParams& subscriber,
                                  const CallParams& target, const WatchingStates& states,
                                  const unsigned long& expires)
{
    return SubscribeTargets(id, subscriber, std::list<CallParams>(1, target), states, expires);
}

bool PresenceMessenger::Subscribe(const unsigned long long& id, const CallParams& subscriber,
                                  const std::list<CallParams>& targets, const WatchingStates& states,
                                  const unsigned long& expires)
{
    return SubscribeTargets(id, subscriber, targets, states, expires);
}

bool PresenceMessenger::SubscribeTargets(const unsigned long long& id, const CallParams& subscriber,
                                         const std::list<CallParams>& targets, const WatchingStates& states,
                                         const unsigned long& expires)
{
    if (targets.empty())
        return false;
    std::lock_guard<std::mutex> lock(mKeptMutex);
    // A new subscription replaces the kept one: the client gave that one up.
    mKept.clear();
    for (const CallParams& target : targets) {
        KeptRequest request;
        request.message.kind = Messaging::MSG_SUBSCRIBE;
        request.message.id = id;
        request.message.subscriber = subscriber;
        request.message.target = target;
        request.message.watchingStates = states;
        // unsigned long is 64 bits on some targets; the wire field is 32.
        const unsigned long maxExpires = std::numeric_limits<uint32_t>::max();
        request.message.expires = static_cast<uint32_t>(expires > maxExpires ? maxExpires : expires);
        mKept.push_back(request);
    }
    for (KeptRequest& request : mKept) {
        if (!SendKept(request))
            return false;   // the rest waits for an agent, in order
    }
    return true;
}

// Called with mKeptMutex held.
bool PresenceMessenger::SendKept(KeptRequest& request)
{
    const std::string before = AgentQueueIdentity();
    if (!SendMessage(request.message)) {
        request.receivedBy.clear();
        return false;
    }
    // An agent that bound its queue while this was on its way may or may not
    // have it; it then counts as not received, and a repeat is the lesser harm.
    const std::string after = AgentQueueIdentity();
    request.receivedBy = before == after ? after : std::string();
    return true;
}

void PresenceMessenger::Redeliver()
{
    std::lock_guard<std::mutex> lock(mKeptMutex);
    const std::string agent = AgentQueueIdentity();
    for (KeptRequest& request : mKept) {
        if (!request.receivedBy.empty() && request.receivedBy == agent)
            continue;
        if (!SendKept(request))
            return;
    }
}

// The agent answered subscription id, or the client cancelled it.
void PresenceMessenger::Settle(unsigned long long id)
{
    std::lock_guard<std::mutex> lock(mKeptMutex);
    if (!mKept.empty() && mKept.front().message.id == id)
        mKept.clear();
}

bool PresenceMessenger::Unsubscribe(const unsigned long long& id)
{
    Settle(id);
    Messaging::Message message;
    message.kind = Messaging::MSG_UNSUBSCRIBE;
    message.id = id;
    return SendMessage(message);
}

int PresenceMessenger::OnSubscribe(const unsigned long long& /*id*/, const CallParams& /*party*/)
{
    return 0;
}

int PresenceMessenger::OnUnsubscribe(const unsigned long long& /*id*/)
{
    return 0;
}

int PresenceMessenger::OnConfirm(const unsigned long long& /*id*/)
{
    return 0;
}

int PresenceMessenger::OnErrorConvey(const unsigned long long& /*id*/,
                                     const PresenceUAClientErrorCode& /*code*/)
{
    return 0;
}

int PresenceMessenger::OnNotify(const unsigned long long& /*id*/, const CallParams& /*party*/,
                                const std::list<PresenceInfo>& /*info*/)
{
    return 0;
}

int PresenceMessenger::OnNotify(const unsigned long long& /*id*/, const std::string& /*url*/)
{
    return 0;
}

bool PresenceMessenger::IsPartyOnline()
{
    if (!IsQueueServed(Messaging::PRESENCE_AGENT_QUEUE)) {
        // The agent that said offline is gone; a new one is judged by its
        // socket until it says otherwise.
        mPartyOnline.store(true);
        return false;
    }
    return mPartyOnline.load();
}

int PresenceMessenger::OnPresencePartyStateChanged(bool /*online*/)
{
    return 0;
}

int PresenceMessenger::OnPartyStateChanged(bool /*online*/)
{
    return 0;
}

bool PresenceMessenger::SendMessage(const Messaging::Message& message)
{
    return SendTo(Messaging::PRESENCE_AGENT_QUEUE, message);
}
