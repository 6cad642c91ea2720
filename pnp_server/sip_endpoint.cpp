// The provisioning server's SIP socket, answers and NOTIFY retransmissions.
#include "pnp_server/sip_endpoint.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "pnp_server/sip_answers.h"
#include "utility/decimal.h"
#include "sip/sip_response.h"
#include "sip/sip_text.h"

namespace Pnp {

namespace {

// Datagrams handled per wake-up, so that the HTTP side gets its turn; enough
// to drain a rack's burst in a few rounds when the server was kept waiting.
const int DATAGRAMS_PER_WAKEUP = 64;
// Datagrams read, and sent, per system call.
const int RECEIVE_BATCH = 16;
const size_t SEND_BATCH = 64;
const size_t SLOT_BYTES = Sip::MAX_DATAGRAM_SIZE + 1;   // one more: a larger datagram shows as truncated

// A NOTIFY refused with 500 or 503 is sent anew after the answer's Retry-After
// (1 s when absent, at most 10 s), in at most 5 transactions in all (our choice).
const unsigned NOTIFY_ATTEMPTS = 5;
const unsigned long DEFAULT_RETRY_AFTER_S = 1;
const unsigned long MAX_RETRY_AFTER_S = 10;

union PacketInfoBuffer {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

std::string EventPackage(const std::string* event)
{
    if (event == nullptr)
        return std::string();
    std::string package = event->substr(0, event->find(';'));
    package.erase(std::remove_if(package.begin(), package.end(), [](char c) { return c == ' ' || c == '\t'; }),
                  package.end());
    std::transform(package.begin(), package.end(), package.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return package;
}

// Where a response to request goes (RFC 3261 18.2.2 and RFC 3581).
Ipv4Endpoint ResponseDestination(const Sip::SipMessage& request, const Ipv4Endpoint& source)
{
    Ipv4Endpoint destination = source;
    destination.port = Sip::ResponsePort(request, source.port);
    return destination;
}

// The seconds of a Retry-After value ("120 (busy);duration=60" -> 120), capped; the default when absent or unreadable.
unsigned long RetryAfterSeconds(const std::string* value)
{
    const size_t start = value != nullptr ? value->find_first_not_of(" \t") : std::string::npos;
    if (start == std::string::npos)
        return DEFAULT_RETRY_AFTER_S;
    const std::string digits = value->substr(start, value->find_first_not_of("0123456789", start) - start);
    unsigned long seconds = 0;
    if (digits.empty())
        return DEFAULT_RETRY_AFTER_S;
    // Digits only: what does not parse within the cap is above it.
    return ParseDecimal(digits, 0, MAX_RETRY_AFTER_S, seconds) ? seconds : MAX_RETRY_AFTER_S;
}

// Replaces the value of the first header called name.
void ReplaceHeader(Sip::SipMessage& message, const std::string& name, const std::string& value)
{
    for (auto& header : message.headers) {
        if (header.first == name) {
            header.second = value;
            return;
        }
    }
}

// A Via value of ours with a fresh branch: a new transaction.
std::string NewBranch(const std::string& via)
{
    const size_t start = via.find(";branch=");
    if (start == std::string::npos)
        return via;
    const size_t end = via.find(';', start + 1);
    return via.substr(0, start) + ";branch=z9hG4bK" + Sip::RandomToken() +
           (end == std::string::npos ? std::string() : via.substr(end));
}

// A SUBSCRIBE transaction: its retransmissions carry the same Call-ID, CSeq and branch.
std::string TransactionKey(const std::string& callId, unsigned long cseq, const std::string& via)
{
    return callId + '\n' + std::to_string(cseq) + '\n' + Sip::HeaderParameter(via, "branch");
}

std::string NotifyKey(const std::string& callId, unsigned long cseq)
{
    return callId + '\n' + std::to_string(cseq);
}

Sip::TransactionTimers TimersOf(const SipOptions& options)
{
    Sip::TransactionTimers timers;
    timers.t1Ms = options.t1Ms;
    timers.t2Ms = options.t2Ms;
    timers.timerFMs = options.timerFMs;
    return timers;
}

}  // namespace

SipEndpoint::SipEndpoint(const SipOptions& options, EventLog& log)
    : mOptions(options), mLog(log), mPort(0), mBuffer(RECEIVE_BATCH * SLOT_BYTES), mNextNumber(1), mNextCseq(1),
      mpStatus(nullptr)
{
}

bool SipEndpoint::Open(std::string& error)
{
    Ipv4Endpoint local;
    if (!Ipv4Endpoint::Parse(mOptions.bindAddress, mOptions.port, local)) {
        error = "bad SIP bind address " + mOptions.bindAddress;
        return false;
    }
    FileDescriptor fd = BoundSocket(SOCK_DGRAM, local, true);
    if (!fd.Valid()) {
        error = "cannot bind SIP " + local.ToString() + ": " + std::strerror(errno);
        return false;
    }
    mPort = BoundPort(fd.Get());
    mSocket = std::move(fd);
    if (mOptions.joinMulticast && !JoinGroup(error))
        return false;
    // Past the system's cap (net.core.rmem_max) where the process may, up to the cap otherwise.
    int wanted = mOptions.receiveBufferBytes;
    if (wanted > 0 && setsockopt(mSocket.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof(wanted)) != 0)
        setsockopt(mSocket.Get(), SOL_SOCKET, SO_RCVBUF, &wanted, sizeof(wanted));
    int granted = 0;
    socklen_t length = sizeof(granted);
    getsockopt(mSocket.Get(), SOL_SOCKET, SO_RCVBUF, &granted, &length);
    mLog.Line("SIP listening on " + mOptions.bindAddress + ":" + std::to_string(mPort) +
              (mOptions.joinMulticast ? " and group " + mOptions.multicastGroup : std::string(" (unicast only)")) +
              ", receive buffer " + std::to_string(granted) + " bytes");
    return true;
}

bool SipEndpoint::JoinGroup(std::string& error)
{
    ip_mreqn request;
    std::memset(&request, 0, sizeof(request));
    if (!Sip::ParseIpv4(mOptions.multicastGroup, request.imr_multiaddr)) {
        error = "bad multicast group " + mOptions.multicastGroup;
        return false;
    }
    std::string where = "the default interface";
    if (!mOptions.interfaceName.empty()) {
        unsigned index = if_nametoindex(mOptions.interfaceName.c_str());
        if (index == 0) {
            error = "no interface " + mOptions.interfaceName;
            return false;
        }
        request.imr_ifindex = static_cast<int>(index);
        where = mOptions.interfaceName;
    } else if (!mOptions.interfaceAddress.empty()) {
        if (!Sip::ParseIpv4(mOptions.interfaceAddress, request.imr_address)) {
            error = "bad interface address " + mOptions.interfaceAddress;
            return false;
        }
        where = mOptions.interfaceAddress;
    }
    // Only the groups joined on this socket, not every group of the host.
    int off = 0;
    setsockopt(mSocket.Get(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off));
    if (setsockopt(mSocket.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
        error = "cannot join " + mOptions.multicastGroup + " on " + where + ": " + std::strerror(errno);
        return false;
    }
    mLog.Line("SIP joined " + mOptions.multicastGroup + " on " + where);
    return true;
}

void SipEndpoint::OnReadable(Clock::time_point now)
{
    mmsghdr messages[RECEIVE_BATCH];
    iovec vectors[RECEIVE_BATCH];
    sockaddr_in froms[RECEIVE_BATCH];
    PacketInfoBuffer controls[RECEIVE_BATCH];
    for (int handled = 0; handled < DATAGRAMS_PER_WAKEUP;) {
        std::memset(messages, 0, sizeof(messages));
        for (int i = 0; i < RECEIVE_BATCH; ++i) {
            vectors[i].iov_base = mBuffer.data() + i * SLOT_BYTES;
            vectors[i].iov_len = SLOT_BYTES;
            msghdr& header = messages[i].msg_hdr;
            header.msg_name = &froms[i];
            header.msg_namelen = sizeof(froms[i]);
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
            header.msg_control = controls[i].bytes;
            header.msg_controllen = sizeof(controls[i].bytes);
        }
        const int got = RetryOnInterrupt(
            [&] { return recvmmsg(mSocket.Get(), messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr); });
        for (int i = 0; i < got; ++i) {
            msghdr& header = messages[i].msg_hdr;
            const Ipv4Endpoint source = Ipv4Endpoint::FromSockaddr(froms[i]);
            if ((header.msg_flags & MSG_TRUNC) != 0 || messages[i].msg_len > Sip::MAX_DATAGRAM_SIZE) {
                mLog.Line("SIP oversized datagram from " + source.ToString() + " dropped");
                continue;
            }
            uint32_t localAddress = 0;
            for (cmsghdr* cmsg = CMSG_FIRSTHDR(&header); cmsg != nullptr; cmsg = CMSG_NXTHDR(&header, cmsg)) {
                if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info;
                    std::memcpy(&info, CMSG_DATA(cmsg), sizeof(info));
                    localAddress = info.ipi_spec_dst.s_addr;
                }
            }
            HandleDatagram(static_cast<const char*>(vectors[i].iov_base), messages[i].msg_len, source, localAddress,
                           now);
        }
        // A batch that is not full emptied the queue: no read just to hear so.
        if (got < RECEIVE_BATCH)
            break;
        handled += got;
    }
    FlushSends();
}

void SipEndpoint::HandleDatagram(const char* data, size_t length, const Ipv4Endpoint& source, uint32_t localAddress,
                                 Clock::time_point now)
{
    mLog.Message("SIP from " + source.ToString() + " (" + std::to_string(length) + " bytes):", data, length);
    Sip::SipMessage message;
    if (!Sip::ParseMessage(data, length, message)) {
        mLog.Line("SIP malformed datagram from " + source.ToString() + " ignored");
        return;
    }
    if (!message.isRequest) {
        HandleResponse(message, source);
        return;
    }
    if (message.method == "ACK")
        return;
    if (message.Header("Via") == nullptr) {
        mLog.Line("SIP " + message.method + " without Via from " + source.ToString() + " ignored");
        return;
    }
    if (message.method != "SUBSCRIBE") {
        Respond(message, 405, source, Sip::RandomToken());
        return;
    }
    HandleSubscribe(message, source, localAddress, now);
}

void SipEndpoint::HandleSubscribe(const Sip::SipMessage& subscribe, const Ipv4Endpoint& source,
                                  uint32_t localAddress, Clock::time_point now)
{
    if (mOptions.silent) {
        mLog.Line("SIP SUBSCRIBE from " + source.ToString() + " left unanswered (silent)");
        return;
    }
    const std::string* to = subscribe.Header("To");
    const std::string* from = subscribe.Header("From");
    const std::string* callId = subscribe.Header("Call-ID");
    unsigned long cseq = 0;
    std::string method;
    const std::string* cseqValue = subscribe.Header("CSeq");
    // An existing To tag is a refresh within our dialog: it keeps its tag.
    std::string toTag = to != nullptr && !TagOf(*to).empty() ? TagOf(*to) : Sip::RandomToken();
    if (to == nullptr || from == nullptr || callId == nullptr || cseqValue == nullptr ||
        !Sip::ParseCSeq(*cseqValue, cseq, method)) {
        Respond(subscribe, 400, source, toTag);
        return;
    }
    const std::string key = TransactionKey(*callId, cseq, *subscribe.Header("Via"));
    if (AnswerRetransmission(subscribe, key, source, now))
        return;
    if (mOptions.rejectCode != 0) {
        Respond(subscribe, mOptions.rejectCode, source, toTag);
        return;
    }
    if (EventPackage(subscribe.Header("Event")) != "ua-profile") {
        Respond(subscribe, 489, source, toTag);
        return;
    }
    std::string mac;
    if (!ExtractMac(subscribe.requestUri, mac)) {
        Respond(subscribe, 404, source, toTag);
        return;
    }
    unsigned long expires = mOptions.maxExpires;
    const std::string* expiresValue = subscribe.Header("Expires");
    unsigned long requested = 0;
    if (expiresValue != nullptr && ParseDecimal(*expiresValue, 0, 0x7fffffffUL, requested))
        expires = std::min(expires, requested);

    Ipv4Endpoint local;
    local.address = localAddress != 0 ? localAddress : source.address;
    local.port = mPort;
    Sip::SipMessage ok = Answer(subscribe, 200, source, toTag);
    ok.AddHeader("Expires", std::to_string(expires));
    ok.AddHeader("Contact", "<sip:pnp-server@" + local.ToString() + ">");
    AnsweredSubscribe answered;
    answered.mac = mac;
    answered.bytes = Sip::Serialize(ok);
    answered.destination = ResponseDestination(subscribe, source);
    Send(answered.bytes, answered.destination, "200 OK", true);
    RememberAnswer(key, std::move(answered), now);
    if (mpStatus != nullptr)
        mpStatus->OnSubscribe(mac, source, false);

    NotifyContent content;
    content.localTag = toTag;
    content.cseq = mNextCseq++;
    content.branch = "z9hG4bK" + Sip::RandomToken();
    content.local = local;
    content.expires = expires;
    std::string host = mOptions.httpHost.empty() ? local.Host() : mOptions.httpHost;
    content.url = ExpandUrlTemplate(mOptions.urlTemplate, mac, host, mOptions.httpPort);
    std::string requestUri;
    PendingNotify notify(TimersOf(mOptions));
    NotifyTarget(subscribe, source, requestUri, notify.destination);
    notify.message = BuildNotify(subscribe, requestUri, content);
    notify.bytes = Sip::Serialize(notify.message);
    notify.callId = *callId;
    notify.cseq = content.cseq;
    notify.mac = mac;
    mLog.Line("SIP MAC " + mac + " gets " + content.url);
    StartNotify(std::move(notify), now);
}

bool SipEndpoint::AnswerRetransmission(const Sip::SipMessage& subscribe, const std::string& key,
                                       const Ipv4Endpoint& source, Clock::time_point now)
{
    // The oldest answers first: each is kept for as long as its transaction may retransmit.
    while (!mAnsweredOrder.empty() && mAnsweredOrder.front().first <= now) {
        mAnswered.erase(mAnsweredOrder.front().second);
        mAnsweredOrder.pop_front();
    }
    auto answered = mAnswered.find(key);
    if (answered == mAnswered.end())
        return false;
    Send(answered->second.bytes, ResponseDestination(subscribe, source), "SUBSCRIBE retransmission: 200 OK again",
         false);
    if (mpStatus != nullptr)
        mpStatus->OnSubscribe(answered->second.mac, source, true);
    return true;
}

void SipEndpoint::RememberAnswer(const std::string& key, AnsweredSubscribe answer, Clock::time_point now)
{
    if (mAnswered.size() >= mOptions.maxPending && !mAnsweredOrder.empty()) {
        mAnswered.erase(mAnsweredOrder.front().second);
        mAnsweredOrder.pop_front();
    }
    if (mAnswered.emplace(key, std::move(answer)).second)
        mAnsweredOrder.emplace_back(now + std::chrono::milliseconds(mOptions.timerFMs), key);
}

void SipEndpoint::HandleResponse(const Sip::SipMessage& response, const Ipv4Endpoint& source)
{
    const std::string* callId = response.Header("Call-ID");
    const std::string* cseqValue = response.Header("CSeq");
    unsigned long cseq = 0;
    std::string method;
    if (callId == nullptr || cseqValue == nullptr || !Sip::ParseCSeq(*cseqValue, cseq, method) ||
        method != "NOTIFY") {
        mLog.Line("SIP response from " + source.ToString() + " to nothing of ours ignored");
        return;
    }
    auto number = mPendingByKey.find(NotifyKey(*callId, cseq));
    auto pending = number == mPendingByKey.end() ? mPending.end() : mPending.find(number->second);
    if (pending == mPending.end()) {
        mLog.Line("SIP " + std::to_string(response.statusCode) + " from " + source.ToString() +
                  " for a NOTIFY no longer pending");
        return;
    }
    PendingNotify& notify = pending->second;
    if (notify.waiting)   // the final answer again, for a retransmission of ours
        return;
    if (response.statusCode < 200) {
        notify.schedule.OnProvisional();
        return;
    }
    mLog.Line("SIP NOTIFY " + std::to_string(cseq) + " answered " + std::to_string(response.statusCode) + " " +
              response.reason + " after " + std::to_string(notify.sends) + " send(s)");
    if (mpStatus != nullptr)
        mpStatus->OnNotifyAnswer(notify.mac, response.statusCode, response.reason);
    if ((response.statusCode == 500 || response.statusCode == 503) && ScheduleResend(notify, response)) {
        Arm(pending->first, notify);
        return;
    }
    Erase(pending);
}

bool SipEndpoint::ScheduleResend(PendingNotify& notify, const Sip::SipMessage& response)
{
    if (notify.attempts >= NOTIFY_ATTEMPTS) {
        mLog.Line("SIP NOTIFY " + std::to_string(notify.cseq) + " to " + notify.destination.ToString() +
                  " refused in " + std::to_string(notify.attempts) + " attempts: given up");
        return false;
    }
    const unsigned long seconds = RetryAfterSeconds(response.Header("Retry-After"));
    notify.schedule.OnFinal();
    notify.waiting = true;
    // Counted from a fresh reading of the clock: the loop's reading may be
    // older than the answer when the thread was held up between poll and read.
    notify.resendAt = Clock::now() + std::chrono::seconds(seconds);
    mLog.Line("SIP NOTIFY " + std::to_string(notify.cseq) + " to be sent anew in " + std::to_string(seconds) +
              " s (attempt " + std::to_string(notify.attempts + 1) + " of " + std::to_string(NOTIFY_ATTEMPTS) + ")");
    return true;
}

void SipEndpoint::Resend(PendingNotify& notify, Clock::time_point now)
{
    const unsigned long previous = notify.cseq;
    auto number = mPendingByKey.find(NotifyKey(notify.callId, previous));
    if (number == mPendingByKey.end())
        return;
    const uint64_t value = number->second;
    mPendingByKey.erase(number);
    notify.cseq = mNextCseq++;
    mPendingByKey[NotifyKey(notify.callId, notify.cseq)] = value;
    ReplaceHeader(notify.message, "CSeq", std::to_string(notify.cseq) + " NOTIFY");
    ReplaceHeader(notify.message, "Via", NewBranch(*notify.message.Header("Via")));
    notify.bytes = Sip::Serialize(notify.message);
    notify.schedule = Sip::RetransmitSchedule(TimersOf(mOptions), 0);
    notify.waiting = false;
    notify.start = now;
    notify.sends = 1;
    ++notify.attempts;
    mLog.Line("SIP NOTIFY " + std::to_string(previous) + " sent anew as NOTIFY " + std::to_string(notify.cseq));
    Send(notify.bytes, notify.destination, "NOTIFY", true);
    if (mpStatus != nullptr)
        mpStatus->OnNotifySent(notify.mac);
}

Sip::SipMessage SipEndpoint::Answer(const Sip::SipMessage& request, int code, const Ipv4Endpoint& source,
                                    const std::string& toTag) const
{
    Sip::SipMessage response = Sip::MakeResponse(request, code, toTag);
    Sip::MarkTopVia(response, source.Host(), source.port);
    return response;
}

void SipEndpoint::Respond(const Sip::SipMessage& request, int code, const Ipv4Endpoint& source,
                          const std::string& toTag)
{
    Sip::SipMessage response = Answer(request, code, source, toTag);
    if (code == 405)
        response.AddHeader("Allow", "SUBSCRIBE");
    Send(Sip::Serialize(response), ResponseDestination(request, source),
         std::to_string(code) + " " + response.reason, true);
}

void SipEndpoint::StartNotify(PendingNotify notify, Clock::time_point now)
{
    if (mPending.size() >= mOptions.maxPending && !mPending.empty()) {
        const PendingNotify& oldest = mPending.begin()->second;
        mLog.Line("SIP too many pending NOTIFYs: the oldest, to " + oldest.destination.ToString() + ", is given up");
        if (mpStatus != nullptr)
            mpStatus->OnNotifyGivenUp(oldest.mac, "pushed out: too many pending");
        Erase(mPending.begin());
    }
    notify.start = now;
    notify.sends = 1;
    notify.due = Clock::time_point::max();
    Send(notify.bytes, notify.destination, "NOTIFY", true);
    if (mpStatus != nullptr)
        mpStatus->OnNotifySent(notify.mac);
    const uint64_t number = mNextNumber++;
    mPendingByKey[NotifyKey(notify.callId, notify.cseq)] = number;
    Arm(number, mPending.emplace(number, std::move(notify)).first->second);
}

void SipEndpoint::Arm(uint64_t number, PendingNotify& notify)
{
    Clock::time_point due = Clock::time_point::max();
    if (notify.waiting) {
        due = notify.resendAt;
    } else {
        const int64_t deadline = notify.schedule.NextDeadline();
        if (deadline != std::numeric_limits<int64_t>::max())
            due = notify.start + std::chrono::milliseconds(deadline);
    }
    // An entry for this time is in the queue already.
    if (due == notify.due)
        return;
    notify.due = due;
    if (due != Clock::time_point::max())
        mTimers.emplace(due, number);
}

SipEndpoint::PendingMap::iterator SipEndpoint::Erase(PendingMap::iterator pending)
{
    mPendingByKey.erase(NotifyKey(pending->second.callId, pending->second.cseq));
    return mPending.erase(pending);
}

void SipEndpoint::OnTimers(Clock::time_point now)
{
    // Entries armed in this round wait for the next one.
    for (size_t round = mTimers.size(); round > 0 && !mTimers.empty() && mTimers.top().first <= now; --round) {
        const Timer timer = mTimers.top();
        mTimers.pop();
        auto pending = mPending.find(timer.second);
        if (pending == mPending.end() || pending->second.due != timer.first)
            continue;   // answered, given up or moved since
        PendingNotify& notify = pending->second;
        notify.due = Clock::time_point::max();
        if (notify.waiting) {
            Resend(notify, now);
            Arm(pending->first, notify);
            continue;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - notify.start).count();
        const Sip::RetransmitSchedule::Action action = notify.schedule.OnTimer(elapsed);
        if (action == Sip::RetransmitSchedule::TIMED_OUT) {
            mLog.Line("SIP NOTIFY " + std::to_string(notify.cseq) + " to " + notify.destination.ToString() +
                      " unanswered after " + std::to_string(notify.sends) + " send(s): given up");
            if (mpStatus != nullptr)
                mpStatus->OnNotifyGivenUp(notify.mac, "no answer: given up");
            Erase(pending);
            continue;
        }
        if (action == Sip::RetransmitSchedule::RETRANSMIT) {
            ++notify.sends;
            Send(notify.bytes, notify.destination, "NOTIFY retransmission " + std::to_string(notify.sends - 1), false);
        }
        Arm(pending->first, notify);
    }
    // Entries of NOTIFYs answered or moved since go now, so that the loop
    // does not wake up for them: a rack's answered NOTIFYs leave one each.
    for (size_t left = mTimers.size(); left > 0 && !mTimers.empty(); --left) {
        auto pending = mPending.find(mTimers.top().second);
        if (pending != mPending.end() && pending->second.due == mTimers.top().first)
            break;
        mTimers.pop();
    }
    FlushSends();
}

Clock::time_point SipEndpoint::NextDeadline() const
{
    return mTimers.empty() ? Clock::time_point::max() : mTimers.top().first;
}

void SipEndpoint::Send(const std::string& bytes, const Ipv4Endpoint& destination, const std::string& what,
                       bool logBytes)
{
    mOutgoing.push_back(Outgoing{bytes, destination, what, logBytes});
}

void SipEndpoint::FlushSends()
{
    mmsghdr messages[SEND_BATCH];
    iovec vectors[SEND_BATCH];
    sockaddr_in addresses[SEND_BATCH];
    // Each call sends at least one datagram or reports the first one's failure.
    size_t next = 0;
    for (size_t calls = 0; next < mOutgoing.size() && calls < mOutgoing.size(); ++calls) {
        const size_t count = std::min(mOutgoing.size() - next, SEND_BATCH);
        std::memset(messages, 0, count * sizeof(messages[0]));
        for (size_t i = 0; i < count; ++i) {
            Outgoing& datagram = mOutgoing[next + i];
            vectors[i].iov_base = &datagram.bytes[0];
            vectors[i].iov_len = datagram.bytes.size();
            addresses[i] = datagram.destination.ToSockaddr();
            messages[i].msg_hdr.msg_name = &addresses[i];
            messages[i].msg_hdr.msg_namelen = sizeof(addresses[i]);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = RetryOnInterrupt([&] {
            return sendmmsg(mSocket.Get(), messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        });
        const size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
        for (size_t i = 0; i < done; ++i) {
            const Outgoing& datagram = mOutgoing[next + i];
            const std::string title = "SIP " + datagram.what + " to " + datagram.destination.ToString();
            if (datagram.logBytes)
                mLog.Message(title + ":", datagram.bytes.data(), datagram.bytes.size());
            else
                mLog.Line(title);
        }
        next += done;
        if (sent < 0) {
            const Outgoing& datagram = mOutgoing[next++];
            mLog.Line("SIP " + datagram.what + " to " + datagram.destination.ToString() + " failed: " +
                      std::strerror(errno));
        }
    }
    mOutgoing.clear();
}

}  // namespace Pnp
