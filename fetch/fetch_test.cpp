// autoprovision-fetch run in-process against real servers on 127.0.0.1 and a real temporary directory: what
// the tool adds to the download code (checked in download/): exit status, messages, the file, its own queues.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "apc_version.h"
#include "fetch/fetch_check.h"
#include "fetch/fetch_client.h"
#include "fetch/fetch_tool.h"
#include "messaging/messaging.h"
#include "testing/http_test_server.h"
#include "testing/test_support.h"

using namespace testing_support;

namespace {

const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";

class FetchTool : public ::testing::Test {
protected:
    // Runs the tool with this test's --mac and --dir before the given words (a later --dir wins);
    // a check gets this test's --factory instead of --dir.
    int Run(std::vector<std::string> words)
    {
        if (words.empty() || words[0] != "--check")
            words.insert(words.begin(), {"--dir", mDir.Path()});
        else
            words.insert(words.begin() + 1, {"--factory", mFactory});
        words.insert(words.begin(), {"autoprovision-fetch", "--mac", "aabbccddeeff"});
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
    const std::string mFactory = mDir.File("factory.cfg");
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
        SCOPED_TRACE(c.error);
        EXPECT_EQ(c.status, Run(c.words));
        EXPECT_NE(std::string::npos, mErr.find(c.error)) << mErr;
        EXPECT_EQ(-1, access(mStored.c_str(), F_OK));
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

long EntryCount(const std::string& directory)
{
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

// --check against real answers: each row's server answer, exit status and the
// lines that must be among its output. It stores nothing anywhere.
TEST_F(FetchTool, CheckExplainsWhatTheDeviceDoesWithEachAnswer)
{
    TempDir scratch;   // the check's temporary directories go here and must be gone after
    setenv("TMPDIR", scratch.Path().c_str(), 1);
    WriteFile(mFactory, "<?xml version=\"1.0\"?>\n<!-- the device's -->\n<config/>\n");
    using Answer = HttpTestServer::Answer;
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(DOCUMENT.size()) +
                           "\r\nConnection: close\r\n\r\n";
    std::ostringstream chunkSize;
    chunkSize << std::hex << DOCUMENT.size();
    const std::string chunk = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunkSize.str() + "\r\n";
    const std::string gzip = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 12\r\n\r\n";
    const std::string closed = "trace:    AutoProvisionClient::Recieved failed(no connection)";
    const std::string stored = "document: found: " + std::to_string(DOCUMENT.size() + 1) +
                               " bytes stored (from \"<?xml\" on, one line end added)";
    struct Row { const char* name; Answer answer; int status; std::vector<std::string> lines; };
    const Row rows[] = {
        {"static file, connection closed", {ok + DOCUMENT}, CHECK_APPLIES,
         {closed, "status:   HTTP/1.1 200 OK", stored,
          "check:    the configurator accepts it (root element <config>, as in " + mFactory + ")",
          "ending:   the server closed the connection after its answer: the download ends at once",
          "verdict:  the device stores and applies this document"}},
        {"kept alive", {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(DOCUMENT.size()) + "\r\n\r\n" +
                            DOCUMENT, HttpTestServer::KEEP_OPEN},
         CHECK_IDLE_WAIT,
         {"trace:    AutoProvisionClient::Recieved failed(time expire)", stored,
          "ending:   the server kept the connection open (keep-alive): the device takes the answer as complete "
          "only after 2 s without data, its idle time-out",
          "verdict:  the device applies the document, after waiting 2 s for the server to close; closing the "
          "connection saves that wait"}},
        {"compressed", {gzip + std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01\x02", 12)},
         CHECK_COMPRESSED,
         {"coding:   Content-Encoding: gzip: the device cannot read a compressed answer (it asks for gzip, "
          "deflate all the same); turn compression off for this path",
          "verdict:  compressed answer: the device cannot use it"}},
        {"chunked", {chunk + DOCUMENT + "\r\n0\r\n\r\n"}, CHECK_CHUNKED,
         {"chunked:  Transfer-Encoding: chunked: the device does not decode chunks, so the chunk-size lines end "
          "up inside the stored document; serve the file as a static file with Content-Length",
          "verdict:  chunked answer: the stored document would hold the chunk-size lines"}},
        {"error page", {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found"}, CHECK_NO_DOCUMENT,
         {"status:   HTTP/1.1 404 Not Found", "answer:   54 bytes in ",
          "verdict:  no document: nothing new is applied"}},
        {"document under an error status", {"HTTP/1.1 403 Forbidden\r\n\r\n" + DOCUMENT}, CHECK_ERROR_STATUS,
         {stored, "verdict:  the device ignores the status \"HTTP/1.1 403 Forbidden\" and applies this document "
                  "all the same"}},
        // "</line>" stands where "</config>" closes: byte 47 of the stored document.
        {"refused document", {ok.substr(0, ok.find("Content-Length")) + "\r\n" +
                              "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\">\n</config>"},
         CHECK_REFUSED,
         {"check:    the configurator refuses it: at byte 47: mismatched end tag",
          "verdict:  the configurator refuses the document (byte 47: mismatched end tag)"}},
        {"object store's error page", {"HTTP/1.1 404 Not Found\r\nContent-Type: application/xml\r\n\r\n"
                                       "<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code></Error>"},
         CHECK_REFUSED,
         {"check:    the configurator refuses it: root element <Error>, expected <config> (the root element of " +
              mFactory + ")",
          "verdict:  the configurator refuses the document (root element <Error>, expected <config>)"}},
        {"cut short", {"HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n" + DOCUMENT}, CHECK_APPLIES,
         {"warning:  the body is shorter than its Content-Length: the answer was cut"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HttpTestServer server(row.answer);
        const std::string url = "http://127.0.0.1:" + server.PortText() + "/cfg/a.xml";
        EXPECT_EQ(row.status, Run({"--check", url})) << mOut;
        EXPECT_EQ(0u, mOut.find("url:      " + url + "\nrequest:  GET /cfg/a.xml HTTP/1.1, Host: 127.0.0.1:" +
                                server.PortText() + ", User-Agent: Tovix zentro-fxs ")) << mOut;
        for (const std::string& expected : row.lines)   // each at the start of a line
            EXPECT_NE(std::string::npos, ("\n" + mOut).find("\n" + expected)) << expected << "\nin:\n" << mOut;
        // The request is the daemon's own, byte for byte up to its User-Agent line.
        EXPECT_EQ(0u, server.Request(0).find("GET /cfg/a.xml HTTP/1.1\r\nAccept: image/gif"));
        EXPECT_EQ(-1, access(mStored.c_str(), F_OK));
        EXPECT_EQ(0, EntryCount(scratch.Path()));
    }

    const std::string refused = "http://127.0.0.1:" + std::to_string(HttpTestServer::UnusedPort()) + "/cfg";
    EXPECT_EQ(CHECK_REQUEST_FAILED, Run({"--check", refused}));
    EXPECT_NE(std::string::npos, mOut.find("verdict:  no answer (no connection, send failure or nothing "
                                                 "received): the device stores nothing"));
    EXPECT_EQ(CHECK_INVALID_URL, Run({"--check", "127.0.0.1/cfg"}));
    EXPECT_EQ(FETCH_USAGE, Run({"--check", "--dir", "/tmp", refused}));
    EXPECT_EQ(FETCH_SETUP_FAILED, Run({"--check", "--factory", mDir.File("none"), refused}));
    EXPECT_EQ("autoprovision-fetch: no root element to read in " + mDir.File("none") + "\n", mErr);
    EXPECT_EQ(0, Run({"--version"}));
    EXPECT_EQ(std::string("autoprovision-fetch ") + APC_VERSION + "\n", mOut);
    EXPECT_EQ(0, EntryCount(scratch.Path()));
    unsetenv("TMPDIR");
}

}  // namespace
