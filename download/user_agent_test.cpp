// The User-Agent line from the FXS line-number command and the version file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/config_file.h"
#include "testing/test_client.h"

using namespace testing_support;

namespace {

// A "cat" first on PATH that notes its arguments and prints the file "line",
// and the file "version" in place of /etc/version.txt.
class UserAgent : public ::testing::Test {
protected:
    UserAgent() : mPreviousPath(getenv("PATH") != nullptr ? getenv("PATH") : "")
    {
        WriteFile(mDir.File("cat"), "#!/bin/sh\nprintf '%s' \"$*\" > " + mDir.File("arguments") +
                                        "\nexec /bin/cat " + mDir.File("line") + "\n");
        chmod(mDir.File("cat").c_str(), 0700);
        setenv("PATH", (mDir.Path() + ":" + mPreviousPath).c_str(), 1);
    }
    ~UserAgent() override { setenv("PATH", mPreviousPath.c_str(), 1); }

    TempDir mDir;
    const std::string mPreviousPath;
    Configuration::ScopedPathRedirect mVersion{"/etc/version.txt", mDir.File("version")};
};

TEST_F(UserAgent, FromLineNumberAndVersion)
{
    struct Case {
        const char* line;
        const char* version;   // nullptr: none written
        bool made;
        std::string userAgent;
        const char* trace;     // the one trace line, if any
    };
    const std::vector<Case> cases = {
        {"4", nullptr, false, "4", nullptr},   // first: no version file yet
        {" \t2\t ", "# firmware\nBuild: 77\nVersion: 5.1.3\n", true, "2 firmware=5.1.3\r\n", nullptr},
        // The version keeps the text from its first blank on.
        {"2", "Version: FXS 5.1.3\n", true, "2 firmware= 5.1.3\r\n", nullptr},
        {"2", "Version:  \t A B C \t\n", true, "2 firmware= B C\r\n", nullptr},
        {"2\n3\n", "Version: 5.1.3\n", true, "2\n firmware=5.1.3\r\n", nullptr},   // the line feed stays
        {"", "Version: 5.1.3\n", false, "", "Invalid fxs line number\n"},
        {" \t ", "Version: 5.1.3\n", false, "", "Invalid fxs line number\n"},
        {"4", "Version: \t \n", false, "4", "Invalid firmware\n"},
        {"4", "Build: 77\n", false, "4", "Invalid firmware\n"},
    };
    TestClient client;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)) + " " + (c.version ? c.version : "no file"));
        WriteFile(mDir.File("line"), c.line);
        if (c.version != nullptr)
            WriteFile(mDir.File("version"), c.version);
        LogCapture capture;
        EXPECT_EQ(c.made, client.MakeUpUserAgentName());
        EXPECT_EQ("User-Agent: Tovix zentro-fxs " + c.userAgent, client.mUserAgent);
        EXPECT_EQ((c.trace != nullptr ? Traces{{0, c.trace}} : Traces()), TraceLines(capture));
    }
    EXPECT_EQ("/proc/vexa/fxs-number", ReadFile(mDir.File("arguments")));
}

}  // namespace
