// autoprovision-fetch run in-process against real servers on 127.0.0.1 and a
// real temporary directory: exit status, messages, stored bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "fetch/fetch_client.h"
#include "fetch/fetch_tool.h"
#include "platform/messaging.h"
#include "testing/http_test_server.h"
#include "testing/test_support.h"

using namespace testing_support;

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";

class FetchTool : public ::testing::Test {
protected:
    // Runs the tool with this test's --mac and --dir before the given words (a later --dir wins).
    int Run(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"autoprovision-fetch", "--mac", "aabbccddeeff", "--dir", mDir.Path()});
        std::vector<const char*> argv;
        for (const std::string& word : words)
            argv.push_back(word.c_str());
        mOut.str("");
        mErr.str("");
        return RunFetch(static_cast<int>(argv.size()), argv.data(), mOut, mErr);
    }

    TempDir mDir;
    LogCapture mCapture;   // keeps the daemon's trace lines out of /var/log
    const std::string mStored = mDir.File("zentrofxs-aabbccddeeff.cfg");
    std::ostringstream mOut;
    std::ostringstream mErr;
};

TEST_F(FetchTool, ReplacesAnEarlierFileBesideARunningDaemonAndNamesItsPathAndSize)
{
    // A "running daemon" serves queue 126 in the usual directory: the tool must leave it alone.
    TempDir queues;
    Messaging::SetQueueDirectory(queues.Path());
    CyclicMessageQueue daemonQueue(Messaging::CGI_QUEUE);
    WriteFile(mStored, "old content that is longer than the new document ..................\n");

    HttpTestServer server(HttpTestServer::Answer{HEADER + DOCUMENT + "\r\n"});
    ASSERT_EQ(FETCH_STORED, Run({"http://127.0.0.1:" + server.PortText() + "/cfg/a.xml"})) << mErr.str();
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(mStored));
    const std::string size = std::to_string(DOCUMENT.size() + 1);
    EXPECT_EQ("autoprovision-fetch: stored " + mStored + " (" + size + " bytes)\n", mOut.str());
    const std::string request = server.Request();
    EXPECT_EQ(0u, request.find("GET /cfg/a.xml HTTP/1.1\r\n")) << request;
    if (access("/proc/vexa/fxs-number", F_OK) != 0) {   // no device files: the fixed line
        EXPECT_NE(std::string::npos, request.find(FetchClient::FALLBACK_USER_AGENT)) << request;
        EXPECT_NE(std::string::npos, mErr.str().find("fixed User-Agent line"));
    }
    const std::vector<std::string> texts = mCapture.Texts();
    const std::string trace = "AutoProvisionClient::Recieved failed(no connection)\n";
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), trace));
    EXPECT_EQ(queues.Path(), Messaging::QueueDirectory());   // the tool's private directory is gone again
    EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(Messaging::CGI_QUEUE));
}

TEST_F(FetchTool, EachFailureHasItsOwnStatusAndMessageAndStoresNothing)
{
    // One connection each for: reset, a 404 page, a missing directory, a directory in the file's place.
    HttpTestServer server({{HEADER, 0, HttpTestServer::RESET_MIDWAY, 0}, {"HTTP/1.1 404 Not Found\r\n\r\n"},
                           {HEADER + DOCUMENT}, {HEADER + DOCUMENT}});
    const std::string host = "127.0.0.1:" + server.PortText();
    const std::string url = "http://" + host + "/cfg";
    const std::string refused = "127.0.0.1:" + std::to_string(HttpTestServer::UnusedPort());
    const std::string missing = mDir.File("no-such-dir");
    struct Case { std::vector<std::string> words; int status; std::string error; };   // error: on stderr
    const Case cases[] = {
        {{"127.0.0.1/cfg"}, FETCH_INVALID_URL, "URL not valid"},
        {{"http://" + refused + "/cfg"}, FETCH_REQUEST_FAILED, "[" + refused + "] failed"},
        {{url}, FETCH_REQUEST_FAILED, "[" + host + "] failed"},
        {{url}, FETCH_NO_DOCUMENT, "[" + host + "] holds no \"<?xml\" document"},
        {{"--dir", missing, url}, FETCH_NOT_WRITTEN, "could not write " + missing + "/zentrofxs-"},
        {{}, FETCH_USAGE, "no URL given"},
        {{"--verbose", url}, FETCH_USAGE, "unknown option --verbose"},
        {{url, url}, FETCH_USAGE, "only one URL"},
        {{url, "--mac"}, FETCH_USAGE, "--mac needs a value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(c.status, Run(c.words));
        EXPECT_NE(std::string::npos, mErr.str().find(c.error)) << mErr.str();
        EXPECT_EQ("", mOut.str());
        EXPECT_EQ(-1, access(mStored.c_str(), F_OK));
    }
    // A directory in the file's place exists before and after: not a new file.
    ASSERT_EQ(0, mkdir(mStored.c_str(), 0700));
    EXPECT_EQ(FETCH_NOT_WRITTEN, Run({url}));
    EXPECT_EQ(0, Run({"--help"}));
    EXPECT_NE(std::string::npos, mOut.str().find("Usage: autoprovision-fetch [--mac TEXT] [--dir DIR] URL"));
}

}  // namespace
