// Serving files over HTTP/1.1 for the provisioning server.
#include "pnp_server/http_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace Pnp {

namespace {

const size_t MAX_REQUEST_HEADER = 8192;
const size_t READ_CHUNK = 4096;
// A connection is taken once its request has come (or after this long).
const int DEFER_ACCEPT_S = 2;

// The close at the end of a linger is not urgent: it falls on the next
// quarter second, so that the closes of a busy second take a few rounds of
// the loop instead of one each.
Clock::time_point LingerEnd(Clock::time_point earliest)
{
    const auto quarter = std::chrono::milliseconds(250);
    const auto since = earliest.time_since_epoch();
    return Clock::time_point(since + (quarter - since % quarter) % quarter);
}

// LINGERING: our answer and our FIN are out; the connection is closed when
// lingerMs have passed, not when the client's FIN comes, which spares a
// round of the loop per download (a rack's thousand downloads come close
// together, and their closes then take one round). By then the client has
// read the answer, so the close cannot become a reset that loses it, even
// if the client sent more than we read.
enum class State { READING, WRITING, LINGERING };

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCopy(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// End of the request header (index just after the blank line); npos if not yet.
size_t HeaderEnd(const std::string& input)
{
    size_t crlf = input.find("\r\n\r\n");
    size_t lf = input.find("\n\n");
    size_t end = std::string::npos;
    if (crlf != std::string::npos)
        end = crlf + 4;
    if (lf != std::string::npos && lf + 2 < end)
        end = lf + 2;
    return end;
}

const char* StatusText(int code)
{
    switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

std::string ContentTypeOf(const std::string& path)
{
    size_t dot = path.find_last_of('.');
    std::string extension = dot == std::string::npos ? std::string() : LowerCopy(path.substr(dot + 1));
    if (extension == "xml")
        return "text/xml";
    if (extension == "cfg" || extension == "txt")
        return "text/plain";
    return "application/octet-stream";
}

// The parts of a request line and header the server acts on.
struct Request {
    std::string method;
    std::string target;
    std::string version;
    bool connectionClose = false;
    bool connectionKeepAlive = false;
    bool hasBody = false;
};

bool ParseRequest(const std::string& header, Request& request)
{
    size_t lineEnd = header.find('\n');
    std::string line = Trim(header.substr(0, lineEnd));
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos)
        return false;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    request.version = line.substr(second + 1);
    if (request.method.empty() || request.target.empty() || request.version.compare(0, 5, "HTTP/") != 0)
        return false;
    size_t start = lineEnd + 1;
    while (start < header.size()) {
        size_t end = header.find('\n', start);
        if (end == std::string::npos)
            end = header.size();
        std::string field = header.substr(start, end - start);
        start = end + 1;
        size_t colon = field.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = LowerCopy(Trim(field.substr(0, colon)));
        std::string value = LowerCopy(Trim(field.substr(colon + 1)));
        if (name == "connection") {
            request.connectionClose = request.connectionClose || value.find("close") != std::string::npos;
            request.connectionKeepAlive = request.connectionKeepAlive || value.find("keep-alive") != std::string::npos;
        } else if ((name == "content-length" && value != "0") || name == "transfer-encoding") {
            request.hasBody = true;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- DocumentRoot

bool DocumentRoot::DecodePath(const std::string& target, std::string& path)
{
    std::string raw = target.substr(0, target.find_first_of("?#"));
    if (raw.empty() || raw[0] != '/')
        return false;
    std::string decoded;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            decoded += raw[i];
            continue;
        }
        if (i + 2 >= raw.size() || HexValue(raw[i + 1]) < 0 || HexValue(raw[i + 2]) < 0)
            return false;
        decoded += static_cast<char>(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]));
        i += 2;
    }
    if (decoded.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos)
            end = decoded.size();
        if (decoded.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    path = decoded;
    return true;
}

DocumentRoot::Result DocumentRoot::Load(const std::string& target, size_t maxSize, std::string& content) const
{
    std::string path;
    if (!DecodePath(target, path))
        return BAD_TARGET;
    // O_NONBLOCK: opening a FIFO must not stall the server; it is refused
    // below. O_NOFOLLOW: a symbolic link as the file itself is refused too.
    FileDescriptor fd(open((mDirectory + path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    struct stat info;
    if (!fd.Valid() || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<unsigned long long>(info.st_size) > maxSize)
        return NOT_FOUND;
    // As long as fstat said: one read, unless the file shrinks meanwhile.
    std::string data(static_cast<size_t>(info.st_size), '\0');
    size_t length = 0;
    while (length < data.size()) {
        ssize_t got = RetryOnInterrupt([&] { return read(fd.Get(), &data[length], data.size() - length); });
        if (got < 0)
            return NOT_FOUND;
        if (got == 0)
            break;
        length += static_cast<size_t>(got);
    }
    data.resize(length);
    content.swap(data);
    return FOUND;
}

// ---------------------------------------------------------------- HttpServer

struct HttpServer::Connection {
    FileDescriptor fd;
    std::string peer;
    uint32_t peerAddress = 0;
    State state = State::READING;
    std::string input;
    std::string output;
    size_t written = 0;
    bool closeAfterAnswer = false;
    bool closed = false;
    unsigned answers = 0;
    Clock::time_point deadline;
};

HttpServer::HttpServer(const HttpOptions& options, EventLog& log, FleetStatus& status)
    : mOptions(options), mLog(log), mStatus(status), mRoot(options.rootDirectory), mPort(0),
      mOutOfDescriptors(false)
{
}

HttpServer::~HttpServer()
{
}

bool HttpServer::Open(std::string& error)
{
    Ipv4Endpoint local;
    if (!Ipv4Endpoint::Parse(mOptions.address, mOptions.port, local)) {
        error = "bad HTTP address " + mOptions.address;
        return false;
    }
    FileDescriptor fd = BoundSocket(SOCK_STREAM, local, false);
    if (!fd.Valid() || listen(fd.Get(), mOptions.backlog) != 0) {
        error = "cannot listen on HTTP " + local.ToString() + ": " + std::strerror(errno);
        return false;
    }
    mPort = BoundPort(fd.Get());
    // The request comes with the connection: accepting, reading and answering
    // take one round of the loop instead of two.
    int defer = DEFER_ACCEPT_S;
    setsockopt(fd.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof(defer));
    mListener = std::move(fd);
    mLog.Line("HTTP serving " + mOptions.rootDirectory + " on " + mOptions.address + ":" + std::to_string(mPort) +
              (mOptions.keepAlive ? " (keep-alive)" : " (close after each answer)"));
    return true;
}

void HttpServer::AppendPollFds(std::vector<pollfd>& fds) const
{
    pollfd entry;
    entry.fd = mConnections.size() < mOptions.maxConnections && !mOutOfDescriptors ? mListener.Get() : -1;
    entry.events = POLLIN;
    entry.revents = 0;
    fds.push_back(entry);
    for (const auto& connection : mConnections) {
        // A negative descriptor keeps the entry's place and is not polled.
        entry.fd = connection->state == State::LINGERING ? -1 : connection->fd.Get();
        entry.events = connection->state == State::WRITING ? POLLOUT : POLLIN;
        fds.push_back(entry);
    }
}

void HttpServer::HandlePollFds(const pollfd* fds, size_t count, Clock::time_point now)
{
    // Connections accepted below come after the entries polled.
    size_t polled = std::min(count > 0 ? count - 1 : 0, mConnections.size());
    for (size_t i = 0; i < polled; ++i) {
        if (fds[i + 1].revents != 0 && !mConnections[i]->closed)
            HandleConnection(*mConnections[i], fds[i + 1].revents, now);
    }
    if (count > 0 && (fds[0].revents & POLLIN) != 0)
        Accept(now);
    mConnections.erase(std::remove_if(mConnections.begin(), mConnections.end(),
                                      [](const std::unique_ptr<Connection>& c) { return c->closed; }),
                       mConnections.end());
}

void HttpServer::ExpireConnections(Clock::time_point now)
{
    for (auto& connection : mConnections) {
        if (connection->closed || connection->deadline > now)
            continue;
        if (connection->state == State::LINGERING)
            Close(*connection, "after its answer");
        else
            Close(*connection, connection->state == State::READING && connection->input.empty() ? "idle"
                                                                                                : "timed out");
    }
    mConnections.erase(std::remove_if(mConnections.begin(), mConnections.end(),
                                      [](const std::unique_ptr<Connection>& c) { return c->closed; }),
                       mConnections.end());
}

Clock::time_point HttpServer::NextDeadline() const
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto& connection : mConnections)
        next = std::min(next, connection->deadline);
    return next;
}

void HttpServer::Accept(Clock::time_point now)
{
    // A bounded batch per wake-up, so that the SIP side gets its turn.
    for (int i = 0; i < 32 && mConnections.size() < mOptions.maxConnections; ++i) {
        sockaddr_in address;
        socklen_t length = sizeof(address);
        int fd = RetryOnInterrupt([&] {
            return accept4(mListener.Get(), reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
        });
        if (fd < 0) {
            // Without a descriptor to spare the listener would stay readable, and the loop would spin.
            if (errno == EMFILE || errno == ENFILE) {
                mOutOfDescriptors = true;
                mLog.Line("HTTP out of descriptors: accepting again once a connection is closed");
            }
            return;
        }
        std::unique_ptr<Connection> connection(new Connection);
        connection->fd.Reset(fd);
        connection->peer = Ipv4Endpoint::FromSockaddr(address).ToString();
        connection->peerAddress = address.sin_addr.s_addr;
        connection->deadline = now + std::chrono::milliseconds(mOptions.requestTimeoutMs);
        mLog.Line("HTTP connection from " + connection->peer);
        mConnections.push_back(std::move(connection));
        ReadInput(*mConnections.back(), now);
    }
}

void HttpServer::HandleConnection(Connection& connection, short revents, Clock::time_point now)
{
    if (connection.state == State::WRITING) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0)
            WriteOutput(connection, now);
        return;
    }
    if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0)
        ReadInput(connection, now);
}

void HttpServer::ReadInput(Connection& connection, Clock::time_point now)
{
    char buffer[READ_CHUNK];
    ssize_t got = RetryOnInterrupt([&] { return recv(connection.fd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT); });
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) {
        Close(connection, got == 0 ? "by the client" : "on an error");
        return;
    }
    if (connection.state == State::LINGERING)
        return;   // our answer is out; whatever else comes is dropped
    connection.input.append(buffer, static_cast<size_t>(got));
    if (connection.input.size() == static_cast<size_t>(got))
        connection.deadline = now + std::chrono::milliseconds(mOptions.requestTimeoutMs);
    TakeRequest(connection, now);
}

void HttpServer::TakeRequest(Connection& connection, Clock::time_point now)
{
    size_t end = HeaderEnd(connection.input);
    if (end == std::string::npos || end > MAX_REQUEST_HEADER) {
        if (connection.input.size() > MAX_REQUEST_HEADER) {
            mLog.Message("HTTP oversized request from " + connection.peer + " (first " +
                             std::to_string(MAX_REQUEST_HEADER) + " bytes):",
                         connection.input.data(), MAX_REQUEST_HEADER);
            connection.input.clear();
            connection.closeAfterAnswer = true;
            Answer(connection, 431, "text/plain", "request header too large\n", "oversized header");
            WriteOutput(connection, now);
        }
        return;
    }
    std::string header = connection.input.substr(0, end);
    connection.input.erase(0, end);
    mLog.Message("HTTP request from " + connection.peer + " (" + std::to_string(header.size()) + " bytes):",
                 header.data(), header.size());

    Request request;
    if (!ParseRequest(header, request)) {
        connection.closeAfterAnswer = true;
        Answer(connection, 400, "text/plain", "bad request\n", "malformed request");
    } else if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0") {
        connection.closeAfterAnswer = true;
        Answer(connection, 505, "text/plain", "HTTP/1.1 only\n", request.version);
    } else {
        // A request body is not expected and not read, so the connection
        // cannot be reused after one.
        bool keep = mOptions.keepAlive && !request.connectionClose && !request.hasBody &&
                    (request.version == "HTTP/1.1" || request.connectionKeepAlive);
        connection.closeAfterAnswer = !keep;
        if (request.method != "GET")
            Answer(connection, 405, "text/plain", "GET only\n", request.method + " " + request.target);
        else
            AnswerGet(connection, request.target);
    }
    WriteOutput(connection, now);
}

void HttpServer::AnswerGet(Connection& connection, const std::string& target)
{
    const std::string path = target.substr(0, target.find_first_of("?#"));
    if (mStatus.Enabled() && path == "/status") {
        Answer(connection, 200, "text/html; charset=utf-8", mStatus.Html(), target);
        return;
    }
    if (mStatus.Enabled() && path == "/status.json") {
        Answer(connection, 200, "application/json", mStatus.Json(), target);
        return;
    }
    std::string content;
    DocumentRoot::Result found = mRoot.Load(target, mOptions.maxFileSize, content);
    // The type follows the decoded name: "/a%2Exml" is an XML file too.
    std::string decoded;
    if (found == DocumentRoot::FOUND && DocumentRoot::DecodePath(target, decoded)) {
        Answer(connection, 200, ContentTypeOf(decoded), content, target);
        mStatus.OnDocument(connection.peerAddress, target, 200, content.size());
    } else {
        Answer(connection, 404, "text/plain", "not found\n",
               target + (found == DocumentRoot::BAD_TARGET ? " (refused target)" : ""));
        mStatus.OnDocument(connection.peerAddress, target, 404, 0);
    }
}

void HttpServer::Answer(Connection& connection, int code, const std::string& contentType, const std::string& body,
                        const std::string& what)
{
    std::string head = "HTTP/1.1 " + std::to_string(code) + " " + StatusText(code) + "\r\n";
    head += "Server: pnp-server\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (contentType.compare(0, 9, "text/html") == 0 || contentType == "application/json")
        head += "Cache-Control: no-store\r\n";
    if (code == 405)
        head += "Allow: GET\r\n";
    head += connection.closeAfterAnswer ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";
    connection.output = head + body;
    connection.written = 0;
    connection.state = State::WRITING;
    mLog.Line("HTTP answer to " + connection.peer + ": " + std::to_string(code) + " " + StatusText(code) + " " +
              what + " (" + std::to_string(body.size()) + " bytes)");
}

void HttpServer::WriteOutput(Connection& connection, Clock::time_point now)
{
    // MSG_MORE before our half-close: the answer's last segment waits for
    // the FIN and carries it, one packet (and one wake-up of the client) less.
    const int more = connection.closeAfterAnswer ? MSG_MORE : 0;
    while (connection.written < connection.output.size()) {
        ssize_t sent = RetryOnInterrupt([&] {
            return send(connection.fd.Get(), connection.output.data() + connection.written,
                        connection.output.size() - connection.written, MSG_DONTWAIT | MSG_NOSIGNAL | more);
        });
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;   // poll() says when to go on
        if (sent <= 0) {
            Close(connection, "on a write error");
            return;
        }
        connection.written += static_cast<size_t>(sent);
        connection.deadline = now + std::chrono::milliseconds(mOptions.requestTimeoutMs);
    }
    connection.output.clear();
    connection.written = 0;
    ++connection.answers;
    if (connection.closeAfterAnswer) {
        shutdown(connection.fd.Get(), SHUT_WR);
        connection.state = State::LINGERING;
        connection.input.clear();
        connection.deadline = LingerEnd(now + std::chrono::milliseconds(mOptions.lingerMs));
        return;
    }
    connection.state = State::READING;
    connection.deadline = now + std::chrono::milliseconds(mOptions.keepAliveIdleMs);
    if (!connection.input.empty())
        TakeRequest(connection, now);   // a pipelined request
}

void HttpServer::Close(Connection& connection, const char* why)
{
    if (connection.closed)
        return;
    connection.closed = true;
    connection.fd.Reset();
    mOutOfDescriptors = false;
    mLog.Line("HTTP connection from " + connection.peer + " closed " + why + " after " +
              std::to_string(connection.answers) + " answer(s)");
}

}  // namespace Pnp
