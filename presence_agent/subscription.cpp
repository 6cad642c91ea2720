#include "presence_agent/subscription.h"

#include <algorithm>
#include <limits>

#include "utility/decimal.h"

Subscription::Subscription(uint64_t id, const SipDialog& dialog, std::shared_ptr<SipSocket> socket,
                           const sockaddr_in& target, unsigned int expiresSeconds, int64_t minKeepMs)
    : mId(id), mDialog(dialog), mSocket(std::move(socket)), mPeer(target), mExpiresSeconds(expiresSeconds),
      mMinKeepMs(minKeepMs), mConfirmed(false), mHaveNotifyCSeq(false), mLastNotifyCSeq(0), mExpiresAt(0)
{
}

void Subscription::UpdateTarget(const std::string& remoteTag, const std::string* contact)
{
    if (mDialog.remoteTag.empty())
        mDialog.remoteTag = remoteTag;
    if (contact != nullptr && !Sip::HeaderUri(*contact).empty())
        mDialog.requestUri = Sip::HeaderUri(*contact);
}

void Subscription::TakeAnswer(const Sip::SipMessage& response, const sockaddr_in& from, int64_t nowMs)
{
    if (mConfirmed)
        return;
    UpdateTarget(Sip::HeaderParameter(*response.Header("To"), "tag"), response.Header("Contact"));
    mPeer = from;
    // Kept for the Expires the 2xx granted (the one asked for when it names
    // none, never more), and at least mMinKeepMs.
    unsigned long granted = mExpiresSeconds;
    const std::string* expires = response.Header("Expires");
    if (expires != nullptr)
        ParseDecimal(*expires, 0, 999999999, granted);
    granted = std::min<unsigned long>(granted, mExpiresSeconds);
    mExpiresAt = nowMs + std::max<int64_t>(static_cast<int64_t>(granted) * 1000, mMinKeepMs);
    mConfirmed = true;
}

bool Subscription::Matches(const std::string& callId, const std::string& toTag) const
{
    return mDialog.callId == callId && !toTag.empty() && mDialog.localTag == toTag;
}

Subscription::NotifyVerdict Subscription::Judge(unsigned long cseq, const sockaddr_in& from) const
{
    if (!mConfirmed)
        return NOTIFY_EARLY;
    // Anyone on the link saw the multicast SUBSCRIBE's Call-ID and tag; only
    // the server that answered it may notify.
    if (from.sin_addr.s_addr != mPeer.sin_addr.s_addr || from.sin_port != mPeer.sin_port)
        return NOTIFY_FORBIDDEN;
    if (mHaveNotifyCSeq && cseq <= mLastNotifyCSeq)
        return NOTIFY_REPEATED;
    return NOTIFY_NEW;
}

void Subscription::TakeNotify(const Sip::SipMessage& notify, unsigned long cseq)
{
    UpdateTarget(Sip::HeaderParameter(*notify.Header("From"), "tag"), notify.Header("Contact"));
    if (!mHaveNotifyCSeq || cseq > mLastNotifyCSeq) {
        mHaveNotifyCSeq = true;
        mLastNotifyCSeq = cseq;
    }
}

int64_t Subscription::ExpiresAt() const
{
    return mConfirmed ? mExpiresAt : std::numeric_limits<int64_t>::max();
}
