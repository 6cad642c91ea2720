// The configuration request, its reception and the stored file, against real
// TCP servers on 127.0.0.1.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/auto_provision_client.h"
#include "platform/messaging.h"
#include "testing/http_test_server.h"
#include "testing/test_support.h"
#include "testing/fake_device.h"

using ConfigurationControl::RequestParams;
using testing_support::HttpTestServer;
using testing_support::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;

namespace {

::testing::Environment* const queueDirectory =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

class TestClient : public AutoProvisionClient {
public:
    explicit TestClient(const std::string& directory) : mDirectory(directory) {}
    using AutoProvisionClient::mConfigFilePath;
    using AutoProvisionClient::mMACAddress;
    using AutoProvisionClient::mpConfigurator;
    using AutoProvisionClient::mUserAgent;
    void SetDirectory(const std::string& directory) { mDirectory = directory; }

protected:
    std::string ConfigDirectory() const override { return mDirectory; }

private:
    std::string mDirectory;
};

// A socket whose receive results are scripted: text chunks, or codes.
class ScriptedSocket : public BsdSocket {
public:
    explicit ScriptedSocket(std::vector<std::pair<int, std::string>> script)
        : BsdSocket(true), mScript(std::move(script)) {}
    int Receive(char* buffer, int capacity, int timeoutMs, int flags) override
    {
        EXPECT_EQ(1023, capacity);
        EXPECT_EQ(-1, timeoutMs);
        EXPECT_EQ(0, flags);
        if (mNext >= mScript.size())
            return RECV_ERROR;
        const std::pair<int, std::string>& step = mScript[mNext++];
        // Stale bytes behind each chunk show that nothing past it is read.
        std::string(static_cast<size_t>(capacity), '#').copy(buffer, static_cast<size_t>(capacity));
        step.second.copy(buffer, step.second.size());
        return step.first > 0 ? static_cast<int>(step.second.size()) : step.first;
    }
    void Disconnect() override { ++mDisconnects; }
    int mDisconnects = 0;

private:
    std::vector<std::pair<int, std::string>> mScript;
    size_t mNext = 0;
};

using Trace = std::pair<int, std::string>;
using Traces = std::vector<Trace>;

Traces Lines(const LogCapture& capture)
{
    Traces traces;
    for (testing_support::TraceLine line : capture.Lines()) {
        EXPECT_TRUE(testing_support::StripTimeStamp(line.text)) << line.text;
        traces.emplace_back(line.level, line.text);
    }
    return traces;
}

const char USER_AGENT[] = "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n";
const char MAC[] = "001122334455";
const Trace CLOSED{0, "AutoProvisionClient::Recieved failed(no connection)\n"};
const Trace TIMED_OUT{0, "AutoProvisionClient::Recieved failed(time expire)\n"};
const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";

std::string ExpectedRequest(const std::string& path, const std::string& host,
                            const std::string& userAgent = USER_AGENT)
{
    return "GET /" + path + " HTTP/1.1\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*\r\n"
           "Accept-Language: en-ru\r\n"
           "Accept-Encoding: gzip, deflate\r\n" +
           userAgent + "Host: " + host + "\r\nConnection: Keep-Alive\r\n\r\n";
}

HttpTestServer::Answer Answer(const std::string& bytes, size_t chunkSize = 0,
                              HttpTestServer::Ending ending = HttpTestServer::CLOSE_AFTER_ANSWER,
                              size_t resetAfter = 0)
{
    HttpTestServer::Answer answer;
    answer.bytes = bytes;
    answer.chunkSize = chunkSize;
    answer.ending = ending;
    answer.resetAfter = resetAfter;
    return answer;
}

class ConfigDownload : public ::testing::Test {
protected:
    ConfigDownload() : mClient(mDir.Path() + "/")
    {
        mClient.mMACAddress.Set(MAC);
        mClient.mUserAgent = USER_AGENT;
        mClient.mpConfigurator = ConfigurationControl::ZentroConfigurator::GetInstance();
    }

    // Downloading never drives the configurator.
    void TearDown() override { EXPECT_EQ(std::vector<std::string>{"GetInstance"}, mRecorder.Calls()); }

    std::string StoredPath() const { return mDir.Path() + "/zentrofxs-" + MAC + ".cfg"; }

    // Downloads path from the server, naming it host:port in the URL's way.
    bool Download(const HttpTestServer& server, const std::string& path)
    {
        RequestParams params;
        params.host = "127.0.0.1:" + server.PortText();
        params.path = path;
        return mClient.SendConfigRequest(params);
    }

    testing_support::RecordingConfigurator mRecorder;
    TempDir mDir;
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(ConfigDownload, OneAnswerGivesItsRequestResultTracesAndStoredFile)
{
    std::string big = "<?xml version=\"1.0\"?>\n<config>\n";
    for (unsigned int i = 0; big.size() < 16u * 1024 * 1024; ++i)
        big += "  <entry id=\"" + std::to_string(i) + "\">value</entry>\n";
    big += "</config>";
    // Longer than the 1024-byte stack buffer: sent whole from a heap buffer.
    const std::string longPath = "cfg/" + std::string(1500, 'p') + "?q=1";
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string path;
        HttpTestServer::Answer answer;
        bool result;
        Traces traces;
        std::string stored;   // "": no file
    };
    const std::vector<Case> cases = {
        {"server closes", "", Answer(HEADER + DOCUMENT + "\r\n\r\n"), true, {CLOSED}, DOCUMENT + "\n"},
        {"kept open: the receive time-out ends it", "cfg/a.xml", Answer(HEADER + DOCUMENT, 0, HttpTestServer::KEEP_OPEN),
         true, {TIMED_OUT}, DOCUMENT + "\n"},
        {"reset in the body keeps what arrived", "cfg",
         Answer(HEADER + DOCUMENT, 0, HttpTestServer::RESET_MIDWAY, HEADER.size() + 30), true, {CLOSED},
         DOCUMENT.substr(0, 30) + "\n"},
        {"reset before any answer", "cfg", Answer(HEADER, 0, HttpTestServer::RESET_MIDWAY), false,
         {CLOSED, {0, "Failed to recieve configuration\n"}}, ""},
        {"small pieces are joined", longPath, Answer(HEADER + DOCUMENT + "\n", 7), true, {CLOSED}, DOCUMENT + "\n"},
        // One send well below 1023 bytes arrives as one chunk.
        {"bytes after a NUL in a chunk are dropped", "cfg", Answer(HEADER + "<?xml?><a/>" + nul + "<dropped/>\r\n"),
         true, {CLOSED}, "<?xml?><a/>\n"},
        {"no document", "cfg", Answer("HTTP/1.1 404 Not Found\r\n\r\n<html>gone</html>"), true, {CLOSED}, ""},
        // Blanks and tabs at the very end go first, then CR and LF; the blank before them stays.
        {"text before the document, line ends after it", "cfg",
         Answer(HEADER + "\r\n\xEF\xBB\xBF<!-- x -->" + DOCUMENT + " \r\n\t \r\n \t"), true, {CLOSED},
         DOCUMENT + " \r\n\t \n"},
        {"16 MiB document", "big.xml", Answer(HEADER + big + "\r\n", 64 * 1024), true, {CLOSED}, big + "\n"},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(StoredPath().c_str());
        mCapture.Clear();
        mClient.mConfigFilePath.Set("earlier");
        HttpTestServer server(c.answer);
        EXPECT_EQ(c.result, Download(server, c.path));
        EXPECT_TRUE(server.WaitFinished());   // the client closed its end
        EXPECT_EQ(ExpectedRequest(c.path, "127.0.0.1:" + server.PortText()), server.Request());
        EXPECT_EQ(c.traces, Lines(mCapture));
        EXPECT_EQ(c.stored.empty() ? "earlier" : StoredPath(), mClient.mConfigFilePath.Get());
        const std::string stored = ReadFile(StoredPath());
        EXPECT_EQ(c.stored.size(), stored.size());
        EXPECT_TRUE(c.stored == stored) << testing::PrintToString(stored.substr(0, 200));
        struct stat info;
        ASSERT_EQ(c.stored.empty() ? -1 : 0, stat(StoredPath().c_str(), &info));
        EXPECT_TRUE(c.stored.empty() || (info.st_mode & 0777u) == (0664u & ~mask));
    }
}

TEST_F(ConfigDownload, RefusedConnectionFailsWithTheHostAndPortTexts)
{
    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    RequestParams params;
    params.host = "127.0.0.1:" + port;
    params.path = "cfg";
    mClient.mConfigFilePath.Set("earlier");
    EXPECT_FALSE(mClient.SendConfigRequest(params));
    EXPECT_EQ(Traces({{0, "Failed to establish connection with host[127.0.0.1:" + port + ":80]\n"}}), Lines(mCapture));
    EXPECT_EQ("earlier", mClient.mConfigFilePath.Get());
}

TEST_F(ConfigDownload, OverwritesNamesTheFileByTheMacAndTakesAPortField)
{
    HttpTestServer server({Answer(HEADER + DOCUMENT), Answer(HEADER + "<?xml?><b/>"), Answer(HEADER + DOCUMENT),
                           Answer(HEADER + DOCUMENT)});
    ASSERT_TRUE(Download(server, "one"));
    // The second time with the port apart from the host and no user agent.
    RequestParams params;
    params.host = "127.0.0.1";
    params.port = server.PortText();
    params.path = "two";
    mClient.mUserAgent.clear();
    ASSERT_TRUE(mClient.SendConfigRequest(params));
    EXPECT_EQ("<?xml?><b/>\n", ReadFile(StoredPath()));
    EXPECT_EQ(ExpectedRequest("two", "127.0.0.1", ""), server.Request(1));

    mClient.mUserAgent = USER_AGENT;
    mClient.mMACAddress.Set("");
    ASSERT_TRUE(Download(server, "cfg"));
    EXPECT_EQ(mDir.Path() + "/zentrofxs-.cfg", mClient.mConfigFilePath.Get());
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(mDir.Path() + "/zentrofxs-.cfg"));

    // The path is taken even though the file cannot be created.
    mClient.SetDirectory(mDir.Path() + "/missing/");
    mClient.mMACAddress.Set(MAC);
    EXPECT_TRUE(Download(server, "cfg"));
    EXPECT_EQ(mDir.Path() + "/missing/zentrofxs-001122334455.cfg", mClient.mConfigFilePath.Get());
    EXPECT_EQ(-1, access((mDir.Path() + "/missing").c_str(), F_OK));
    EXPECT_EQ(Traces(4, CLOSED), Lines(mCapture));
}

TEST(Reception, ChunksCodesAndNulBytes)
{
    TempDir dir;
    TestClient client(dir.Path() + "/");
    struct Case {
        std::vector<std::pair<int, std::string>> script;
        std::string response;
        bool received;
        std::string trace;
    };
    const std::string nul(1, '\0');
    const std::string closed = CLOSED.second;
    const std::vector<Case> cases = {
        {{{1, "ab"}, {0, ""}, {1, "c" + nul + "dropped"}, {1, "d"}, {BsdSocket::RECV_CLOSED, ""}}, "abcd", true, closed},
        {{{1, "x"}, {BsdSocket::RECV_RESET, ""}}, "x", true, closed},
        {{{1, nul + "y"}, {BsdSocket::RECV_TIMEOUT, ""}}, "", true, TIMED_OUT.second},
        {{{0, ""}, {BsdSocket::RECV_ERROR, ""}}, "", false, "AutoProvisionClient::Recieved failed("},
        {{{-7, ""}}, "", false, "AutoProvisionClient::Recieved failed("},
        {{{1, std::string(1023, '%')}, {-1, ""}}, std::string(1023, '%'), true, closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response + " " + c.trace);
        LogCapture capture;
        ScriptedSocket socket(c.script);
        std::string response;
        EXPECT_EQ(c.received, client.ReceiveConfiguration(socket, response));
        EXPECT_EQ(c.response, response);
        EXPECT_EQ(1, socket.mDisconnects);
        EXPECT_EQ(Traces({{0, c.trace}}), Lines(capture));
    }
}

// The cut as the plain copy-and-trim steps give it; "" when nothing is stored.
std::string ReferenceDocument(const std::string& response)
{
    std::string work(response);
    StringUtils::Trim(work, " \t", true, true);
    const size_t headerEnd = work.find("\n\r\n");
    if (headerEnd != std::string::npos)
        work.erase(0, headerEnd);
    for (int i = 0; i < 1000 && StringUtils::Trim(work, "\n\r\n", true, true); ++i) {
    }
    const size_t document = work.find("<?xml");
    return document == std::string::npos ? std::string() : work.substr(document) + "\n";
}

TEST(Serialization, MatchesTheCopyAndTrimSteps)
{
    TempDir dir;
    TestClient client(dir.Path() + "/");
    const std::string stored = dir.Path() + "/zentrofxs-.cfg";
    std::vector<std::string> answers = {"", " \t ", "<?xml", " \t<?xml \t", "\n\r\n<?xml\n\r\n",
                                        "<?xm", "a\n\r\n \r\n<?xml\r \n", "\r\n\r\n", "<?xml\n\r\n<?xml"};
    // Random answers over the characters that matter, from a fixed seed.
    std::mt19937 random(12345);
    const char alphabet[] = " \t\r\n<?xmlA";
    for (int i = 0; i < 500; ++i) {
        std::string answer;
        const size_t length = random() % 24;
        for (size_t j = 0; j < length; ++j)
            answer += alphabet[random() % (sizeof(alphabet) - 1)];
        if (random() % 2 == 0)
            answer.insert(random() % (answer.size() + 1), "<?xml");
        answers.push_back(answer);
    }
    for (const std::string& answer : answers) {
        unlink(stored.c_str());
        client.mConfigFilePath.Set("");
        client.SerializeConfig(answer);
        const std::string expected = ReferenceDocument(answer);
        EXPECT_EQ(expected, ReadFile(stored)) << testing::PrintToString(answer);
        EXPECT_EQ(expected.empty() ? "" : stored, client.mConfigFilePath.Get());
    }
}

}  // namespace
