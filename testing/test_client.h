// A provisioning client for the client's tests: it keeps its queue in the
// tests' temporary directory, stores its file where the test says and opens
// its state to the test. Header only, so that the testing library itself
// need not link the client.
#ifndef TESTING_TEST_CLIENT_H
#define TESTING_TEST_CLIENT_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/auto_provision_client.h"
#include "testing/fake_device.h"
#include "testing/test_support.h"

namespace testing_support {

// A base that runs first, before the client's own base opens its queue.
struct QueueDirectoryFirst {
    QueueDirectoryFirst() { UseTemporaryQueueDirectory(); }
};

class TestClient : private QueueDirectoryFirst, public AutoProvisionClient {
public:
    explicit TestClient(const std::string& directory = "") : mDirectory(directory) {}
    using AutoProvisionClient::mConfigFilePath;
    using AutoProvisionClient::mMACAddress;
    using AutoProvisionClient::mMulticastMsgSent;
    using AutoProvisionClient::mpConfigurator;
    using AutoProvisionClient::mpMessenger;
    using AutoProvisionClient::mpPoller;
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mSubscriptionID;
    using AutoProvisionClient::mThreadID;
    using AutoProvisionClient::mUserAgent;

protected:
    // Empty: the device's own directory.
    std::string ConfigDirectory() const override
    {
        return mDirectory.empty() ? AutoProvisionClient::ConfigDirectory() : mDirectory;
    }

private:
    std::string mDirectory;
};

using Lines = std::vector<std::string>;

// Each captured trace line as "<level>T <text>", T standing for a time stamp
// that was there and is now stripped, or as "<level> <text>" without one.
inline Lines Leveled(const LogCapture& capture)
{
    Lines lines;
    for (TraceLine line : capture.Lines()) {
        const char* stamp = StripTimeStamp(line.text) ? "T " : " ";
        lines.push_back(std::to_string(line.level) + stamp + line.text);
    }
    return lines;
}

}  // namespace testing_support

#endif
