// The provisioning server's HTTP/1.1 side: serves the files of one directory
// to GET requests, from one poll() loop, with bounded connections and buffers.
#ifndef PNP_SERVER_HTTP_SERVER_H
#define PNP_SERVER_HTTP_SERVER_H

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pnp_server/event_log.h"
#include "pnp_server/fleet_status.h"
#include "pnp_server/net_util.h"

namespace Pnp {

struct HttpOptions {
    std::string rootDirectory = ".";
    std::string address = "0.0.0.0";
    uint16_t port = 8080;             // 0: any free port
    bool keepAlive = false;           // keep connections open after an answer
    int keepAliveIdleMs = 30000;      // idle time after which a kept connection is closed
    int requestTimeoutMs = 10000;     // longest time for a request to come in or an answer to go out
    int lingerMs = 2000;              // a closing connection is kept this long after our answer
    size_t maxConnections = 4096;     // beyond them connections wait in the accept queue
    int backlog = 4096;               // the accept queue; the kernel caps it at net.core.somaxconn
    size_t maxFileSize = 16 * 1024 * 1024;
};

// The files under one directory, as seen through request targets.
class DocumentRoot {
public:
    enum Result { FOUND, NOT_FOUND, BAD_TARGET };

    explicit DocumentRoot(const std::string& directory) : mDirectory(directory) {}

    // Loads the regular file named by target ("/cfg/a.xml?x" -> DIR/cfg/a.xml).
    // Targets with a ".." segment, NUL bytes or bad escapes are never looked
    // up; anything but a regular file (not a symbolic link) of at most maxSize
    // bytes is NOT_FOUND.
    Result Load(const std::string& target, size_t maxSize, std::string& content) const;

    // The decoded path of a target, without query or fragment. False when
    // it does not start with '/', has a bad %-escape, a NUL or a ".." segment.
    static bool DecodePath(const std::string& target, std::string& path);

private:
    std::string mDirectory;
};

class HttpServer {
public:
    // status: served at /status and /status.json when enabled, and told of
    // each document served; must outlive the server.
    HttpServer(const HttpOptions& options, EventLog& log, FleetStatus& status);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the configured address and port. False with a message.
    bool Open(std::string& error);
    uint16_t Port() const { return mPort; }

    // The listener first, then one entry per connection.
    void AppendPollFds(std::vector<pollfd>& fds) const;
    // Acts on the entries AppendPollFds gave, after poll() filled them in.
    void HandlePollFds(const pollfd* fds, size_t count, Clock::time_point now);
    // Closes connections whose time is up.
    void ExpireConnections(Clock::time_point now);
    // The earliest deadline of a connection; Clock::time_point::max() for none.
    Clock::time_point NextDeadline() const;

    size_t ConnectionCount() const { return mConnections.size(); }

private:
    struct Connection;

    void Accept(Clock::time_point now);
    void HandleConnection(Connection& connection, short revents, Clock::time_point now);
    void ReadInput(Connection& connection, Clock::time_point now);
    void WriteOutput(Connection& connection, Clock::time_point now);
    void TakeRequest(Connection& connection, Clock::time_point now);
    // A GET: the status page when the path names it, else a file of the root.
    void AnswerGet(Connection& connection, const std::string& target);
    void Answer(Connection& connection, int code, const std::string& contentType, const std::string& body,
                const std::string& what);
    void Close(Connection& connection, const char* why);

    HttpOptions mOptions;
    EventLog& mLog;
    FleetStatus& mStatus;
    DocumentRoot mRoot;
    FileDescriptor mListener;
    uint16_t mPort;
    bool mOutOfDescriptors;           // accepting waits until a connection is closed
    std::vector<std::unique_ptr<Connection>> mConnections;
};

}  // namespace Pnp

#endif
