// Notifications, the retrieval driver and the web side's configuration
// commands, with a real server, real queues and a recording configurator.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "testing/http_test_server.h"
#include "testing/test_client.h"

using ConfigurationControl::configCommands;
using namespace testing_support;

namespace {

using Answer = HttpTestServer::Answer;
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
        mClient.mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
        mClient.mMACAddress.Set("001122334455");
        mClient.mSubscriptionID.Store(CURRENT_ID);
    }

    RecordingConfigurator mRecorder;
    TempDir mDir;
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(Retrieval, NotificationsStartDownloadsWhoseFileIsApplied)
{
    HttpTestServer server({Answer{HEADER + "no document"}, Answer{HEADER + "<?xml?><cfg/>"},
                           Answer{HEADER + "<html>error</html>"}});
    const std::string url = "http://127.0.0.1:" + server.PortText() + "/cfg/fxs.xml";
    const std::string setPath = "SetConfigFilePath " + mDir.File("zentrofxs-001122334455.cfg");
    // Another subscription: differing in the low word, in the high word only, and 0.
    for (unsigned long long id : {CURRENT_ID + 1, CURRENT_ID ^ (1ULL << 63), 0ULL})
        EXPECT_FALSE(mClient.Notify(id, url));
    EXPECT_EQ(0, mClient.mMulticastMsgSent);
    EXPECT_TRUE(mClient.Notify(CURRENT_ID, "10.0.0.5/cfg/fxs.xml"));
    EXPECT_EQ(1, mClient.mMulticastMsgSent);
    // No document while nothing is stored: nothing to apply. Then a document;
    // then none again, which applies the earlier file once more.
    EXPECT_TRUE(mClient.Notify(CURRENT_ID, " " + url + "\t"));
    mClient.RetriveConfigurationByURL(url);
    EXPECT_EQ("<?xml?><cfg/>\n", ReadFile(mDir.File("zentrofxs-001122334455.cfg")));
    EXPECT_EQ(0u, server.Request(1).find("GET /cfg/fxs.xml HTTP/1.1\r\n"));
    mClient.RetriveConfigurationByURL(url);
    // A failed request leaves the configurator alone although a file is stored.
    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    mClient.RetriveConfigurationByURL("http://127.0.0.1:" + port + "/cfg");
    EXPECT_EQ((Calls{"GetInstance", setPath, "Start", setPath, "Start"}), mRecorder.Calls());
    EXPECT_EQ((Traces{NOTIFIED, NOTIFIED, NOTIFIED, NOTIFIED,
                      {1, "AutoProvisionClient::not valid URL recieved\n"}, NOTIFIED, CLOSED, STARTING,
                      CLOSED, STARTING, CLOSED, STARTING,
                      {0, "Failed to establish connection with host[127.0.0.1:" + port + ":80]\n"},
                      {3, "AutoProvisionClient::Failed to send configuration request to peer host\n"}}),
              TraceLines(mCapture));
}

// Each command goes from another queue to the client's, and comes back as the answer with number 1.
TEST_F(Retrieval, ConfigurationCommandsAreCarriedOutAndAnswered)
{
    // type, strings, the configurator call it makes ("": none), mSubscribeRequested after it
    const std::vector<std::tuple<int, std::list<std::string>, std::string, int>> cases = {
        {Update_Configuration_Command, {configCommands[1], "extra"}, "", 1},
        {Update_Configuration_Command, {configCommands[2]}, "Reboot", 0},
        {Update_Configuration_Command, {configCommands[0]}, "ResetConfiguration", 0},
        {Update_Configuration_Command, {configCommands[3]}, "", 0},
        {Update_Configuration_Command, {"REBOOT", configCommands[2]}, "", 0},
        {Update_Configuration_Command, {}, "", 0},
        {181, {configCommands[2]}, "", 0},
        {-182, {configCommands[1]}, "", 0},
    };
    CyclicMessageQueue web(Messaging::CGI_QUEUE + 100);
    Messaging::Message update;
    update.kind = Messaging::MSG_UPDATE;
    update.number = 7;
    for (const auto& [type, strings, call, subscribeRequested] : cases) {
        SCOPED_TRACE(type);
        update.code = type;
        update.strings = strings;
        mClient.mSubscribeRequested = 0;
        RecordingConfigurator recorder;   // sees this command's calls only
        ASSERT_TRUE(web.SendTo(Messaging::CGI_QUEUE, update));
        ASSERT_EQ(1, mClient.ProcessMessageFromQueue(1));
        Messaging::Message reply;
        ASSERT_TRUE(WaitForMessage(web, reply, 5000));
        EXPECT_EQ(std::make_tuple(Messaging::MSG_UPDATE, type, 1u, strings),
                  std::make_tuple(reply.kind, reply.code, reply.number, reply.strings));
        EXPECT_EQ(subscribeRequested, mClient.mSubscribeRequested);
        EXPECT_EQ(call.empty() ? Calls() : Calls{call}, recorder.Calls());
    }
    EXPECT_TRUE(TraceLines(mCapture).empty());
    EXPECT_EQ(0, mClient.OnUpdate(Update_None, {}));
}

}  // namespace
