// autoprovision-fetch run in-process against real servers on 127.0.0.1 and a real temporary directory: what
// the tool adds to the download code (checked in download/): exit status, messages, the file, its own queues.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
        mOut.clear();
        mErr.clear();
        return RunFetch(static_cast<int>(argv.size()), argv.data(), mOut, mErr);
    }

    TempDir mDir;
    LogCapture mCapture;   // keeps the daemon's trace lines out of /var/log
    const std::string mStored = mDir.File("zentrofxs-aabbccddeeff.cfg");
    std::string mOut;
    std::string mErr;
};

// Every run sits beside a "running daemon" serving queue 126, which the tool must leave alone.
TEST_F(FetchTool, EachFailureHasItsStatusAndStoresNothingThenAFetchReplacesTheEarlierFile)
{
    Messaging::SetQueueDirectory(mDir.Path());
    CyclicMessageQueue daemonQueue(Messaging::CGI_QUEUE);
    // One connection each for: a 404 page, a missing directory, a directory in the file's place, the fetch.
    HttpTestServer server({{"HTTP/1.1 404 Not Found\r\n\r\n"}, {HEADER + DOCUMENT}, {HEADER + DOCUMENT},
                           {HEADER + DOCUMENT + "\r\n"}});
    const std::string host = "127.0.0.1:" + server.PortText();
    const std::string url = "http://" + host + "/cfg";
    const std::string refused = "127.0.0.1:" + std::to_string(HttpTestServer::UnusedPort());
    const std::string missing = mDir.File("no-such-dir");
    struct Case { std::vector<std::string> words; int status; std::string error; };   // error: on stderr
    const Case cases[] = {
        {{"127.0.0.1/cfg"}, FETCH_INVALID_URL, "URL not valid"},
        {{"http://" + refused + "/cfg"}, FETCH_REQUEST_FAILED, "[" + refused + "] failed"},
        {{url}, FETCH_NO_DOCUMENT, "[" + host + "] holds no \"<?xml\" document"},
        {{"--dir", missing, url}, FETCH_NOT_WRITTEN, "could not write " + missing + "/zentrofxs-"},
        {{}, FETCH_USAGE, "no URL given"},
        {{"--verbose", url}, FETCH_USAGE, "unknown option --verbose"},
        {{url, "--mac"}, FETCH_USAGE, "--mac needs a value"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, Run(c.words)) << c.error;
        EXPECT_NE(std::string::npos, mErr.find(c.error)) << mErr;
        EXPECT_EQ(-1, access(mStored.c_str(), F_OK)) << c.error;
    }
    // A directory in the file's place (of another MAC) exists before and after: not a new file.
    ASSERT_EQ(0, mkdir(mDir.File("zentrofxs-000000000001.cfg").c_str(), 0700));
    EXPECT_EQ(FETCH_NOT_WRITTEN, Run({"--mac", "000000000001", url}));

    WriteFile(mStored, "old content that is longer than the new document ..................\n");
    ASSERT_EQ(FETCH_STORED, Run({url})) << mErr;
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(mStored));
    const std::string size = std::to_string(DOCUMENT.size() + 1);
    EXPECT_EQ("autoprovision-fetch: stored " + mStored + " (" + size + " bytes)\n", mOut);
    const bool deviceFiles = access("/proc/vexa/fxs-number", F_OK) == 0;   // without them: the fixed line
    EXPECT_TRUE(deviceFiles || server.Request(3).find(FetchClient::FALLBACK_USER_AGENT) != std::string::npos);
    EXPECT_EQ(mDir.Path(), Messaging::QueueDirectory());   // the tool's private directory is gone again
    EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(Messaging::CGI_QUEUE));
}

}  // namespace
