// Entry point of autoprovision-fetch: one configuration download, run by hand.
#include <unistd.h>

#include <string>

#include "fetch/fetch_tool.h"
#include "utility/utility.h"

int main(int argc, char* argv[])
{
    std::string out;
    std::string err;
    const int status = RunFetch(argc, argv, out, err);
    PlatformDetail::WriteAll(STDERR_FILENO, err.data(), err.size());
    PlatformDetail::WriteAll(STDOUT_FILENO, out.data(), out.size());
    return status;
}
