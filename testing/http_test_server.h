// A scriptable HTTP server on 127.0.0.1 for download tests: it records each
// request up to the end of its header and answers with scripted bytes.
#ifndef TESTING_HTTP_TEST_SERVER_H
#define TESTING_HTTP_TEST_SERVER_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class HttpTestServer {
public:
    // What happens after the answer has been sent.
    enum Ending {
        CLOSE_AFTER_ANSWER,   // orderly close
        KEEP_OPEN,            // wait until the client closes or the server stops
        RESET_ON_ARRIVAL,     // reset once the request's first bytes arrive, answer nothing
    };

    struct Answer {
        std::string bytes;
        size_t chunkSize = 0;            // bytes per send; 0: all at once
        Ending ending = CLOSE_AFTER_ANSWER;
        int readDelayMs = 0;             // a pause after the accept, before the request is read
    };

    // Every wait of the server ends after this long at the latest.
    static const int WAIT_LIMIT_MS = 30000;

    // Listens on 127.0.0.1 port 0 and serves one connection per answer, in
    // order. Throws std::runtime_error when it cannot listen.
    explicit HttpTestServer(const std::vector<Answer>& answers);
    explicit HttpTestServer(const Answer& answer);
    // Stops the thread and closes every descriptor.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    unsigned short Port() const { return mPort; }
    std::string PortText() const { return std::to_string(mPort); }

    // The bytes of request index up to and including the "\r\n\r\n" that
    // ends its header (all it got when the client stopped earlier). Waits at
    // most timeoutMs for it; empty when it did not come.
    std::string Request(size_t index = 0, int timeoutMs = WAIT_LIMIT_MS) const;

    // Waits at most timeoutMs until every scripted connection has ended.
    bool WaitFinished(int timeoutMs = WAIT_LIMIT_MS) const;

    // A port of 127.0.0.1 on which nobody listens: bound, then released.
    static unsigned short UnusedPort();

private:
    void Serve();
    void ServeConnection(int fd, const Answer& answer);
    bool Wait(int fd, short events, long long deadlineMs) const;
    void RecordRequest(std::string request);

    std::vector<Answer> mAnswers;
    int mListenFd;
    int mStopPipe[2];
    unsigned short mPort;
    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<std::string> mRequests;
    bool mFinished;
    std::thread mThread;
};

}  // namespace testing_support

#endif
