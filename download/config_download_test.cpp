// The configuration request, its reception and the stored file, against real TCP servers on 127.0.0.1.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "configurator/xml_check.h"
#include "testing/http_test_server.h"
#include "testing/test_client.h"

using namespace testing_support;

namespace {

const std::string CLOSED = "0T AutoProvisionClient::Recieved failed(no connection)\n";
const std::string HEADER = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
const std::string DOCUMENT = "<?xml version=\"1.0\"?>\n<config>\n  <line id=\"1\"/>\n</config>";
const std::string EMPTIED = "(emptied)";   // a stored file that was opened and then emptied

std::string ExpectedRequest(const std::string& path, const std::string& host)
{
    return "GET /" + path + " HTTP/1.1\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*\r\n"
           "Accept-Language: en-ru\r\nAccept-Encoding: gzip, deflate\r\n"
           "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n"
           "Host: " + host + "\r\nConnection: Keep-Alive\r\n\r\n";
}

// A request for 127.0.0.1, the port in the host text or (portField) in its own field.
ConfigurationControl::RequestParams Params(const HttpTestServer& server, const std::string& path, bool portField)
{
    ConfigurationControl::RequestParams params;
    params.host = portField ? "127.0.0.1" : "127.0.0.1:" + server.PortText();
    params.port = portField ? server.PortText() : params.port;
    params.path = path;
    return params;
}

class ConfigDownload : public ::testing::Test {
protected:
    ConfigDownload() : mClient(mDir.Path() + "/")
    {
        mClient.mMACAddress.Set("001122334455");
        mClient.mUserAgent = "User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n";
    }
    void Store(const std::string& answer)
    {
        mClient.mConfigFilePath.Set("");
        mClient.SerializeConfig(ResponseString(answer.data(), answer.size()));
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
    // name, path, answer, result, traces, stored file ("": unchanged, EMPTIED: opened and left empty)
    const std::vector<std::tuple<const char*, std::string, S::Answer, bool, Lines, std::string>> cases = {
        {"server closes", "", {HEADER + DOCUMENT + "\r\n\r\n"}, true, {CLOSED}, DOCUMENT + "\n"},
        {"closed before any answer", longPath, {""}, false, {CLOSED, "0T Failed to recieve configuration\n"}, ""},
        // One send well below 1023 bytes arrives as one chunk.
        {"bytes after a NUL in a chunk are dropped", "cfg",
         {HEADER + "<?xml?><a/>" + nul + "<dropped/>\r\n"}, true, {CLOSED}, "<?xml?><a/>\n"},
        {"a chunk that starts with a NUL still counts", "cfg", {nul + "y"}, true, {CLOSED}, ""},
        {"16 MiB file", "big.xml", {HEADER + big + "\r\n"}, true, {CLOSED}, big + "\n"},
        {"one byte more is not stored: the file is emptied", "big.xml", {HEADER + big + "x\r\n"}, true,
         {CLOSED}, EMPTIED},
    };
    // One file for all: each stored document replaces the one before, longer or not.
    std::string onDisk;
    for (const auto& [name, path, answer, result, traces, stored] : cases) {
        SCOPED_TRACE(name);
        mCapture.Clear();
        mClient.mConfigFilePath.Set("");
        HttpTestServer server(answer);
        EXPECT_EQ(result, mClient.SendConfigRequest(Params(server, path, false)));
        EXPECT_TRUE(server.WaitFinished());   // the client closed its end
        EXPECT_EQ(ExpectedRequest(path, "127.0.0.1:" + server.PortText()), server.Request());
        EXPECT_EQ(traces, Leveled(mCapture));
        EXPECT_EQ(stored.empty() ? "" : mStored, mClient.mConfigFilePath.Get());
        onDisk = stored.empty() ? onDisk : stored == EMPTIED ? "" : stored;
        const std::string file = ReadFile(mStored);
        EXPECT_TRUE(onDisk == file) << testing::PrintToString(file.substr(0, 99)) << "... " << file.size();
    }
}

// The document cut out of whole answers: blanks and tabs off both ends, the header up to the "\n\r\n"
// that ends it, CR and LF off both ends, then from "<?xml" on, with one line end added.
TEST_F(ConfigDownload, StoredDocumentIsCutFromTheAnswerIntoAFileOfMode0664)
{
    const std::pair<std::string, std::string> cases[] = {   // answer, stored file ("": none)
        {HEADER + "\r\n\xEF\xBB\xBF<!-- x -->" + DOCUMENT + " \r\n\t \r\n \t", DOCUMENT + " \r\n\t \n"},
        {"HTTP/1.1 404 Not Found\r\n\r\n<html>gone</html>", ""},
        {"X: <?xml\n\r\n<?xml b", "<?xml b\n"},   // the header ends at the first LF CR LF
        {"<?xml a\n\r\n", ""},                    // a header end at the very end
        {" \t<?xml", "<?xml\n"},                  // "<?xml" at the very end
        {"\r\n<?xml\t", "<?xml\n"},               // blanks and tabs go first, then line ends
    };
    const mode_t mask = umask(044);
    for (const auto& c : cases) {
        unlink(mStored.c_str());
        Store(c.first);
        EXPECT_EQ(c.second, ReadFile(mStored)) << testing::PrintToString(c.first);
        EXPECT_EQ(c.second.empty() ? "" : mStored, mClient.mConfigFilePath.Get());
    }
    umask(mask);
    struct stat info;
    ASSERT_EQ(0, stat(mStored.c_str(), &info));
    EXPECT_EQ(0620u, info.st_mode & 0777u);   // 0664 less the umask
}

// A socket that answers Receive from a script: a text is a chunk, "#n" a count or code (0 included,
// which the reception answers by receiving again).
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
    const struct { std::vector<std::string> script; bool received; std::string response; Lines traces; } cases[] = {
        {{"#0", "abc", "#0", "de", "#-1"}, true, "abcde", {CLOSED}},
        {{"abc", "#-3"}, true, "abc", {CLOSED}},
        {{"abc", "#-2"}, true, "abc", {failed + "time expire)\n"}},
        {{"#0", "#-4"}, false, "", {failed}},
        {{"#-1"}, false, "", {CLOSED}},
    };
    for (const auto& c : cases) {
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

// The record's port reaches the address when the host text has none; a send that fails ends the request
// with its line, and a send waits up to its 10 s for a server that starts reading late.
TEST_F(ConfigDownload, PortFieldReachesTheAddressAndAFailedSendEndsTheRequest)
{
    using S = HttpTestServer;
    const std::string huge(16u << 20, 'p');
    const struct { const char* name; S::Answer answer; std::string path; bool result; Lines traces; } cases[] = {
        {"port field", {HEADER + DOCUMENT}, "cfg", true, {CLOSED}},
        {"reset while 16 MiB go out", {"", S::RESET_ON_ARRIVAL}, huge, false, {"0T Failed to send data\n"}},
        {"reader 1.5 s late", {HEADER + DOCUMENT, S::CLOSE_AFTER_ANSWER, 1500}, huge, true, {CLOSED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mCapture.Clear();
        HttpTestServer server(c.answer);
        EXPECT_EQ(c.result, mClient.SendConfigRequest(Params(server, c.path, true)));
        EXPECT_EQ(c.traces, Leveled(mCapture));
        EXPECT_EQ(DOCUMENT + "\n", ReadFile(mStored));
        EXPECT_TRUE((c.result ? ExpectedRequest(c.path, "127.0.0.1") : "") == server.Request());
    }
}

// An exception inside the request (here while the answer is stored) ends it with the connection line.
TEST(ConfigRequest, AnExceptionInsideTheRequestIsAFailedRequest)
{
    struct ThrowingClient : TestClient {
        std::string ConfigDirectory() const override { throw std::bad_alloc(); }
    } client;
    LogCapture capture;
    HttpTestServer server(HttpTestServer::Answer{HEADER + DOCUMENT});
    EXPECT_FALSE(client.SendConfigRequest(Params(server, "cfg", true)));
    EXPECT_EQ((Lines{CLOSED, "0T Failed to establish connection with host[127.0.0.1:" + server.PortText() + "]\n"}),
              Leveled(capture));
}

// Serves an answer in full 1023-byte chunks, each byte telling its position, and notes every capacity the
// answer string had on the way.
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

// A symlink planted at the file's path is not followed: it stays, and so does what it points to.
TEST_F(ConfigDownload, StoringNeverFollowsALink)
{
    const std::string target = mDir.File("target");
    WriteFile(target, "root only");
    ASSERT_EQ(0, symlink(target.c_str(), mStored.c_str()));
    Store(HEADER + DOCUMENT);
    EXPECT_EQ(mStored, mClient.mConfigFilePath.Get());
    EXPECT_EQ("root only", ReadFile(target));
    struct stat info;
    EXPECT_TRUE(lstat(mStored.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    EXPECT_TRUE(mCapture.Lines().empty());
}

}  // namespace
