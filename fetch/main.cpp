// Entry point of autoprovision-fetch: one configuration download, run by hand.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fetch/fetch_tool.h"

namespace {

void WriteText(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        done += static_cast<size_t>(put);
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    std::string out;
    std::string err;
    const int status = RunFetch(argc, argv, out, err);
    WriteText(STDERR_FILENO, err);
    WriteText(STDOUT_FILENO, out);
    return status;
}
