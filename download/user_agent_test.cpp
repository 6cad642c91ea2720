// The User-Agent line from the FXS line-number command and the version file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/auto_provision_client.h"
#include "platform/config_file.h"
#include "platform/messaging.h"
#include "testing/test_support.h"
#include "testing/fake_device.h"

using testing_support::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

::testing::Environment* const queueDirectory =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

class TestClient : public AutoProvisionClient {
public:
    using AutoProvisionClient::mUserAgent;
};

// Puts an executable "cat" that prints a chosen text first on PATH, and a
// version file in place of /etc/version.txt.
class UserAgent : public ::testing::Test {
protected:
    UserAgent() : mPreviousPath(getenv("PATH") != nullptr ? getenv("PATH") : "")
    {
        setenv("PATH", (mDir.Path() + ":" + mPreviousPath).c_str(), 1);
    }
    ~UserAgent() override { setenv("PATH", mPreviousPath.c_str(), 1); }

    void LineNumberPrints(const std::string& text)
    {
        std::string escaped;
        for (unsigned char c : text) {
            char octal[8];
            snprintf(octal, sizeof(octal), "\\%03o", c);
            escaped += octal;
        }
        const std::string script = mDir.File("cat");
        WriteFile(script, "#!/bin/sh\nprintf '%s' \"$*\" > '" + mDir.File("arguments") + "'\nprintf '" +
                              escaped + "'\n");
        chmod(script.c_str(), 0700);
    }

    void VersionFile(const std::string& content) { WriteFile(mDir.File("version.txt"), content); }

    std::vector<std::pair<int, std::string>> Traces() const
    {
        std::vector<std::pair<int, std::string>> traces;
        for (testing_support::TraceLine line : mCapture.Lines()) {
            EXPECT_TRUE(testing_support::StripTimeStamp(line.text));
            traces.emplace_back(line.level, line.text);
        }
        return traces;
    }

    TempDir mDir;
    std::string mPreviousPath;
    Configuration::ScopedPathRedirect mVersion{"/etc/version.txt", mDir.File("version.txt")};
    LogCapture mCapture;
    TestClient mClient;
};

TEST_F(UserAgent, LineNumberAndVersion)
{
    LineNumberPrints(" \t2\t ");
    VersionFile("# firmware\nBuild: 77\nVersion: 5.1.3\n");
    ASSERT_TRUE(mClient.MakeUpUserAgentName());
    EXPECT_EQ("User-Agent: Tovix zentro-fxs 2 firmware=5.1.3\r\n", mClient.mUserAgent);
    EXPECT_EQ("/proc/vexa/fxs-number", ReadFile(mDir.File("arguments")));
    EXPECT_TRUE(Traces().empty());
}

TEST_F(UserAgent, VersionKeepsTheTextFromItsFirstBlank)
{
    LineNumberPrints("2");
    for (const auto& versions : std::vector<std::pair<std::string, std::string>>{
             {"Version: FXS 5.1.3\n", " firmware= 5.1.3\r\n"},
             {"Version:  \t A B C \t\n", " firmware= B C\r\n"},
             {"Version: x\n", " firmware=x\r\n"}}) {
        VersionFile(versions.first);
        ASSERT_TRUE(mClient.MakeUpUserAgentName()) << versions.first;
        EXPECT_EQ("User-Agent: Tovix zentro-fxs 2" + versions.second, mClient.mUserAgent);
    }
}

TEST_F(UserAgent, LineFeedAfterTheNumberStays)
{
    LineNumberPrints("2\n3\n");
    VersionFile("Version: 5.1.3\n");
    ASSERT_TRUE(mClient.MakeUpUserAgentName());
    EXPECT_EQ("User-Agent: Tovix zentro-fxs 2\n firmware=5.1.3\r\n", mClient.mUserAgent);
}

TEST_F(UserAgent, EmptyLineNumberFails)
{
    VersionFile("Version: 5.1.3\n");
    for (const char* output : {"", " \t "}) {
        mCapture.Clear();
        LineNumberPrints(output);
        EXPECT_FALSE(mClient.MakeUpUserAgentName());
        EXPECT_EQ((std::vector<std::pair<int, std::string>>{{0, "Invalid fxs line number\n"}}), Traces());
        EXPECT_EQ("User-Agent: Tovix zentro-fxs ", mClient.mUserAgent);
    }
}

TEST_F(UserAgent, EmptyOrMissingVersionFails)
{
    LineNumberPrints("4");
    for (const char* content : {"Version:\n", "Version: \t \n", "Build: 77\n"}) {
        mCapture.Clear();
        VersionFile(content);
        EXPECT_FALSE(mClient.MakeUpUserAgentName()) << content;
        EXPECT_EQ((std::vector<std::pair<int, std::string>>{{0, "Invalid firmware\n"}}), Traces());
        EXPECT_EQ("User-Agent: Tovix zentro-fxs 4", mClient.mUserAgent);
    }
}

TEST_F(UserAgent, MissingVersionFileFailsSilently)
{
    LineNumberPrints("4");
    EXPECT_FALSE(mClient.MakeUpUserAgentName());
    EXPECT_TRUE(Traces().empty());
    EXPECT_EQ("User-Agent: Tovix zentro-fxs 4", mClient.mUserAgent);
}

}  // namespace
