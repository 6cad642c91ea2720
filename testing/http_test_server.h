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

// Serves one connection per answer, in order. Every wait, of its thread or of
// a caller, ends after 30 s at the latest; the destructor ends them at once.
class HttpTestServer {
public:
    enum Ending {
        CLOSE_AFTER_ANSWER,   // orderly close
        KEEP_OPEN,            // until the client closes
        RESET_ON_ARRIVAL,     // reset once the request's first bytes arrive, answer nothing
    };
    struct Answer {
        std::string bytes;
        Ending ending = CLOSE_AFTER_ANSWER;
        int readDelayMs = 0;    // a pause after the accept, before the request is read
    };

    // Throws std::runtime_error when it cannot listen.
    explicit HttpTestServer(const std::vector<Answer>& answers);
    explicit HttpTestServer(const Answer& answer) : HttpTestServer(std::vector<Answer>{answer}) {}
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::string PortText() const { return std::to_string(mPort); }
    // Request index up to the "\r\n\r\n" that ends its header (all it got when
    // the client stopped earlier), once answered; empty when it did not come.
    std::string Request(size_t index = 0) const;
    // Whether every scripted connection has ended.
    bool WaitFinished() const;
    // A port of 127.0.0.1 on which nobody listens: bound, then released.
    static unsigned short UnusedPort();

private:
    void Serve();
    void ServeConnection(int fd, const Answer& answer);

    std::vector<Answer> mAnswers;
    unsigned short mPort = 0;
    int mListenFd;
    int mConnectionFd = -1;   // the one being served, shut down by the destructor
    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<std::string> mRequests;
    bool mFinished = false;
    bool mStopping = false;
    std::thread mThread;
};

}  // namespace testing_support

#endif
