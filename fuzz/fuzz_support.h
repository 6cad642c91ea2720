// Shared pieces of the fuzz targets: a client whose queue and stored file live
// in private temporary directories, removed when the fuzzer exits.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/auto_provision_client.h"
#include "messaging/messaging.h"

namespace fuzz_support {

// A fresh directory, in memory under /dev/shm when there is one (files are
// written at every run), else under /tmp; aborts when none can be made.
inline std::string MakeTempDir(const char* name)
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    std::string pattern = std::string(base) + name + ".XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        abort();
    return pattern;
}

class FuzzClient : public AutoProvisionClient {
public:
    explicit FuzzClient(const std::string& directory) : mDirectory(directory + "/") {}
    using AutoProvisionClient::mConfigFilePath;
    using AutoProvisionClient::mMACAddress;

protected:
    std::string ConfigDirectory() const override { return mDirectory; }

private:
    std::string mDirectory;
};

// Makes a fresh queue directory the process's queues are bound in.
inline std::string UsePrivateQueueDirectory()
{
    const std::string directory = MakeTempDir("apc-fuzz-queues");
    Messaging::SetQueueDirectory(directory);
    return directory;
}

// The one client of the process. Its queue 126 is bound in a private queue
// directory so that a running daemon is not disturbed.
class ClientFixture {
public:
    ClientFixture()
        : mQueues(UsePrivateQueueDirectory()),
          mFiles(MakeTempDir("apc-fuzz-files")),
          mpClient(new FuzzClient(mFiles))
    {
        mpClient->mMACAddress.Set("00a0b1c2d3e4");
    }
    ~ClientFixture()
    {
        delete mpClient;
        rmdir(mQueues.c_str());
        rmdir(mFiles.c_str());
    }
    ClientFixture(const ClientFixture&) = delete;
    ClientFixture& operator=(const ClientFixture&) = delete;

    FuzzClient& Client() { return *mpClient; }

private:
    std::string mQueues;
    std::string mFiles;
    FuzzClient* mpClient;
};

// Created on first use, destroyed at exit.
inline ClientFixture& Fixture()
{
    static ClientFixture fixture;
    return fixture;
}

}  // namespace fuzz_support

#endif
