// The User-Agent line from the FXS line-number command and the version file.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/config_file.h"
#include "testing/test_client.h"

using namespace testing_support;

TEST(UserAgent, FromLineNumberAndVersion)
{
    struct Case {
        const char* line;
        const char* version;   // nullptr: no version file
        bool made;
        std::string userAgent;
        Lines traces;
    };
    const Case cases[] = {
        {"4", nullptr, false, "4", {}},
        {" \t2\t ", "# firmware\nBuild: 77\nVersion: 5.1.3\n", true, "2 firmware=5.1.3\r\n", {}},
        // The version keeps the text from its first blank on.
        {"2", "Version: FXS 5.1.3\n", true, "2 firmware= 5.1.3\r\n", {}},
        {"2", "Version:  \t A B C \t\n", true, "2 firmware= B C\r\n", {}},
        {"2\n3\n", "Version: 5.1.3\n", true, "2\n firmware=5.1.3\r\n", {}},   // the line feed stays
        {"", "Version: 5.1.3\n", false, "", {"0T Invalid fxs line number\n"}},
        {" \t ", "Version: 5.1.3\n", false, "", {"0T Invalid fxs line number\n"}},
        {"4", "Version: \t \n", false, "4", {"0T Invalid firmware\n"}},
        {"4", "Build: 77\n", false, "4", {"0T Invalid firmware\n"}},
    };
    TempDir empty;
    TestClient client;
    for (const Case& c : cases) {
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
}
