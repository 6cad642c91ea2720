// The dialog's rules on made-up times and addresses; the agent's use of them is presence_agent_test's.
#include "presence_agent/subscription.h"

#include <gtest/gtest.h>

#include <climits>

#include "sip/sip_text.h"

namespace {

sockaddr_in At(const char* ip, uint16_t port)
{
    in_addr host;
    EXPECT_TRUE(Sip::ParseIpv4(ip, host));
    return Sip::MakeAddress(host, port);
}

Sip::SipMessage Message(const std::string& headers)
{
    const std::string text = "SIP/2.0 200 OK\r\n" + headers + "\r\n";
    Sip::SipMessage message;
    EXPECT_TRUE(Sip::ParseMessage(text.data(), text.size(), message)) << text;
    return message;
}

TEST(Subscription, AnswerSetsPeerTagTargetAndExpiryThenNotifiesAreJudged)
{
    SipDialog dialog;
    dialog.callId = "c1";
    dialog.localTag = "ours";
    dialog.requestUri = "sip:x@224.0.1.75";
    const sockaddr_in server = At("10.0.0.1", 5060);
    // Expires of the 2xx: kept that long, never longer than asked (600 s), at least the 32 s minimum.
    const struct { const char* expires; int64_t expiresAt; } grants[] = {
        {"", 1000 + 600000}, {"Expires: 60\r\n", 1000 + 60000}, {"Expires: 7200\r\n", 1000 + 600000},
        {"Expires: 5\r\n", 1000 + 32000}, {"Expires: x\r\n", 1000 + 600000},
    };
    for (const auto& grant : grants) {
        SCOPED_TRACE(grant.expires);
        Subscription subscription(7, dialog, nullptr, At("224.0.1.75", 5060), 600, 32000);
        EXPECT_EQ(Subscription::NOTIFY_EARLY, subscription.Judge(1, server));
        EXPECT_EQ(INT64_MAX, subscription.ExpiresAt());
        subscription.TakeAnswer(
            Message("To: <sip:x@h>;tag=srv\r\nContact: <sip:pnp@10.0.0.1:5070>\r\n" + std::string(grant.expires)),
            server, 1000);
        subscription.TakeAnswer(Message("To: <sip:x@h>;tag=other\r\n"), At("10.0.0.66", 5060), 2000);   // ignored
        EXPECT_EQ(grant.expiresAt, subscription.ExpiresAt());
        EXPECT_FALSE(subscription.Expired(grant.expiresAt - 1));
        EXPECT_TRUE(subscription.Expired(grant.expiresAt));
        EXPECT_EQ("srv", subscription.Dialog().remoteTag);
        EXPECT_EQ("sip:pnp@10.0.0.1:5070", subscription.Dialog().requestUri);
        EXPECT_EQ(server.sin_port, subscription.Peer().sin_port);
    }

    Subscription subscription(7, dialog, nullptr, At("224.0.1.75", 5060), 600, 32000);
    EXPECT_TRUE(subscription.Matches("c1", "ours"));
    EXPECT_FALSE(subscription.Matches("c1", "") || subscription.Matches("c2", "ours"));
    subscription.TakeAnswer(Message("To: <sip:x@h>\r\n"), server, 0);
    // Only the 2xx's address and port may notify; a CSeq not above the last one taken is a repeat.
    const struct {
        const char* ip;
        uint16_t port;
        unsigned long cseq;
        Subscription::NotifyVerdict verdict;
    } notifies[] = {
        {"10.0.0.2", 5060, 1, Subscription::NOTIFY_FORBIDDEN}, {"10.0.0.1", 5061, 1, Subscription::NOTIFY_FORBIDDEN},
        {"10.0.0.1", 5060, 3, Subscription::NOTIFY_NEW},       {"10.0.0.1", 5060, 3, Subscription::NOTIFY_REPEATED},
        {"10.0.0.1", 5060, 2, Subscription::NOTIFY_REPEATED},  {"10.0.0.1", 5060, 4, Subscription::NOTIFY_NEW},
    };
    for (const auto& notify : notifies) {
        SCOPED_TRACE(testing::Message() << notify.ip << ":" << notify.port << " CSeq " << notify.cseq);
        const Subscription::NotifyVerdict verdict = subscription.Judge(notify.cseq, At(notify.ip, notify.port));
        EXPECT_EQ(notify.verdict, verdict);
        if (verdict != Subscription::NOTIFY_FORBIDDEN)
            subscription.TakeNotify(Message("From: <sip:p@h>;tag=late\r\n"), notify.cseq);
    }
    EXPECT_EQ("late", subscription.Dialog().remoteTag);   // the 2xx had no tag: the NOTIFY's is taken
}

}  // namespace
