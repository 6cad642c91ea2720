// The User-Agent line from the FXS line-number command and the version file.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config_file/config_file.h"
#include "testing/test_client.h"

using namespace testing_support;

TEST(UserAgent, FromLineNumberAndVersion)
{
    const struct { const char* line; const char* version; bool made; std::string userAgent; Lines traces; } cases[] = {
        {"4", nullptr, false, "4", {}},   // no version file
        {" \t2\t ", "# firmware\nBuild: 77\nVersion: 5.1.3 # release\n", true, "2 firmware=5.1.3\r\n", {}},
        // The version keeps the text from its first blank on.
        {"2", "Version: FXS 5.1.3\n", true, "2 firmware= 5.1.3\r\n", {}},
        {"2", "Version:  \t A B C \t\n", true, "2 firmware= B C\r\n", {}},
        {"2\n3\n", "Version: 5.1.3\n", true, "2\n firmware=5.1.3\r\n", {}},   // the line feed stays
        {"", "Version: 5.1.3\n", false, "", {"0T Invalid fxs line number\n"}},
        {" \t ", "Version: 5.1.3\n", false, "", {"0T Invalid fxs line number\n"}},
        {"4", "Version: \t \n", false, "4", {"0T Invalid firmware\n"}},
        {"4", "Build: 77\n", false, "4", {"0T Invalid firmware\n"}},
        // One read of at most 63 characters.
        {"123456789012345678901234567890123456789012345678901234567890123456789", "Version: 5\n", true,
         "123456789012345678901234567890123456789012345678901234567890123 firmware=5\r\n", {}},
    };
    TempDir empty;
    TestClient client;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)) + " " + (c.version ? c.version : "no file"));
        FakeDeviceFiles device(c.line, c.version != nullptr ? c.version : "");
        std::unique_ptr<Configuration::ScopedPathRedirect> missing;
        if (c.version == nullptr)
            missing.reset(new Configuration::ScopedPathRedirect("/etc/version.txt", empty.File("none")));
        LogCapture capture;
        EXPECT_EQ(c.made, client.MakeUpUserAgentName());
        EXPECT_EQ("User-Agent: Tovix zentro-fxs " + c.userAgent, client.mUserAgent);
        EXPECT_EQ(c.traces, Leveled(capture));
    }

    // The line-number command cannot be started (no descriptor left for its pipe): false, without a line.
    FakeDeviceFiles device("2", "Version: 5.1.3\n");
    LogCapture capture;
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    const struct rlimit none = {static_cast<rlim_t>(lowestFree), saved.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    const bool made = client.MakeUpUserAgentName();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(made);
    EXPECT_EQ("User-Agent: Tovix zentro-fxs ", client.mUserAgent);
    EXPECT_TRUE(capture.Lines().empty());
}
