// Notifications, the retrieval driver and the web side's configuration
// commands, with a real server, real queues and a recording configurator.
#include <gtest/gtest.h>
#include <poll.h>

#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/auto_provision_client.h"
#include "platform/messaging.h"
#include "testing/http_test_server.h"
#include "testing/test_support.h"
#include "testing/fake_device.h"

using ConfigurationControl::ZentroConfigurator;
using ConfigurationControl::configCommands;
using testing_support::HttpTestServer;
using testing_support::LogCapture;
using testing_support::RecordingConfigurator;
using testing_support::TempDir;

namespace {

::testing::Environment* const queueDirectory =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

class TestClient : public AutoProvisionClient {
public:
    explicit TestClient(const std::string& directory) : mDirectory(directory)
    {
        mpConfigurator = ZentroConfigurator::GetInstance();
        mMACAddress.Set("001122334455");
    }
    using AutoProvisionClient::mConfigFilePath;
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mSubscriptionID;

protected:
    std::string ConfigDirectory() const override { return mDirectory; }

private:
    std::string mDirectory;
};

using Trace = std::pair<int, std::string>;
using Traces = std::vector<Trace>;
using Calls = std::vector<std::string>;

const unsigned long long CURRENT_ID = 0x8877665544332211ULL;
const Trace NOTIFIED{3, "AutoConfigClient::Recieve Notify Message form SIP \n"};
const Trace CLOSED{0, "AutoProvisionClient::Recieved failed(no connection)\n"};
const Trace STARTING{3, "AutoProvisionClient::Start Zentro Configuration Controller\n"};
const std::string HEADER = "HTTP/1.1 200 OK\r\n\r\n";

class Retrieval : public ::testing::Test {
protected:
    Retrieval() : mClient(mDir.Path() + "/")
    {
        mClient.mSubscriptionID.Store(CURRENT_ID);
        mClient.mMulticastMsgSent = 0;
    }

    Traces Lines() const
    {
        Traces traces;
        for (testing_support::TraceLine line : mCapture.Lines()) {
            EXPECT_TRUE(testing_support::StripTimeStamp(line.text));
            traces.emplace_back(line.level, line.text);
        }
        return traces;
    }

    // Calls after the GetInstance of the fixture.
    Calls ConfiguratorCalls() const
    {
        Calls calls = mRecorder.Calls();
        EXPECT_FALSE(calls.empty());
        if (!calls.empty())
            calls.erase(calls.begin());
        return calls;
    }

    static std::string Url(const HttpTestServer& server)
    {
        return std::string(ConfigurationControl::downloadMethods[0]) + "://127.0.0.1:" + server.PortText() +
               "/cfg/fxs.xml";
    }

    RecordingConfigurator mRecorder;
    TempDir mDir;
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(Retrieval, NotificationForAnotherSubscriptionIsIgnored)
{
    // Differing in the low word, in the high word only, and 0.
    for (unsigned long long id : {CURRENT_ID + 1, CURRENT_ID ^ (1ULL << 63), 0ULL}) {
        mCapture.Clear();
        EXPECT_FALSE(mClient.Notify(id, "not a url"));
        EXPECT_EQ(Traces{NOTIFIED}, Lines());
        EXPECT_EQ(0, mClient.mMulticastMsgSent);
    }
    EXPECT_TRUE(ConfiguratorCalls().empty());
}

TEST_F(Retrieval, CurrentNotificationWithABadUrl)
{
    EXPECT_TRUE(mClient.Notify(CURRENT_ID, "10.0.0.5/cfg/fxs.xml"));
    EXPECT_EQ(1, mClient.mMulticastMsgSent);
    EXPECT_EQ((Traces{NOTIFIED, {1, "AutoProvisionClient::not valid URL recieved\n"}}), Lines());
    EXPECT_TRUE(ConfiguratorCalls().empty());
}

TEST_F(Retrieval, DownloadStartsTheConfiguratorOnTheStoredFile)
{
    HttpTestServer server(HttpTestServer::Answer{HEADER + "<?xml?><cfg/>"});
    EXPECT_TRUE(mClient.Notify(CURRENT_ID, " " + Url(server) + "\t"));
    const std::string stored = mDir.Path() + "/zentrofxs-001122334455.cfg";
    EXPECT_EQ((Traces{NOTIFIED, CLOSED, STARTING}), Lines());
    EXPECT_EQ((Calls{"SetConfigFilePath " + stored, "Start"}), ConfiguratorCalls());
    EXPECT_EQ("<?xml?><cfg/>\n", testing_support::ReadFile(stored));
    EXPECT_EQ(0u, server.Request().find("GET /cfg/fxs.xml HTTP/1.1\r\n"));
}

TEST_F(Retrieval, AnswerWithoutDocumentRestartsOnlyAnEarlierFile)
{
    HttpTestServer server({HttpTestServer::Answer{HEADER + "no document"},
                           HttpTestServer::Answer{HEADER + "<?xml?><cfg/>"},
                           HttpTestServer::Answer{HEADER + "<html>error</html>"}});
    mClient.RetriveConfigurationByURL(Url(server));
    EXPECT_EQ((Traces{CLOSED, STARTING}), Lines());
    EXPECT_TRUE(ConfiguratorCalls().empty());

    mClient.RetriveConfigurationByURL(Url(server));
    mClient.RetriveConfigurationByURL(Url(server));
    const std::string stored = mDir.Path() + "/zentrofxs-001122334455.cfg";
    EXPECT_EQ((Calls{"SetConfigFilePath " + stored, "Start", "SetConfigFilePath " + stored, "Start"}),
              ConfiguratorCalls());
}

TEST_F(Retrieval, FailedRequestLeavesTheConfiguratorAlone)
{
    mClient.mConfigFilePath.Set("/earlier.cfg");
    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    mClient.RetriveConfigurationByURL("http://127.0.0.1:" + port + "/cfg");
    EXPECT_EQ((Traces{{0, "Failed to establish connection with host[127.0.0.1:" + port + ":80]\n"},
                      {3, "AutoProvisionClient::Failed to send configuration request to peer host\n"}}),
              Lines());
    EXPECT_TRUE(ConfiguratorCalls().empty());
}

// Sends an update of type with strings from another queue to the client's,
// lets the client handle it and returns the answer that came back.
bool SendUpdate(TestClient& client, int type, const std::list<std::string>& strings,
                Messaging::Message& reply)
{
    CyclicMessageQueue web(Messaging::CGI_QUEUE + 100);
    Messaging::Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.code = type;
    update.number = 7;
    update.strings = strings;
    if (!web.SendTo(Messaging::CGI_QUEUE, update) || client.ProcessMessageFromQueue(1) != 1)
        return false;
    pollfd entry = {web.GetFD(), POLLIN, 0};
    return poll(&entry, 1, 5000) == 1 && web.ReceiveMessage(reply);
}

TEST_F(Retrieval, ConfigurationCommandsAreCarriedOutAndAnswered)
{
    struct Case {
        int type;
        std::list<std::string> strings;
        Calls calls;
        int subscribeRequested;
    };
    const std::vector<Case> cases = {
        {Update_Configuration_Command, {configCommands[1], "extra"}, {}, 1},
        {Update_Configuration_Command, {configCommands[2]}, {"Reboot"}, 0},
        {Update_Configuration_Command, {configCommands[0]}, {"ResetConfiguration"}, 0},
        {Update_Configuration_Command, {configCommands[3]}, {}, 0},
        {Update_Configuration_Command, {"REBOOT", configCommands[2]}, {}, 0},
        {Update_Configuration_Command, {}, {}, 0},
        {181, {configCommands[2]}, {}, 0},
        {-182, {configCommands[1]}, {}, 0},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        mClient.mSubscribeRequested = 0;
        Messaging::Message reply;
        ASSERT_TRUE(SendUpdate(mClient, c.type, c.strings, reply));
        EXPECT_EQ(Messaging::MSG_UPDATE, reply.kind);
        EXPECT_EQ(c.type, reply.code);
        EXPECT_EQ(1u, reply.number);
        EXPECT_EQ(c.strings, reply.strings);
        EXPECT_EQ(c.subscribeRequested, mClient.mSubscribeRequested);
        const Calls calls = ConfiguratorCalls();
        EXPECT_EQ(c.calls, Calls(calls.begin() + static_cast<long>(seen), calls.end())) << c.type;
        seen = calls.size();
    }
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(0, mClient.OnUpdate(Update_None, {}));
}

}  // namespace
