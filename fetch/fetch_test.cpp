// autoprovision-fetch run in-process against real servers on 127.0.0.1 and a
// real temporary directory: exit status, messages, stored bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fetch/fetch_client.h"
#include "fetch/fetch_tool.h"
#include "platform/messaging.h"
#include "testing/http_test_server.h"
#include "testing/test_support.h"

using testing_support::HttpTestServer;
using testing_support::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";

HttpTestServer::Answer Answer(const std::string& bytes,
                              HttpTestServer::Ending ending = HttpTestServer::CLOSE_AFTER_ANSWER)
{
    HttpTestServer::Answer answer;
    answer.bytes = bytes;
    answer.ending = ending;
    return answer;
}

class FetchTool : public ::testing::Test {
protected:
    // Runs the tool with --mac and --dir of this test before the given words.
    int Run(const std::vector<std::string>& words, const std::string& directory = "")
    {
        std::vector<std::string> all = {"autoprovision-fetch", "--mac", "aabbccddeeff", "--dir",
                                        directory.empty() ? mDir.Path() : directory};
        all.insert(all.end(), words.begin(), words.end());
        std::vector<const char*> argv;
        for (const std::string& word : all)
            argv.push_back(word.c_str());
        mOut.str("");
        mErr.str("");
        return RunFetch(static_cast<int>(argv.size()), argv.data(), mOut, mErr);
    }

    static std::string Url(const HttpTestServer& server, const std::string& path)
    {
        return "http://127.0.0.1:" + server.PortText() + "/" + path;
    }

    std::string Stored() const { return mDir.File("zentrofxs-aabbccddeeff.cfg"); }

    TempDir mDir;
    LogCapture mCapture;   // keeps the daemon's trace lines out of /var/log
    std::ostringstream mOut;
    std::ostringstream mErr;
};

TEST_F(FetchTool, StoresTheDocumentAndNamesItsPathAndSize)
{
    HttpTestServer server(Answer(HEADER + DOCUMENT + "\r\n"));
    ASSERT_EQ(FETCH_STORED, Run({Url(server, "cfg/a.xml")})) << mErr.str();

    EXPECT_EQ(DOCUMENT + "\n", ReadFile(Stored()));
    EXPECT_EQ("autoprovision-fetch: stored " + Stored() + " (" + std::to_string(DOCUMENT.size() + 1) +
                  " bytes)\n",
              mOut.str());
    const std::string request = server.Request();
    EXPECT_EQ(0u, request.find("GET /cfg/a.xml HTTP/1.1\r\n")) << request;
    if (access("/proc/vexa/fxs-number", F_OK) != 0) {
        EXPECT_NE(std::string::npos, request.find(FetchClient::FALLBACK_USER_AGENT)) << request;
        EXPECT_NE(std::string::npos, mErr.str().find("fixed User-Agent line"));
    }
    bool traced = false;
    for (const std::string& text : mCapture.Texts())
        traced = traced || text == "AutoProvisionClient::Recieved failed(no connection)\n";
    EXPECT_TRUE(traced);
}

TEST_F(FetchTool, ReplacesAnEarlierFileEvenWhenAQueueOfTheDaemonIsServed)
{
    // A "running daemon" serving queue 126 in the usual directory.
    TempDir queues;
    Messaging::SetQueueDirectory(queues.Path());
    CyclicMessageQueue daemonQueue(Messaging::CGI_QUEUE);
    WriteFile(Stored(), "old content that is longer than the new document ....................\n");

    HttpTestServer server(Answer(HEADER + DOCUMENT));
    EXPECT_EQ(FETCH_STORED, Run({Url(server, "x")})) << mErr.str();
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(Stored()));
    EXPECT_EQ(queues.Path(), Messaging::QueueDirectory());   // private directory gone again
    EXPECT_TRUE(CyclicMessageQueue::IsQueueServed(Messaging::CGI_QUEUE));
}

TEST_F(FetchTool, EachFailureHasItsOwnStatusAndLeavesNoFile)
{
    EXPECT_EQ(FETCH_INVALID_URL, Run({"127.0.0.1/cfg"}));
    EXPECT_NE(std::string::npos, mErr.str().find("URL not valid"));

    const std::string port = std::to_string(HttpTestServer::UnusedPort());
    EXPECT_EQ(FETCH_REQUEST_FAILED, Run({"http://127.0.0.1:" + port + "/cfg"}));
    EXPECT_NE(std::string::npos, mErr.str().find("[127.0.0.1:" + port + "] failed"));

    HttpTestServer::Answer reset = Answer(HEADER, HttpTestServer::RESET_MIDWAY);
    HttpTestServer resetting(reset);
    EXPECT_EQ(FETCH_REQUEST_FAILED, Run({Url(resetting, "cfg")}));

    HttpTestServer plain(Answer("HTTP/1.1 404 Not Found\r\n\r\nno such file"));
    EXPECT_EQ(FETCH_NO_DOCUMENT, Run({Url(plain, "cfg")}));
    EXPECT_NE(std::string::npos, mErr.str().find("no \"<?xml\" document"));
    EXPECT_EQ(-1, access(Stored().c_str(), F_OK));
    EXPECT_EQ("", mOut.str());
}

TEST_F(FetchTool, UnwritableFileIsReportedNotStored)
{
    HttpTestServer missing(Answer(HEADER + DOCUMENT));
    EXPECT_EQ(FETCH_NOT_WRITTEN, Run({Url(missing, "cfg")}, mDir.File("no-such-dir")));
    EXPECT_NE(std::string::npos, mErr.str().find("could not write " + mDir.File("no-such-dir/")));

    // A directory in the file's place exists before and after: not a new file.
    ASSERT_EQ(0, mkdir(Stored().c_str(), 0700));
    HttpTestServer blocked(Answer(HEADER + DOCUMENT));
    EXPECT_EQ(FETCH_NOT_WRITTEN, Run({Url(blocked, "cfg")}));
    rmdir(Stored().c_str());
}

TEST_F(FetchTool, UsageErrorsAndHelp)
{
    EXPECT_EQ(FETCH_USAGE, Run({}));
    EXPECT_NE(std::string::npos, mErr.str().find("no URL given"));
    EXPECT_EQ(FETCH_USAGE, Run({"--verbose", "http://h/x"}));
    EXPECT_EQ(FETCH_USAGE, Run({"http://h/x", "http://h/y"}));
    EXPECT_EQ(FETCH_USAGE, Run({"http://h/x", "--mac"}));

    EXPECT_EQ(0, Run({"--help"}));
    EXPECT_NE(std::string::npos, mOut.str().find("Usage: autoprovision-fetch [--mac TEXT] [--dir DIR] URL"));
    EXPECT_NE(std::string::npos, mOut.str().find("firmware=fetch"));
}

}  // namespace
