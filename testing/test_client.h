// A provisioning client for the download tests: it keeps its queue in the
// tests' temporary directory, stores its file where the test says and opens
// its state to the test. Header only, so that the testing library itself
// need not link the client.
#ifndef TESTING_TEST_CLIENT_H
#define TESTING_TEST_CLIENT_H

#include <string>
#include <utility>
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
    using AutoProvisionClient::mSubscribeRequested;
    using AutoProvisionClient::mSubscriptionID;
    using AutoProvisionClient::mUserAgent;
    void SetDirectory(const std::string& directory) { mDirectory = directory; }

protected:
    std::string ConfigDirectory() const override { return mDirectory; }

private:
    std::string mDirectory;
};

// Trace lines as (level, text without its time stamp).
using Trace = std::pair<int, std::string>;
using Traces = std::vector<Trace>;

inline Traces TraceLines(const LogCapture& capture)
{
    Traces traces;
    for (TraceLine line : capture.Lines()) {
        EXPECT_TRUE(StripTimeStamp(line.text)) << line.text;
        traces.emplace_back(line.level, line.text);
    }
    return traces;
}

}  // namespace testing_support

#endif
