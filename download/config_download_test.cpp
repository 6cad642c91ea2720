// The configuration request, its reception and the stored file, against real
// TCP servers on 127.0.0.1.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "testing/http_test_server.h"
#include "testing/test_client.h"

using namespace testing_support;

namespace {

const char USER_AGENT[] = "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n";
const char MAC[] = "001122334455";
const Trace CLOSED{0, "AutoProvisionClient::Recieved failed(no connection)\n"};
const Trace TIMED_OUT{0, "AutoProvisionClient::Recieved failed(time expire)\n"};
const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";

std::string ExpectedRequest(const std::string& path, const std::string& host,
                            const std::string& agent = USER_AGENT)
{
    return "GET /" + path + " HTTP/1.1\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*\r\n"
           "Accept-Language: en-ru\r\nAccept-Encoding: gzip, deflate\r\n" +
           agent + "Host: " + host + "\r\nConnection: Keep-Alive\r\n\r\n";
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

    std::string StoredPath() const { return mDir.File(std::string("zentrofxs-") + MAC + ".cfg"); }

    bool Download(const std::string& host, const std::string& path, const std::string& port = "80")
    {
        ConfigurationControl::RequestParams params;
        params.host = host;
        params.port = port;
        params.path = path;
        return mClient.SendConfigRequest(params);
    }

    RecordingConfigurator mRecorder;
    TempDir mDir;
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(ConfigDownload, OneAnswerGivesItsRequestResultTracesAndStoredFile)
{
    std::string big = "<?xml version=\"1.0\"?>\n";
    for (unsigned int i = 0; big.size() < 16u * 1024 * 1024; ++i)
        big += "<entry id=\"" + std::to_string(i) + "\"/>";
    // Longer than the 1024-byte stack buffer: sent whole from a heap buffer.
    const std::string longPath = "cfg/" + std::string(1500, 'p') + "?q=1";
    const std::string nul(1, '\0');
    using S = HttpTestServer;
    // name, path, answer, result, traces, stored file ("": none)
    const std::vector<std::tuple<const char*, std::string, S::Answer, bool, Traces, std::string>> cases = {
        {"server closes", "", {HEADER + DOCUMENT + "\r\n\r\n"}, true, {CLOSED}, DOCUMENT + "\n"},
        {"kept open: the receive time-out ends it", "cfg/a.xml", {HEADER + DOCUMENT, 0, S::KEEP_OPEN}, true,
         {TIMED_OUT}, DOCUMENT + "\n"},
        {"reset in the body", "cfg", {HEADER + DOCUMENT, 0, S::RESET_MIDWAY, HEADER.size() + 30}, true,
         {CLOSED}, DOCUMENT.substr(0, 30) + "\n"},
        {"reset before any answer", "cfg", {HEADER, 0, S::RESET_MIDWAY}, false,
         {CLOSED, {0, "Failed to recieve configuration\n"}}, ""},
        {"small pieces are joined", longPath, {HEADER + DOCUMENT + "\n", 7}, true, {CLOSED}, DOCUMENT + "\n"},
        // One send well below 1023 bytes arrives as one chunk.
        {"bytes after a NUL in a chunk are dropped", "cfg",
         {HEADER + "<?xml?><a/>" + nul + "<dropped/>\r\n"}, true, {CLOSED}, "<?xml?><a/>\n"},
        {"a chunk that starts with a NUL still counts", "cfg", {nul + "y"}, true, {CLOSED}, ""},
        {"no document", "cfg", {"HTTP/1.1 404 Not Found\r\n\r\n<html>gone</html>"}, true, {CLOSED}, ""},
        // Blanks and tabs at the very end go first, then CR and LF; the blank before them stays.
        {"text before the document, line ends after it", "cfg",
         {HEADER + "\r\n\xEF\xBB\xBF<!-- x -->" + DOCUMENT + " \r\n\t \r\n \t"}, true, {CLOSED},
         DOCUMENT + " \r\n\t \n"},
        {"16 MiB document", "big.xml", {HEADER + big + "\r\n", 64 * 1024}, true, {CLOSED}, big + "\n"},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& [name, path, answer, result, traces, stored] : cases) {
        SCOPED_TRACE(name);
        unlink(StoredPath().c_str());
        mCapture.Clear();
        mClient.mConfigFilePath.Set("earlier");
        HttpTestServer server(answer);
        EXPECT_EQ(result, Download("127.0.0.1:" + server.PortText(), path));
        EXPECT_TRUE(server.WaitFinished());   // the client closed its end
        EXPECT_EQ(ExpectedRequest(path, "127.0.0.1:" + server.PortText()), server.Request());
        EXPECT_EQ(traces, TraceLines(mCapture));
        EXPECT_EQ(stored.empty() ? "earlier" : StoredPath(), mClient.mConfigFilePath.Get());
        const std::string file = ReadFile(StoredPath());
        EXPECT_TRUE(stored == file) << testing::PrintToString(file.substr(0, 99)) << "... " << file.size();
        struct stat info;
        ASSERT_EQ(stored.empty() ? -1 : 0, stat(StoredPath().c_str(), &info));
        EXPECT_TRUE(stored.empty() || (info.st_mode & 0777u) == (0664u & ~mask));
    }
}

TEST_F(ConfigDownload, FileNamePortFieldAndFailures)
{
    HttpTestServer server({{HEADER + DOCUMENT}, {HEADER + "<?xml?><b/>"}, {HEADER + DOCUMENT},
                           {HEADER + DOCUMENT}});
    const std::string host = "127.0.0.1:" + server.PortText();
    ASSERT_TRUE(Download(host, "one"));
    // The second time with the port apart from the host and no user agent: the same file, overwritten.
    mClient.mUserAgent.clear();
    ASSERT_TRUE(Download("127.0.0.1", "two", server.PortText()));
    EXPECT_EQ("<?xml?><b/>\n", ReadFile(StoredPath()));
    EXPECT_EQ(ExpectedRequest("two", "127.0.0.1", ""), server.Request(1));
    mClient.mMACAddress.Set("");
    ASSERT_TRUE(Download(host, "cfg"));
    EXPECT_EQ(mDir.File("zentrofxs-.cfg"), mClient.mConfigFilePath.Get());
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(mDir.File("zentrofxs-.cfg")));
    // The path is taken even though the file cannot be created.
    mClient.SetDirectory(mDir.File("missing/"));
    mClient.mMACAddress.Set(MAC);
    EXPECT_TRUE(Download(host, "cfg"));
    const std::string missing = mDir.File("missing/zentrofxs-001122334455.cfg");
    EXPECT_EQ(missing, mClient.mConfigFilePath.Get());
    EXPECT_EQ(-1, access(mDir.File("missing").c_str(), F_OK));
    // A refused connection names host and port and keeps the path.
    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    EXPECT_FALSE(Download("127.0.0.1:" + port, "cfg"));
    EXPECT_EQ(missing, mClient.mConfigFilePath.Get());
    EXPECT_EQ((Traces{CLOSED, CLOSED, CLOSED, CLOSED,
                      {0, "Failed to establish connection with host[127.0.0.1:" + port + ":80]\n"}}),
              TraceLines(mCapture));
}

// A socket whose receive fails with RECV_ERROR, which no real connection here gives.
class FailingSocket : public BsdSocket {
public:
    FailingSocket() : BsdSocket(true) {}
    int Receive(char*, int capacity, int timeoutMs, int flags) override
    {
        EXPECT_EQ(std::make_tuple(1023, -1, 0), std::make_tuple(capacity, timeoutMs, flags));
        return RECV_ERROR;
    }
};

TEST_F(ConfigDownload, AnyOtherReceiveFailureEndsTheReceptionWithItsOwnLine)
{
    FailingSocket socket;
    std::string response;
    EXPECT_FALSE(mClient.ReceiveConfiguration(socket, response));
    EXPECT_EQ((Traces{{0, "AutoProvisionClient::Recieved failed("}}), TraceLines(mCapture));
}

// The document as the plain copy-and-trim steps cut it; "" when nothing is stored.
std::string ReferenceDocument(std::string work)
{
    StringUtils::Trim(work, " \t", true, true);
    const size_t headerEnd = work.find("\n\r\n");
    if (headerEnd != std::string::npos)
        work.erase(0, headerEnd);
    for (int i = 0; i < 1000 && StringUtils::Trim(work, "\n\r\n", true, true); ++i) {
    }
    const size_t document = work.find("<?xml");
    return document == std::string::npos ? std::string() : work.substr(document) + "\n";
}

TEST_F(ConfigDownload, StoredDocumentMatchesTheCopyAndTrimSteps)
{
    std::vector<std::string> answers = {"", " \t ", "<?xml", " \t<?xml \t", "\n\r\n<?xml\n\r\n",
                                        "<?xm", "a\n\r\n \r\n<?xml\r \n", "\r\n\r\n", "<?xml\n\r\n<?xml"};
    // Random answers over the characters that matter, from a fixed seed.
    std::mt19937 random(12345);
    const std::string alphabet = " \t\r\n<?xmlA";
    for (int i = 0; i < 500; ++i) {
        std::string answer;
        for (size_t length = random() % 24; answer.size() < length;)
            answer += alphabet[random() % alphabet.size()];
        if (random() % 2 == 0)
            answer.insert(random() % (answer.size() + 1), "<?xml");
        answers.push_back(answer);
    }
    for (const std::string& answer : answers) {
        unlink(StoredPath().c_str());
        mClient.mConfigFilePath.Set("");
        mClient.SerializeConfig(answer);
        const std::string expected = ReferenceDocument(answer);
        EXPECT_EQ(expected, ReadFile(StoredPath())) << testing::PrintToString(answer);
        EXPECT_EQ(expected.empty() ? "" : StoredPath(), mClient.mConfigFilePath.Get());
    }
}

}  // namespace
