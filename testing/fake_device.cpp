#include "testing/fake_device.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace testing_support {

void UseTemporaryQueueDirectory()
{
    // Kept for the life of the process and removed at its exit, by the process
    // that made it only: a forked child that exits leaves it to its parent.
    static TempDir* directory = nullptr;
    static pid_t owner = 0;
    if (directory == nullptr) {
        directory = new TempDir();
        owner = getpid();
        chmod(directory->Path().c_str(), 0711);   // another user may pass to a queue opened to it
        Messaging::SetQueueDirectory(directory->File("msgq"));
        atexit([] {
            if (getpid() == owner)
                delete directory;
        });
    }
}

FakeDeviceFiles::FakeDeviceFiles(const std::string& lineNumberOutput, const std::string& versionFile)
{
    std::string script = mDir.File("cat");
    WriteFile(mDir.File("fxs-number"), lineNumberOutput);
    // Only the device's own path gives the line number, so a wrong path shows.
    WriteFile(script, "#!/bin/sh\n[ \"$#\" = 1 ] && [ \"$1\" = /proc/vexa/fxs-number ] || exit 1\n"
                      "exec /bin/cat " + mDir.File("fxs-number") + "\n");
    chmod(script.c_str(), 0755);
    WriteFile(mDir.File("version.txt"), versionFile);
    const char* path = getenv("PATH");
    mOldPath = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (mDir.Path() + ":" + mOldPath).c_str(), 1);
    mRedirect.reset(new Configuration::ScopedPathRedirect("/etc/version.txt", mDir.File("version.txt")));
}

FakeDeviceFiles::~FakeDeviceFiles()
{
    setenv("PATH", mOldPath.c_str(), 1);
}

bool WaitForMessage(CyclicMessageQueue& queue, Messaging::Message& message, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (pollfd entry = {queue.GetFD(), POLLIN, 0}; !queue.ReceiveMessage(message);) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        poll(&entry, 1, static_cast<int>(left.count()));
    }
    return true;
}

}  // namespace testing_support
