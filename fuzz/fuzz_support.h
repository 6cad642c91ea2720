// Shared pieces of the fuzz targets: a client whose queue and stored file live
// in private temporary directories, removed when the fuzzer exits.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/auto_provision_client.h"
#include "messaging/messaging.h"

namespace fuzz_support {

// A fresh directory under /dev/shm (in memory: files are written at every
// run), else under /tmp, removed (empty) when the object goes; aborts when
// none can be made.
struct TempDir {
    explicit TempDir(const char* name)
        : path(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + name + ".XXXXXX")
    {
        if (mkdtemp(&path[0]) == nullptr)
            abort();
    }
    ~TempDir() { rmdir(path.c_str()); }
    std::string path;
};

// A client whose stored file goes into the directory it is given.
struct FuzzClient : AutoProvisionClient {
    explicit FuzzClient(const std::string& directory) : mDirectory(directory + "/") {}
    using AutoProvisionClient::mConfigFilePath;
    using AutoProvisionClient::mMACAddress;
    std::string ConfigDirectory() const override { return mDirectory; }
    const std::string mDirectory;
};

// The one client of the process, made on first use. Its queue 126 is bound
// in a private queue directory, so that a running daemon is not disturbed.
inline FuzzClient& Client()
{
    struct Fixture {
        TempDir queues{"apc-fuzz-queues"};
        TempDir files{"apc-fuzz-files"};
        std::unique_ptr<FuzzClient> client;  // goes before the directories
        Fixture()
        {
            Messaging::SetQueueDirectory(queues.path);
            client.reset(new FuzzClient(files.path));
            client->mMACAddress.Set("00a0b1c2d3e4");
        }
    };
    static Fixture fixture;
    return *fixture.client;
}

}  // namespace fuzz_support

#endif
