// The agent's SIP input: responses to its SUBSCRIBEs and the NOTIFYs of its dialogs.
#include "presence_agent/presence_agent.h"

#include <algorithm>
#include <cstdio>

#include "sip/sip_response.h"
#include "sip/sip_text.h"

using Sip::AddressText;

void PresenceAgent::SendResponse(SipSocket& socket, const Sip::SipMessage& response, const sockaddr_in& to)
{
    const std::string text = Sip::Serialize(response);
    const bool sent = socket.SendTo(to, text);
    Log(std::string(sent ? "sent " : "could not send ") + Sip::FirstLine(text) + " to " + AddressText(to));
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
    Log("received " + Sip::FirstLine(data) + " from " + AddressText(from));
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
        HandleNotify(*socket, message, from);
    } else if (message.method != "ACK") {
        SendResponse(*socket, Sip::MakeResponse(message, 405, Sip::RandomToken()), from);
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
    subscription->TakeAnswer(response, from, Now());
    Messaging::Message confirm;
    confirm.kind = Messaging::MSG_CONFIRM;
    confirm.id = id;
    AnswerDaemon(confirm);
}

void PresenceAgent::HandleNotify(SipSocket& socket, const Sip::SipMessage& notify, const sockaddr_in& from)
{
    const std::string callId = *notify.Header("Call-ID");
    const std::string toTag = Sip::HeaderParameter(*notify.Header("To"), "tag");
    unsigned long cseq = 0;
    std::string method;
    const bool cseqValid = Sip::ParseCSeq(*notify.Header("CSeq"), cseq, method);
    auto subscription = std::find_if(mSubscriptions.begin(), mSubscriptions.end(), [&](const Subscription& candidate) {
        return candidate.Matches(callId, toTag);
    });
    if (subscription == mSubscriptions.end() || !cseqValid || method != "NOTIFY") {
        ++mCounters.unknownNotifies;
        SendResponse(socket, Sip::MakeResponse(notify, 481, Sip::RandomToken()), from);
        return;
    }
    const uint64_t id = subscription->Id();
    switch (subscription->Judge(cseq, from)) {
    case Subscription::NOTIFY_EARLY:
        ++mCounters.earlyNotifies;
        Log("NOTIFY before the answer to its SUBSCRIBE left for its retransmission");
        return;
    case Subscription::NOTIFY_FORBIDDEN:
        ++mCounters.forbiddenNotifies;
        fprintf(stderr, "presence-agent: NOTIFY for subscription %llu from %s refused: its answer came from %s\n",
                static_cast<unsigned long long>(id), AddressText(from).c_str(),
                AddressText(subscription->Peer()).c_str());
        SendResponse(socket, Sip::MakeResponse(notify, 403, std::string()), from);
        return;
    case Subscription::NOTIFY_REPEATED:
        subscription->TakeNotify(notify, cseq);
        SendResponse(socket, Sip::MakeResponse(notify, 200, std::string()), from);
        Log("NOTIFY retransmission answered, not delivered again");
        return;
    case Subscription::NOTIFY_NEW:
        break;
    }
    const std::string url = Sip::NotifyUrl(notify);
    if (url.empty()) {
        Log("NOTIFY without a URL not delivered");
    } else {
        Messaging::Message delivered;
        delivered.kind = Messaging::MSG_NOTIFY;
        delivered.id = id;
        delivered.url = url;
        if (!AnswerDaemon(delivered)) {
            // Not taken: the notifier is to send it again, and that one is delivered.
            ++mCounters.undeliveredNotifies;
            Sip::SipMessage busy = Sip::MakeResponse(notify, 503, std::string());
            busy.AddHeader("Retry-After", "1");
            SendResponse(socket, busy, from);
            return;
        }
    }
    subscription->TakeNotify(notify, cseq);
    SendResponse(socket, Sip::MakeResponse(notify, 200, std::string()), from);
    const std::string* state = notify.Header("Subscription-State");
    if (state != nullptr && state->compare(0, 10, "terminated") == 0) {
        Log("subscription " + std::to_string(id) + " terminated by its server");
        Forget(id);
    }
}
