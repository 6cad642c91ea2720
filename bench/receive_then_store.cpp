// apc-receive-then-store: the least work a download can do when it stores
// only after the connection has ended, as the daemon does. The download
// sweep runs it beside the fetch tool as the floor of that order: one GET,
// the whole answer received 64 KiB at a time straight into one huge-page
// mapping, then the file emptied and the body written after the header.
// No receive buffer of the daemon's size, no trims, no trace line, no checks,
// and nothing linked beyond the C library, whose start-up is all it adds.
//
// Usage: apc-receive-then-store http://A.B.C.D:PORT/PATH FILE
// Exit status 0 when a body was stored, 1 otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utility/utility.h"

namespace {

// Address space for the answer; pages are taken only as bytes arrive.
const size_t ANSWER_SPACE = size_t(1) << 30;
const size_t CHUNK = 64 * 1024;

bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    char host[64];
    unsigned port = 0;
    int pathStart = 0;
    if (argc != 3 || sscanf(argv[1], "http://%63[0-9.]:%u%n", host, &port, &pathStart) != 2 || port > 65535) {
        fprintf(stderr, "usage: apc-receive-then-store http://A.B.C.D:PORT/PATH FILE\n");
        return 1;
    }
    const char* path = argv[1][pathStart] == '/' ? argv[1] + pathStart : "/";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || inet_pton(AF_INET, host, &address.sin_addr) != 1)
        return 1;
    // The receive buffer the daemon's socket asks for.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &BsdSocket::RECEIVE_WINDOW_BYTES, sizeof BsdSocket::RECEIVE_WINDOW_BYTES);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return 1;
    char request[512];
    const int length = snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: %s:%u\r\n\r\n", path, host, port);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof request || !WriteAll(fd, request, length))
        return 1;

    char* answer = static_cast<char*>(
        mmap(nullptr, ANSWER_SPACE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    if (answer == MAP_FAILED)
        return 1;
    madvise(answer, ANSWER_SPACE, MADV_HUGEPAGE);
    size_t size = 0;
    for (;;) {
        if (size + CHUNK > ANSWER_SPACE)
            return 1;
        const ssize_t count = recv(fd, answer + size, CHUNK, 0);
        if (count <= 0)
            break;
        size += static_cast<size_t>(count);
    }
    close(fd);

    const char* body = static_cast<const char*>(memmem(answer, size, "\r\n\r\n", 4));
    if (body == nullptr)
        return 1;
    body += 4;
    const int file = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (file < 0)
        return 1;
    const bool stored = WriteAll(file, body, static_cast<size_t>(answer + size - body));
    return close(file) == 0 && stored ? 0 : 1;
}
