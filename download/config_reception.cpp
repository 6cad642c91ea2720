// Reading the server's answer and storing the XML configuration cut out of it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"

namespace {

using PlatformDetail::RetryOnInterrupt;

const size_t RECEIVE_BUFFER_SIZE = 1024;
// First capacity of the answer; it then grows eightfold, so that a large answer
// is copied at most a few times and touches little more memory than its size.
const size_t INITIAL_RESPONSE_CAPACITY = 64 * 1024;
const size_t RESPONSE_GROWTH = 8;
const uintptr_t HUGE_PAGE_SIZE = 2u << 20;

// Asks for transparent huge pages on the 2 MiB blocks of the answer's storage:
// one page fault then maps 2 MiB instead of 4 KiB. Kernels without them refuse
// the advice, which changes nothing.
void AdviseHugePages(std::string& response)
{
    const uintptr_t data = reinterpret_cast<uintptr_t>(&response[0]);
    const uintptr_t begin = (data + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1);
    const uintptr_t end = (data + response.capacity()) & ~(HUGE_PAGE_SIZE - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void AppendChunk(std::string& response, const char* data, size_t length)
{
    const size_t needed = response.size() + length;
    if (needed > response.capacity()) {
        size_t grown = std::max(INITIAL_RESPONSE_CAPACITY, response.capacity() * RESPONSE_GROWTH);
        grown = std::min(std::max(grown, needed), response.max_size());
        response.reserve(grown);
        AdviseHugePages(response);
    }
    response.append(data, length);
}

bool IsBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// Writes all length bytes; false on the first error.
bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = RetryOnInterrupt([&] { return write(fd, data, length); });
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

std::string AutoProvisionClient::ConfigDirectory() const
{
    return AutoProvision::_CONFIG_DIRECTORY_;
}

bool AutoProvisionClient::ReceiveConfiguration(BsdSocket& socket, std::string& response)
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
        AppendChunk(response, buffer, length);
        received = true;
    }

    socket.Disconnect();
    return received;
}

// Cuts the document out of the answer by positions instead of trimmed copies:
// blanks and tabs off both ends of the whole answer, then the header up to the
// "\n\r\n" that ends it, then CR and LF off both ends, then up to "<?xml".
void AutoProvisionClient::SerializeConfig(const std::string& response)
{
    size_t begin = 0;
    size_t end = response.size();
    while (begin < end && IsBlankOrTab(response[begin]))
        ++begin;
    while (end > begin && IsBlankOrTab(response[end - 1]))
        --end;

    static const char HEADER_END[] = "\n\r\n";
    const size_t headerEnd = response.find(HEADER_END, begin);
    if (headerEnd != std::string::npos && headerEnd + sizeof(HEADER_END) - 1 <= end)
        begin = headerEnd;

    while (begin < end && IsLineEnd(response[begin]))
        ++begin;
    while (end > begin && IsLineEnd(response[end - 1]))
        --end;

    static const char XML_START[] = "<?xml";
    const size_t document = response.find(XML_START, begin);
    if (document == std::string::npos || document + sizeof(XML_START) - 1 > end)
        return;
    begin = document;

    const std::string path = ConfigDirectory() + AutoProvision::_CONFIG_FILE_PREFIX_ +
                             mMACAddress.Get() + ".cfg";
    mConfigFilePath.Set(path);

    const int fd = RetryOnInterrupt(
        [&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664); });
    if (fd < 0)
        return;
    // Write errors after opening go unreported, like a stream's would.
    if (WriteAll(fd, response.data() + begin, end - begin))
        WriteAll(fd, "\n", 1);
    close(fd);
}
