// A device for the client's tests: the FXS line-number command, the version
// file, the interface addresses, the configurator and the queue directory.
#ifndef TESTING_FAKE_DEVICE_H
#define TESTING_FAKE_DEVICE_H

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config_file/config_file.h"
#include "messaging/messaging.h"
#include "testing/test_support.h"

namespace testing_support {

// Points the messaging library at "msgq" (made by the library itself) in one
// temporary directory for the whole test process (queues outlive single
// tests only by accident).
void UseTemporaryQueueDirectory();

// The same as a test environment, for binaries that register one.
class TemporaryQueueDirectory : public ::testing::Environment {
public:
    void SetUp() override { UseTemporaryQueueDirectory(); }
};

// Makes "cat /proc/vexa/fxs-number" print lineNumberOutput (through a
// stand-in `cat` first on PATH) and "/etc/version.txt" read versionFile.
class FakeDeviceFiles {
public:
    FakeDeviceFiles(const std::string& lineNumberOutput, const std::string& versionFile);
    ~FakeDeviceFiles();

private:
    TempDir mDir;
    std::string mOldPath;
    std::unique_ptr<Configuration::ScopedPathRedirect> mRedirect;
};

// Waits up to timeoutMs for a message on queue; true with it.
bool WaitForMessage(CyclicMessageQueue& queue, Messaging::Message& message, int timeoutMs);

}  // namespace testing_support

#endif
