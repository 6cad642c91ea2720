// Reading the server's answer and storing the XML configuration cut out of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"
#include "utility/safe_file.h"
#include "configurator/xml_check.h"

namespace {

using PlatformDetail::RetryOnInterrupt;
using PlatformDetail::WriteAll;

const size_t RECEIVE_BUFFER_SIZE = 1024;

bool IsBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// Narrows [begin, end) of text past the characters that strip takes at both ends.
template <typename Text, typename Strip>
void StripEnds(const Text& text, size_t& begin, size_t& end, Strip strip)
{
    while (begin < end && strip(text[begin]))
        ++begin;
    while (end > begin && strip(text[end - 1]))
        --end;
}

// Says once per process in the system log that the configuration directory
// exists but is not one only root (or this process) can write to.
void ReportUntrustedDirectory(const std::string& directory)
{
    std::string name = directory;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    struct stat status;
    static std::atomic<bool> reported(false);
    if (lstat(name.c_str(), &status) != 0 || reported.exchange(true))
        return;
    // As the configurator's lines: no openlog, so the process's identity stays.
    syslog(LOG_USER | LOG_WARNING,
           "configuration directory %s is not trusted (a symlink, not root's, or open to other users): "
           "configuration not stored",
           directory.c_str());
}

}  // namespace

std::string AutoProvisionClient::ConfigDirectory() const
{
    return AutoProvision::_CONFIG_DIRECTORY_;
}

size_t AutoProvisionClient::StoredFileLimit() const
{
    return XmlCheck::MAX_DOCUMENT_BYTES;
}

bool AutoProvisionClient::ReceiveConfiguration(BsdSocket& socket, ResponseString& response)
{
    const int capacity = static_cast<int>(RECEIVE_BUFFER_SIZE) - 1;
    char buffer[RECEIVE_BUFFER_SIZE];
    memset(buffer, 0, sizeof(buffer));
    bool received = false;

    for (;;) {
        int count = socket.Receive(buffer, capacity, -1, 0);
        if (count == 0)
            continue;
        if (count < 0) {
            // One format text made of constants only: it never holds a '%'.
            logger.TRACE(0, true,
                         (count == BsdSocket::RECV_CLOSED || count == BsdSocket::RECV_RESET)
                             ? "AutoProvisionClient::Recieved failed(no connection)\n"
                         : count == BsdSocket::RECV_TIMEOUT
                             ? "AutoProvisionClient::Recieved failed(time expire)\n"
                             : "AutoProvisionClient::Recieved failed(");
            break;
        }
        count = std::min(count, capacity);
        buffer[count] = '\0';
        // Bytes after a NUL inside this chunk are dropped.
        const void* nul = memchr(buffer, '\0', static_cast<size_t>(count));
        const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - buffer)
                                             : static_cast<size_t>(count);
        response.append(buffer, length);
        received = true;
    }

    socket.Disconnect();
    return received;
}

// Cuts the document out of the answer by positions instead of trimmed copies:
// blanks and tabs off both ends of the whole answer, then the header up to the
// "\n\r\n" that ends it, then CR and LF off both ends, then up to "<?xml".
void AutoProvisionClient::SerializeConfig(const ResponseString& response)
{
    size_t begin = 0;
    size_t end = response.size();
    StripEnds(response, begin, end, IsBlankOrTab);

    static const char HEADER_END[] = "\n\r\n";
    const size_t headerEnd = response.find(HEADER_END, begin);
    if (headerEnd != std::string::npos && headerEnd + sizeof(HEADER_END) - 1 <= end)
        begin = headerEnd;

    StripEnds(response, begin, end, IsLineEnd);

    static const char XML_START[] = "<?xml";
    const size_t document = response.find(XML_START, begin);
    if (document == std::string::npos || document + sizeof(XML_START) - 1 > end)
        return;
    begin = document;

    const std::string directory = ConfigDirectory();
    const std::string path = directory + AutoProvision::_CONFIG_FILE_PREFIX_ + mMACAddress.Get() + ".cfg";
    mConfigFilePath.Set(path);

    // A directory another user could have prepared is taken as a missing one.
    if (!SafeFile::IsTrustedDirectory(directory.c_str())) {
        ReportUntrustedDirectory(directory);
        return;
    }
    // Read-write, never through a symlink, never blocking; a FIFO, device or
    // link planted at the path fails like a failed open. Truncated only once
    // it is known to be our own regular file.
    const int fd = SafeFile::OpenRegular(path.c_str(), O_RDWR | O_CREAT, 0664);
    if (fd < 0)
        return;
    // Write errors go unreported, like a stream's would. A write that fails,
    // or a document larger than the configurator takes, leaves the file empty
    // rather than a stump that could be applied.
    const size_t length = end - begin;
    const bool stored = RetryOnInterrupt([&] { return ftruncate(fd, 0); }) == 0 &&
                        length < StoredFileLimit() &&
                        WriteAll(fd, response.data() + begin, length) && WriteAll(fd, "\n", 1);
    if (!stored)
        RetryOnInterrupt([&] { return ftruncate(fd, 0); });
    close(fd);
}
