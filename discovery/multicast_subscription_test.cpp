#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/auto_provision_messenger.h"
#include "testing/test_client.h"

using namespace testing_support;

// Every field of a party record in declared order, '|'-separated.
std::string Fields(const CallParams& p)
{
    std::string out;
    for (const std::string* field : {&p.userName, &p.displayName, &p.domain, &p.password, &p.ipAddress,
                                     &p.port, &p.transport, &p.contact, &p.callId, &p.tag})
        out += *field + "|";
    return out + std::to_string(p.expires);
}

// Records the client's state at each Subscribe: "<id is the stored one> <sent flag> <request flag>".
struct RecordingMessenger : AutoProvisionMessenger {
    RecordingMessenger(TestClient* client) : AutoProvisionMessenger(client), mpTestClient(client) {}
    bool Subscribe(const unsigned long long& id, const CallParams& subscriber, const CallParams& target,
                   const WatchingStates& states, const unsigned long& expires) override
    {
        mSeen.push_back(std::to_string(id == mpTestClient->GetSubscribtionID()) + " " +
                        std::to_string(mpTestClient->mMulticastMsgSent.load()) + " " +
                        std::to_string(mpTestClient->mSubscribeRequested.load()));
        return AutoProvisionMessenger::Subscribe(id, subscriber, target, states, expires);
    }
    TestClient* mpTestClient;
    std::vector<std::string> mSeen;
};

TEST(MulticastSubscription, AttemptsHandTheAgentBothPartiesOrRejectTheMacEachWithAFreshIdentifier)
{
    FakeNetCheck net;
    LogCapture log;
    TestClient client;
    CyclicMessageQueue agent(Messaging::PRESENCE_AGENT_QUEUE);
    RecordingMessenger* messenger = new RecordingMessenger(&client);
    client.mpMessenger = messenger;
    client.mSubscribeRequested = 1;
    Messaging::Message message;
    net.SetMac("0a1b2c3d4e5f");
    net.SetIp("10.1.2.3");
    client.mMulticastMsgSent = 1;
    client.SendMulticastMessage();
    ASSERT_TRUE(WaitForMessage(agent, message, 3000));
    ASSERT_EQ(Messaging::MSG_SUBSCRIBE, message.kind);
    EXPECT_EQ(client.GetSubscribtionID(), message.id);
    EXPECT_EQ("MAC:0a1b2c3d4e5f||||10.1.2.3|5060|||||0", Fields(message.subscriber));
    EXPECT_EQ("MAC:0a1b2c3d4e5f||||224.0.1.75|5060|||||0", Fields(message.target));
    EXPECT_EQ(0x30u, message.watchingStates);
    EXPECT_EQ(0u, message.expires);
    EXPECT_EQ(0, client.mSubscribeRequested.load());
    EXPECT_EQ(0, client.mMulticastMsgSent.load());
    EXPECT_EQ("0a1b2c3d4e5f", client.mMACAddress.Get());
    EXPECT_EQ(Lines{"3 AutoConfigClient::SendMulticastMessage \n"}, Leveled(log));   // no stamp
    // The new identifier is stored and the sent flag cleared before the call, the request flag after it.
    EXPECT_EQ(std::vector<std::string>{"1 0 1"}, messenger->mSeen);

    // A failed address lookup leaves the subscriber's address empty but still subscribes.
    net.SetIp("");
    client.SendMulticastMessage();
    ASSERT_TRUE(WaitForMessage(agent, message, 3000));
    EXPECT_EQ("MAC:0a1b2c3d4e5f|||||5060|||||0", Fields(message.subscriber));

    // A rejected address is kept and draws an identifier, but nothing is sent.
    for (const char* mac : {"", "ffffffffffff"}) {
        SCOPED_TRACE(mac);
        log.Clear();
        net.SetMac(mac);
        client.mMulticastMsgSent = 1;
        client.mSubscribeRequested = 1;
        const uint64_t previous = client.GetSubscribtionID();
        client.SendMulticastMessage();
        EXPECT_NE(previous, client.GetSubscribtionID());
        EXPECT_EQ(1, client.mSubscribeRequested.load());
        EXPECT_EQ(1, client.mMulticastMsgSent.load());
        EXPECT_EQ(mac, client.mMACAddress.Get());
        EXPECT_EQ(Lines{"1T AutoConfigClient::not valid mac address!!!\n"}, Leveled(log));
        EXPECT_FALSE(WaitForMessage(agent, message, 50));
    }
}
