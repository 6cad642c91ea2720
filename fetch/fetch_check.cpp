#include "fetch/fetch_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "utility/utility.h"
#include "configurator/xml_check.h"

namespace {

const char RECEIVED_CLOSED[] = "AutoProvisionClient::Recieved failed(no connection)";
const char RECEIVED_TIMEOUT[] = "AutoProvisionClient::Recieved failed(time expire)";

// Keeps the trace texts of the check's download, without their time stamps.
class TraceCollector : public LogSink {
public:
    TraceCollector() : mScope(this) {}
    void Write(unsigned char /*level*/, const char* text, size_t length) override
    {
        std::string line(text, length);
        // "Www Mmm dd hh:mm:ss yyyy\t.mmm " in front of a stamped text.
        const size_t stamp = line.find("\t.");
        if (stamp != std::string::npos && stamp < 32 && line.size() > stamp + 5 && line[stamp + 5] == ' ')
            line.erase(0, stamp + 6);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.push_back(line);
    }
    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    bool Has(const char* text) const
    {
        for (const std::string& line : Lines()) {
            if (line == text)
                return true;
        }
        return false;
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
    ScopedLogSink mScope;
};

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool ReadFileBytes(const std::string& path, std::string& data)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t count;
    while ((count = PlatformDetail::RetryOnInterrupt([&] { return read(fd, buffer, sizeof(buffer)); })) > 0)
        data.append(buffer, static_cast<size_t>(count));
    close(fd);
    return count == 0;
}

std::string Seconds(long long ms)
{
    return std::to_string(ms / 1000) + (ms % 1000 != 0 ? "." + std::to_string(ms % 1000 / 100) : "") + " s";
}

// The label column of the check's lines.
std::ostream& Line(std::ostream& out, const char* label)
{
    std::string padded = std::string(label) + ":";
    padded.resize(10, ' ');
    return out << padded;
}

}  // namespace

AnswerHeader ReadAnswerHeader(const std::string& answer)
{
    AnswerHeader header;
    size_t end = answer.find("\r\n\r\n");
    size_t endLength = 4;
    const size_t bare = answer.find("\n\n");
    if (bare != std::string::npos && (end == std::string::npos || bare < end)) {
        end = bare;
        endLength = 2;
    }
    header.complete = end != std::string::npos;
    header.bytes = header.complete ? end + endLength : answer.size();
    const std::string text = answer.substr(0, header.complete ? end : answer.size());

    size_t position = 0;
    bool first = true;
    while (position <= text.size()) {
        size_t lineEnd = text.find('\n', position);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        std::string line = text.substr(position, lineEnd - position);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        position = lineEnd + 1;
        if (first) {
            first = false;
            header.statusLine = line;
            if (line.compare(0, 5, "HTTP/") == 0) {
                const size_t blank = line.find(' ');
                if (blank != std::string::npos)
                    header.statusCode = atoi(line.c_str() + blank + 1);
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trimmed(line.substr(0, colon)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "content-encoding") {
            header.contentEncoding = value;
        } else if (name == "transfer-encoding") {
            header.transferEncoding = value;
        } else if (name == "connection") {
            header.connection = value;
        } else if (name == "content-length") {
            char* valueEnd = nullptr;
            const long long length = strtoll(value.c_str(), &valueEnd, 10);
            header.hasContentLength = valueEnd != value.c_str() && *valueEnd == '\0' && length >= 0;
            header.contentLength = header.hasContentLength ? length : 0;
        }
    }
    return header;
}

int RunCheck(FetchClient& client, const std::string& url, std::ostream& out,
             const ConfigurationControl::ConfiguratorPaths& device)
{
    FetchResult result;
    std::vector<std::string> trace;
    bool closed = false;
    bool timedOut = false;
    {
        TraceCollector collector;
        result = client.Fetch(url);
        trace = collector.Lines();
        closed = collector.Has(RECEIVED_CLOSED);
        timedOut = collector.Has(RECEIVED_TIMEOUT);
    }
    const ConfigurationControl::RequestParams& params = client.Params();
    std::string agent = client.UserAgentLine();
    while (!agent.empty() && (agent.back() == '\n' || agent.back() == '\r'))
        agent.pop_back();

    Line(out, "url") << url << "\n";
    if (result == FETCH_INVALID_URL) {
        Line(out, "verdict") << "not a URL the device takes (it needs \"://\"): it downloads nothing\n";
        return CHECK_INVALID_URL;
    }
    Line(out, "request") << "GET /" << params.path << " HTTP/1.1, Host: " << params.host << ", " << agent
                         << ", Accept-Encoding: gzip, deflate, Connection: Keep-Alive (the device's own request)\n";
    for (const std::string& line : trace)
        Line(out, "trace") << line << "\n";
    if (!client.AnswerSeen()) {
        Line(out, "time") << client.ElapsedMs() << " ms\n";
        Line(out, "verdict") << "no answer (no connection, send failure or nothing received): the device "
                             << "stores nothing and keeps its configuration\n";
        return CHECK_REQUEST_FAILED;
    }

    const AnswerHeader header = ReadAnswerHeader(client.AnswerStart());
    const size_t body = client.AnswerBytes() - std::min(header.bytes, client.AnswerBytes());
    Line(out, "status") << (header.statusCode != 0 ? header.statusLine : "no HTTP status line") << "\n";
    Line(out, "answer") << client.AnswerBytes() << " bytes in " << client.ElapsedMs() << " ms (header "
                        << header.bytes << ", body " << body;
    if (header.hasContentLength)
        out << ", Content-Length " << header.contentLength;
    out << ")\n";
    if (header.hasContentLength && static_cast<long long>(body) < header.contentLength)
        Line(out, "warning") << "the body is shorter than its Content-Length: the answer was cut\n";

    const long long idleMs = BsdSocket::DEFAULT_RECV_TIMEOUT_MS;
    const bool keepAliveAnswer = Lower(header.connection) != "close";
    bool idleWait = false;
    if (closed) {
        Line(out, "ending") << "the server closed the connection after its answer: the download ends at once\n";
    } else if (timedOut && client.ElapsedMs() + 1000 >= BsdSocket::DOWNLOAD_DEADLINE_MS) {
        Line(out, "ending") << "the download was ended by the device's overall limit of "
                            << Seconds(BsdSocket::DOWNLOAD_DEADLINE_MS)
                            << ": anything sent later is lost\n";
    } else if (timedOut || (trace.empty() && keepAliveAnswer && client.ElapsedMs() >= idleMs)) {
        idleWait = true;
        Line(out, "ending") << "the server kept the connection open (keep-alive): the device takes the answer as "
                            << "complete only after " << Seconds(idleMs) << " without data, its idle time-out"
                            << (timedOut ? "" : " (inferred from the time: tracing is off)") << "\n";
    }

    const std::string encoding = Lower(header.contentEncoding);
    const bool compressed = !encoding.empty() && encoding != "identity";
    const bool chunked = Lower(header.transferEncoding).find("chunked") != std::string::npos;
    if (compressed)
        Line(out, "coding") << "Content-Encoding: " << header.contentEncoding << ": the device cannot read a "
                            << "compressed answer (it asks for gzip, deflate all the same); turn compression "
                            << "off for this path\n";
    if (chunked)
        Line(out, "chunked") << "Transfer-Encoding: " << header.transferEncoding << ": the device does not decode "
                             << "chunks, so the chunk-size lines end up inside the stored document; serve the "
                             << "file as a static file with Content-Length\n";

    std::string document;
    const bool stored = result == FETCH_STORED && ReadFileBytes(client.StoredPath(), document);
    XmlCheck::Verdict verdict = {false, 0, ""};
    std::string foreign;   // why the root element is not the device's, if it is not
    if (!stored) {
        Line(out, "document") << "none: the answer holds no \"<?xml\"; the device stores nothing and restarts its "
                              << "configurator on the file of an earlier download, if there is one\n";
    } else {
        Line(out, "document") << "found: " << document.size() << " bytes stored (from \"<?xml\" on, one line end "
                              << "added)\n";
        verdict = XmlCheck::CheckDocument(document.data(), document.size());
        const std::string root = document.substr(verdict.rootAt, verdict.rootLength);
        std::string from;
        const std::string expected = ConfigurationControl::ExpectedRootElement(device, &from);
        foreign = verdict.wellFormed ? ConfigurationControl::ForeignRoot(root, expected) : "";
        if (!verdict.wellFormed)
            Line(out, "check") << "the configurator refuses it: at byte " << verdict.offset << ": " << verdict.reason
                               << "\n";
        else if (!foreign.empty())
            Line(out, "check") << "the configurator refuses it: " << foreign << " (the root element of " << from
                               << ")\n";
        else if (!expected.empty())
            Line(out, "check") << "the configurator accepts it (root element <" << root << ">, as in " << from
                               << ")\n";
        else
            Line(out, "check") << "the configurator accepts it (root element <" << root.substr(0, 64)
                               << (root.size() > 64 ? "..." : "") << "> not compared: no " << device.factoryFile
                               << " or " << device.activeFile << " here; --factory FILE names the device's)\n";
    }

    const bool errorStatus = header.statusCode < 200 || header.statusCode > 299;
    if (compressed) {
        Line(out, "verdict") << "compressed answer: the device cannot use it\n";
        return CHECK_COMPRESSED;
    }
    if (chunked) {
        Line(out, "verdict") << "chunked answer: the stored document would hold the chunk-size lines\n";
        return CHECK_CHUNKED;
    }
    if (!stored) {
        Line(out, "verdict") << "no document: nothing new is applied\n";
        return CHECK_NO_DOCUMENT;
    }
    if (!verdict.wellFormed) {
        Line(out, "verdict") << "the configurator refuses the document (byte " << verdict.offset << ": "
                             << verdict.reason << ")\n";
        return CHECK_REFUSED;
    }
    if (!foreign.empty()) {
        Line(out, "verdict") << "the configurator refuses the document (" << foreign << ")\n";
        return CHECK_REFUSED;
    }
    if (errorStatus) {
        Line(out, "verdict") << "the device ignores the status \"" << header.statusLine
                             << "\" and applies this document all the same\n";
        return CHECK_ERROR_STATUS;
    }
    if (idleWait) {
        Line(out, "verdict") << "the device applies the document, after waiting " << Seconds(idleMs)
                             << " for the server to close; closing the connection saves that wait\n";
        return CHECK_IDLE_WAIT;
    }
    Line(out, "verdict") << "the device stores and applies this document\n";
    return CHECK_APPLIES;
}
