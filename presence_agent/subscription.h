// One subscription of the daemon and the SIP dialog its SUBSCRIBE creates.
// The dialog's rules live here: taking the answer, judging a NOTIFY
// (its source, a retransmission or a new one) and the expiry. Sockets,
// transactions and the daemon's queue are the agent's.
#ifndef PRESENCE_AGENT_SUBSCRIPTION_H
#define PRESENCE_AGENT_SUBSCRIPTION_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "presence_agent/sip_dialog.h"
#include "presence_agent/sip_socket.h"
#include "sip/sip_message.h"

class Subscription {
public:
    enum NotifyVerdict {
        NOTIFY_EARLY,       // before the SUBSCRIBE's 2xx: not answered, its sender retransmits
        NOTIFY_FORBIDDEN,   // from another address or port than the 2xx: 403
        NOTIFY_REPEATED,    // CSeq not above the last one handed on: answered, not handed on again
        NOTIFY_NEW,
    };

    // dialog: as the initial SUBSCRIBE writes it; target: where that went.
    // expiresSeconds: the Expires asked for; minKeepMs: the shortest time a
    // confirmed subscription is kept (a transaction time-out, so that a NOTIFY
    // sent right after a short grant still finds its dialog).
    Subscription(uint64_t id, const SipDialog& dialog, std::shared_ptr<SipSocket> socket, const sockaddr_in& target,
                 unsigned int expiresSeconds, int64_t minKeepMs);

    uint64_t Id() const { return mId; }
    SipDialog& Dialog() { return mDialog; }
    // The socket its SUBSCRIBE went out from (null before it was written).
    const std::shared_ptr<SipSocket>& Socket() const { return mSocket; }
    void SetSocket(std::shared_ptr<SipSocket> socket) { mSocket = std::move(socket); }
    // Where requests in the dialog go: the SUBSCRIBE's target until the 2xx, then where the 2xx came from.
    const sockaddr_in& Peer() const { return mPeer; }
    bool Confirmed() const { return mConfirmed; }

    // The SUBSCRIBE's final 2xx, come from `from` at nowMs. Only the first one counts.
    void TakeAnswer(const Sip::SipMessage& response, const sockaddr_in& from, int64_t nowMs);
    // A NOTIFY with this dialog's Call-ID whose To tag is ours.
    bool Matches(const std::string& callId, const std::string& toTag) const;
    NotifyVerdict Judge(unsigned long cseq, const sockaddr_in& from) const;
    // A NOTIFY judged NEW or REPEATED is answered 200: its tag and Contact
    // update the dialog, and the CSeq of a NEW one is remembered.
    void TakeNotify(const Sip::SipMessage& notify, unsigned long cseq);
    bool Expired(int64_t nowMs) const { return mConfirmed && nowMs >= mExpiresAt; }
    // When Expired turns true; INT64_MAX before the 2xx.
    int64_t ExpiresAt() const;

private:
    void UpdateTarget(const std::string& remoteTag, const std::string* contact);

    uint64_t mId;
    SipDialog mDialog;
    std::shared_ptr<SipSocket> mSocket;
    sockaddr_in mPeer;
    unsigned int mExpiresSeconds;
    int64_t mMinKeepMs;
    bool mConfirmed;
    bool mHaveNotifyCSeq;
    unsigned long mLastNotifyCSeq;
    int64_t mExpiresAt;
};

#endif
