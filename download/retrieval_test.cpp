// Notifications, the retrieval driver and the web side's configuration commands, with a real server, real
// queues and a recording configurator.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <tuple>
#include <vector>

#include "testing/http_test_server.h"
#include "testing/test_client.h"

using ConfigurationControl::configCommands;
using namespace testing_support;

TEST(Retrieval, NotificationsStartDownloadsWhoseFileIsApplied)
{
    const unsigned long long CURRENT_ID = 0x8877665544332211ULL;
    RecordingConfigurator recorder;
    TempDir dir;
    LogCapture capture;
    TestClient client(dir.Path() + "/");
    client.mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
    client.mSubscriptionID.Store(CURRENT_ID);
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    HttpTestServer server({{header + "no document"}, {header + "<?xml?><cfg/>"}, {header + "<html>error</html>"}});
    const std::string url = "http://127.0.0.1:" + server.PortText() + "/cfg/fxs.xml";
    // Another subscription: differing in the low word, in the high word only, and 0.
    for (unsigned long long id : {CURRENT_ID + 1, CURRENT_ID ^ (1ULL << 63), 0ULL})
        EXPECT_FALSE(client.Notify(id, url));
    EXPECT_EQ(0, client.mMulticastMsgSent);
    client.mSubscribeRequested = 1;   // a request pending meanwhile stays pending
    EXPECT_TRUE(client.Notify(CURRENT_ID, "10.0.0.5/cfg/fxs.xml"));
    EXPECT_EQ(1, client.mMulticastMsgSent);
    EXPECT_EQ(1, client.mSubscribeRequested);
    // No document while nothing is stored: nothing to apply. Then a document; then none again, which applies
    // the earlier file once more. A refused connection leaves the configurator alone.
    EXPECT_TRUE(client.Notify(CURRENT_ID, " " + url + "\t"));
    client.RetriveConfigurationByURL(url);
    client.RetriveConfigurationByURL(url);
    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    client.RetriveConfigurationByURL("http://127.0.0.1:" + port + "/cfg");
    const std::string setPath = "SetConfigFilePath " + dir.File("zentrofxs-.cfg");
    EXPECT_EQ((Lines{"GetInstance", setPath, "Start", setPath, "Start"}), recorder.Calls());
    const std::string notified = "3T AutoConfigClient::Recieve Notify Message form SIP \n";
    const std::string closed = "0T AutoProvisionClient::Recieved failed(no connection)\n";
    const std::string starting = "3T AutoProvisionClient::Start Zentro Configuration Controller\n";
    EXPECT_EQ((Lines{notified, notified, notified, notified, "1T AutoProvisionClient::not valid URL recieved\n",
                     notified, closed, starting, closed, starting, closed, starting,
                     "0T Failed to establish connection with host[127.0.0.1:" + port + ":80]\n",
                     "3T AutoProvisionClient::Failed to send configuration request to peer host\n"}),
              Leveled(capture));
}

// Each command goes from another queue to the client's, and comes back as the answer with number 1.
TEST(Retrieval, ConfigurationCommandsAreCarriedOutAndAnswered)
{
    RecordingConfigurator opened;   // for GetInstance only
    LogCapture capture;
    TestClient client;
    client.mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
    // type, strings, the configurator call it makes ("": none), mSubscribeRequested after it
    const std::vector<std::tuple<int, std::list<std::string>, std::string, int>> cases = {
        {Update_Configuration_Command, {configCommands[1], "extra"}, "", 1},
        {Update_Configuration_Command, {configCommands[2]}, "Reboot", 0},
        {Update_Configuration_Command, {configCommands[0]}, "ResetConfiguration", 0},
        {Update_Configuration_Command, {"REBOOT", configCommands[2]}, "", 0},
        {Update_Configuration_Command, {}, "", 0},
        {181, {configCommands[2]}, "", 0},
    };
    CyclicMessageQueue web(Messaging::CGI_QUEUE + 100);
    Messaging::Message update;
    update.kind = Messaging::MSG_UPDATE;
    for (const auto& [type, strings, call, subscribeRequested] : cases) {
        SCOPED_TRACE(type);
        update.code = type;
        update.strings = strings;
        client.mSubscribeRequested = 0;
        RecordingConfigurator recorder;   // sees this command's calls only
        ASSERT_TRUE(web.SendTo(Messaging::CGI_QUEUE, update));
        ASSERT_EQ(1, client.ProcessMessageFromQueue(1));
        Messaging::Message reply;
        ASSERT_TRUE(WaitForMessage(web, reply, 5000));
        EXPECT_EQ(std::make_tuple(Messaging::MSG_UPDATE, type, 1u, strings),
                  std::make_tuple(reply.kind, reply.code, reply.number, reply.strings));
        EXPECT_EQ(subscribeRequested, client.mSubscribeRequested);
        EXPECT_EQ(call.empty() ? Lines() : Lines{call}, recorder.Calls());
    }
    EXPECT_TRUE(capture.Lines().empty());
}
