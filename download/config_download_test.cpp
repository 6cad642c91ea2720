// The configuration request, its reception and the stored file, against real
// TCP servers on 127.0.0.1.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "configurator/xml_check.h"
#include "testing/child_process.h"
#include "testing/http_test_server.h"
#include "testing/test_client.h"

using namespace testing_support;

namespace {

const std::string CLOSED = "0T AutoProvisionClient::Recieved failed(no connection)\n";
const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";
// A stored file that was opened and then emptied.
const std::string EMPTIED = "(emptied)";

std::string ExpectedRequest(const std::string& path, const std::string& host)
{
    return "GET /" + path + " HTTP/1.1\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*\r\n"
           "Accept-Language: en-ru\r\nAccept-Encoding: gzip, deflate\r\n"
           "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n"
           "Host: " + host + "\r\nConnection: Keep-Alive\r\n\r\n";
}

class ConfigDownload : public ::testing::Test {
protected:
    ConfigDownload() : mClient(mDir.Path() + "/")
    {
        mClient.mMACAddress.Set("001122334455");
        mClient.mUserAgent = "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n";
    }

    // The port comes from the host text; the port field keeps its default.
    bool Download(const HttpTestServer& server, const std::string& path)
    {
        ConfigurationControl::RequestParams params;
        params.host = "127.0.0.1:" + server.PortText();
        params.path = path;
        return mClient.SendConfigRequest(params);
    }

    TempDir mDir;
    const std::string mStored = mDir.File("zentrofxs-001122334455.cfg");
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(ConfigDownload, OneAnswerGivesItsRequestResultTracesAndStoredFile)
{
    // With its line end the largest document the configurator takes, and one byte more.
    const std::string big = "<?xml version=\"1.0\"?>\n<config>" +
                            std::string(XmlCheck::MAX_DOCUMENT_BYTES - 40, 'x') + "</config>";
    // Longer than the 1024-byte stack buffer: sent whole from a heap buffer.
    const std::string longPath = "cfg/" + std::string(1500, 'p') + "?q=1";
    const std::string nul(1, '\0');
    using S = HttpTestServer;
    // name, path, answer, result, traces, stored file ("": none, EMPTIED: opened and left empty)
    const std::vector<std::tuple<const char*, std::string, S::Answer, bool, Lines, std::string>> cases = {
        {"server closes", "", {HEADER + DOCUMENT + "\r\n\r\n"}, true, {CLOSED}, DOCUMENT + "\n"},
        {"kept open: the receive time-out ends it", "cfg/a.xml", {HEADER + DOCUMENT, 0, S::KEEP_OPEN}, true,
         {"0T AutoProvisionClient::Recieved failed(time expire)\n"}, DOCUMENT + "\n"},
        {"reset in the body", "cfg", {HEADER + DOCUMENT, 0, S::RESET_MIDWAY, HEADER.size() + 30}, true,
         {CLOSED}, DOCUMENT.substr(0, 30) + "\n"},
        {"reset before any answer", "cfg", {HEADER, 0, S::RESET_MIDWAY}, false,
         {CLOSED, "0T Failed to recieve configuration\n"}, ""},
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
        {"16 MiB file", "big.xml", {HEADER + big + "\r\n", 64 * 1024}, true, {CLOSED}, big + "\n"},
        {"one byte more is not stored: the file is emptied", "big.xml", {HEADER + big + "x\r\n", 64 * 1024},
         true, {CLOSED}, EMPTIED},
    };
    // The downloads go one after the other into one file: each stored document
    // replaces the one before, longer or not, and an answer without one leaves it.
    std::string onDisk;
    for (const auto& [name, path, answer, result, traces, stored] : cases) {
        SCOPED_TRACE(name);
        mCapture.Clear();
        mClient.mConfigFilePath.Set("");
        HttpTestServer server(answer);
        EXPECT_EQ(result, Download(server, path));
        EXPECT_TRUE(server.WaitFinished());   // the client closed its end
        EXPECT_EQ(ExpectedRequest(path, "127.0.0.1:" + server.PortText()), server.Request());
        EXPECT_EQ(traces, Leveled(mCapture));
        EXPECT_EQ(stored.empty() ? "" : mStored, mClient.mConfigFilePath.Get());
        onDisk = stored.empty() ? onDisk : stored == EMPTIED ? "" : stored;
        const std::string file = ReadFile(mStored);
        EXPECT_TRUE(onDisk == file) << testing::PrintToString(file.substr(0, 99)) << "... " << file.size();
    }
}

TEST_F(ConfigDownload, EmptyMacNamesTheFileWithItsModeAndAMissingDirectoryIsNotMade)
{
    HttpTestServer server({{HEADER + DOCUMENT}, {HEADER + DOCUMENT}});
    const std::string stored = mDir.File("zentrofxs-.cfg");
    mClient.mMACAddress.Set("");
    const mode_t mask = umask(044);
    EXPECT_TRUE(Download(server, "cfg"));
    umask(mask);
    EXPECT_EQ(stored, mClient.mConfigFilePath.Get());
    EXPECT_EQ(DOCUMENT + "\n", ReadFile(stored));
    struct stat info;
    ASSERT_EQ(0, stat(stored.c_str(), &info));
    EXPECT_EQ(0620u, info.st_mode & 0777u);   // 0664 less the umask
    // The path is taken even though the file cannot be created.
    mClient.SetDirectory(mDir.File("missing/"));
    EXPECT_TRUE(Download(server, "cfg"));
    EXPECT_EQ(mDir.File("missing/zentrofxs-.cfg"), mClient.mConfigFilePath.Get());
    EXPECT_EQ(-1, access(mDir.File("missing").c_str(), F_OK));
    EXPECT_EQ(Lines(2, CLOSED), Leveled(mCapture));
}

// A socket that answers Receive from a script: a text is a chunk, a number a
// count or code (0 included, which the reception answers by receiving again).
struct ScriptedSocket : BsdSocket {
    explicit ScriptedSocket(std::vector<std::string> script) : BsdSocket(true), mScript(std::move(script)) {}
    int Receive(char* buffer, int capacity, int timeoutMs, int flags) override
    {
        EXPECT_EQ(std::make_tuple(1023, -1, 0), std::make_tuple(capacity, timeoutMs, flags));
        const std::string step = mScript.at(mNext++);
        if (step.empty() || step[0] != '#')
            return static_cast<int>(step.copy(buffer, static_cast<size_t>(capacity)));
        return std::stoi(step.substr(1));
    }
    void Disconnect() override { ++mDisconnects; }
    std::vector<std::string> mScript;
    size_t mNext = 0;
    int mDisconnects = 0;
};

TEST_F(ConfigDownload, ReceptionEndsOnEachNegativeCodeWithItsLineAndReceivesAgainOnZero)
{
    const std::string failed = "0T AutoProvisionClient::Recieved failed(";
    struct Case { std::vector<std::string> script; bool received; std::string response; Lines traces; };
    const Case cases[] = {
        {{"#0", "abc", "#0", "de", "#-1"}, true, "abcde", {CLOSED}},
        {{"abc", "#-3"}, true, "abc", {CLOSED}},
        {{"abc", "#-2"}, true, "abc", {failed + "time expire)\n"}},
        {{"#0", "#-4"}, false, "", {failed}},
        {{"#-1"}, false, "", {CLOSED}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.script));
        mCapture.Clear();
        ScriptedSocket socket(c.script);
        ResponseString response;
        EXPECT_EQ(c.received, mClient.ReceiveConfiguration(socket, response));
        EXPECT_EQ(c.script.size(), socket.mNext);
        EXPECT_EQ(1, socket.mDisconnects);
        EXPECT_EQ(c.response, std::string(response.data(), response.size()));
        EXPECT_EQ(c.traces, Leveled(mCapture));
    }
}

// A request for 127.0.0.1 with the port in its own field.
ConfigurationControl::RequestParams Params(const HttpTestServer& server, const std::string& path)
{
    ConfigurationControl::RequestParams params;
    params.host = "127.0.0.1";
    params.port = server.PortText();
    params.path = path;
    return params;
}

// The record's port reaches the address when the host text has none; a send
// that fails ends the request with its line, and a send waits up to its 10 s
// for a server that starts reading late.
TEST_F(ConfigDownload, PortFieldReachesTheAddressAndAFailedSendEndsTheRequest)
{
    using S = HttpTestServer;
    const std::string huge(16u << 20, 'p');
    const struct { const char* name; S::Answer answer; std::string path; bool result; Lines traces; } cases[] = {
        {"port field", {HEADER + DOCUMENT}, "cfg", true, {CLOSED}},
        {"reset while 16 MiB go out", {"", 0, S::RESET_ON_ARRIVAL}, huge, false, {"0T Failed to send data\n"}},
        {"reader 1.5 s late", {HEADER + DOCUMENT, 0, S::CLOSE_AFTER_ANSWER, 0, 1500}, huge, true, {CLOSED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mCapture.Clear();
        HttpTestServer server(c.answer);
        EXPECT_EQ(c.result, mClient.SendConfigRequest(Params(server, c.path)));
        EXPECT_EQ(c.traces, Leveled(mCapture));
        EXPECT_EQ(DOCUMENT + "\n", ReadFile(mStored));
        EXPECT_TRUE((c.result ? ExpectedRequest(c.path, "127.0.0.1") : "") == server.Request());
    }
}

// An exception inside the request (here while the answer is stored) ends it
// with the connection line and false.
TEST(ConfigRequest, AnExceptionInsideTheRequestIsAFailedRequest)
{
    struct ThrowingClient : TestClient {
        std::string ConfigDirectory() const override { throw std::bad_alloc(); }
    } client;
    LogCapture capture;
    HttpTestServer server(HttpTestServer::Answer{HEADER + DOCUMENT});
    EXPECT_FALSE(client.SendConfigRequest(Params(server, "cfg")));
    EXPECT_EQ((Lines{CLOSED, "0T Failed to establish connection with host[127.0.0.1:" + server.PortText() + "]\n"}),
              Leveled(capture));
}

// Serves an answer of a given size in full 1023-byte chunks, each byte telling
// its position, and notes every capacity the answer string had on the way.
struct ChunkSocket : BsdSocket {
    ChunkSocket(const ResponseString& response, size_t size) : BsdSocket(true), mResponse(response), mSize(size) {}
    int Receive(char* buffer, int capacity, int, int) override
    {
        if (mCapacities.empty() || mCapacities.back() != mResponse.capacity())
            mCapacities.push_back(mResponse.capacity());
        if (mSent == mSize)
            return RECV_CLOSED;
        const size_t count = std::min(mSize - mSent, static_cast<size_t>(capacity));
        for (size_t i = 0; i < count; ++i)
            buffer[i] = PatternByte(mSent + i);
        mSent += count;
        return static_cast<int>(count);
    }
    static char PatternByte(size_t position) { return static_cast<char>('a' + position % 23 + position / 4096 % 3); }
    const ResponseString& mResponse;
    size_t mSize;
    size_t mSent = 0;
    std::vector<size_t> mCapacities;
};

TEST_F(ConfigDownload, TheAnswerGrowsAtMostTwofoldOnHugePageAlignedMemoryAndKeepsEveryByte)
{
    const size_t size = (40u << 20) + 12345;
    ResponseString response;
    ChunkSocket socket(response, size);
    EXPECT_TRUE(mClient.ReceiveConfiguration(socket, response));
    ASSERT_EQ(size, response.size());
    ASSERT_GT(socket.mCapacities.size(), 2u);
    const size_t hugePage = ResponseMemory::HUGE_PAGE_SIZE;
    for (size_t i = 2; i < socket.mCapacities.size(); ++i)
        EXPECT_LE(socket.mCapacities[i], std::max(2 * socket.mCapacities[i - 1], hugePage)) << i;
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(response.data()) % hugePage);
    EXPECT_EQ(0u, response.capacity() % hugePage);
    size_t wrong = 0;
    for (size_t i = 0; i < size; ++i)
        wrong += response[i] != ChunkSocket::PatternByte(i);
    EXPECT_EQ(0u, wrong);

    // Moved whole, found by content, refused beyond its limit without a change.
    ResponseString moved(std::move(response));
    EXPECT_EQ(0u, response.size());
    EXPECT_EQ(4096u + 7, moved.find(std::string(1, ChunkSocket::PatternByte(4096 + 7)).c_str(), 4096));
    EXPECT_EQ(ResponseString::npos, moved.find("<?xml"));
    EXPECT_THROW(moved.reserve(ResponseString::max_size() + 1), std::length_error);
    EXPECT_EQ(size, moved.size());
}

TEST_F(ConfigDownload, StoringNeverFollowsALinkNeverBlocksAndNeverLeavesAStump)
{
    const std::string target = mDir.File("target");
    const std::string answer = HEADER + DOCUMENT + std::string(64 * 1024, ' ') + "<a/>";
    struct Row {
        const char* name;
        std::function<void()> plant;     // what stands at the path (or in the directory) before
        std::function<void()> undo;      // puts the process and directory back
        std::string atPath;              // the file's bytes afterwards; "" for what was planted, unchanged
    };
    struct rlimit fileSize;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &fileSize));
    const std::vector<Row> rows = {
        {"a symlink is not followed", [&] { EXPECT_EQ(0, symlink(target.c_str(), mStored.c_str())); }, [] {}, ""},
        {"a FIFO is not opened for good", [&] { EXPECT_EQ(0, mkfifo(mStored.c_str(), 0666)); }, [] {}, ""},
        {"a directory others may write to is taken as missing",
         [&] { EXPECT_EQ(0, chmod(mDir.Path().c_str(), 0777)); },
         [&] { EXPECT_EQ(0, chmod(mDir.Path().c_str(), 0700)); }, ""},
        {"a failed write leaves the file empty",
         [&] {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit small = {4096, fileSize.rlim_max};
             EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
         },
         [&] {
             EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &fileSize));
             signal(SIGXFSZ, SIG_DFL);
         },
         EMPTIED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(mStored.c_str());
        WriteFile(target, "root only");
        row.plant();
        struct stat before = {};
        const bool planted = lstat(mStored.c_str(), &before) == 0;
        mClient.mConfigFilePath.Set("");
        mClient.SerializeConfig(ResponseString(answer.data(), answer.size()));
        row.undo();
        EXPECT_EQ(mStored, mClient.mConfigFilePath.Get());
        EXPECT_EQ("root only", ReadFile(target));
        struct stat after = {};
        const bool there = lstat(mStored.c_str(), &after) == 0;
        if (row.atPath == EMPTIED) {
            EXPECT_TRUE(there && S_ISREG(after.st_mode) && after.st_size == 0);
        } else {
            EXPECT_EQ(planted, there);
            EXPECT_EQ(before.st_mode, after.st_mode);
        }
    }
    EXPECT_TRUE(mCapture.Lines().empty());
}

// Without a directory of the test's, the document goes to the device's
// directory, here a fresh one in a private mount namespace.
TEST(ConfigFile, StoredInTheDevicesDirectoryUnderTheMacAddress)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    const std::string ending = Ending(StartChild([] {
        TestClient client;   // its queue is open before /tmp is hidden
        if (!PrivateTmpfs({"/tmp"}) || mkdir("/tmp/httpipeconfig", 0755) != 0)
            return CHILD_UNAVAILABLE;
        client.mMACAddress.Set("0a1b2c3d4e5f");
        const std::string answer = HEADER + DOCUMENT;
        client.SerializeConfig(ResponseString(answer.data(), answer.size()));
        const std::string path = "/tmp/httpipeconfig/zentrofxs-0a1b2c3d4e5f.cfg";
        return client.mConfigFilePath.Get() == path && ReadFile(path) == DOCUMENT + "\n" ? 0 : 1;
    }));
    if (ending == "exit 77")
        GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ("exit 0", ending);
}

// The document as the plain copy-and-trim steps cut it; "" when nothing is stored.
std::string ReferenceDocument(std::string work)
{
    StringUtils::Trim(work, " \t", true, true);
    const size_t headerEnd = work.find("\n\r\n");
    if (headerEnd != std::string::npos)
        work.erase(0, headerEnd);
    StringUtils::Trim(work, "\r\n", true, true);
    const size_t document = work.find("<?xml");
    return document == std::string::npos ? std::string() : work.substr(document) + "\n";
}

TEST_F(ConfigDownload, StoredDocumentMatchesTheCopyAndTrimSteps)
{
    // Random answers made of the pieces that matter, from a fixed seed.
    const char* const pieces[] = {" ", "\t", "\r", "\n", "A", "<?xm", "<?xml", "\n\r\n"};
    std::mt19937 random(12345);
    for (int i = 0; i < 1000; ++i) {
        std::string answer;
        for (size_t n = random() % 10; n > 0; --n)
            answer += pieces[random() % 8];
        unlink(mStored.c_str());
        mClient.SerializeConfig(ResponseString(answer.data(), answer.size()));
        EXPECT_EQ(ReferenceDocument(answer), ReadFile(mStored)) << testing::PrintToString(answer);
    }
}

}  // namespace
