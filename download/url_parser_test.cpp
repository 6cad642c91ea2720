// Cutting provisioning URLs into the download request record.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/test_client.h"

// parsed, downloadMethod, host, port, path
using Record = std::tuple<bool, int, std::string, std::string, std::string>;

TEST(ParseURL, CutsSchemeHostAndPathAndWritesNothingElse)
{
    testing_support::TestClient client;
    // Each parse starts from this record, so every field left alone shows.
    ConfigurationControl::RequestParams used;
    used.downloadMethod = 3;
    used.host = "old-host";
    used.port = "8080";
    used.path = "old/path";
    const Record untouched{false, 3, "old-host", "8080", "old/path"};
    const std::vector<std::pair<std::string, Record>> cases = {
        {" \t https://10.0.0.5/cfg/fxs.xml\t ", {true, 1, "10.0.0.5", "8080", "cfg/fxs.xml"}},
        // Only blanks and tabs are trimmed: a line feed stays in the text.
        {"http://10.0.0.5/cfg/fxs.xml\n", {true, 0, "10.0.0.5", "8080", "cfg/fxs.xml\n"}},
        {"\nhttps://10.0.0.5/cfg", {true, 0, "10.0.0.5", "8080", "cfg"}},
        {"HTTPS://10.0.0.5/cfg/fxs.xml", {true, 0, "10.0.0.5", "8080", "cfg/fxs.xml"}},
        {"tftp://10.0.0.5/cfg/fxs.xml", {true, 0, "10.0.0.5", "8080", "cfg/fxs.xml"}},
        {"://10.0.0.5/cfg", {true, 0, "10.0.0.5", "8080", "cfg"}},
        // A port stays in the host text; the port field is never written.
        {"https://10.0.0.5:81/cfg", {true, 1, "10.0.0.5:81", "8080", "cfg"}},
        {"http://10.0.0.5/", {true, 0, "10.0.0.5", "8080", ""}},
        {"http:///cfg", {true, 0, "", "8080", "cfg"}},
        {"http://h/a/b?c=/d#e f", {true, 0, "h", "8080", "a/b?c=/d#e f"}},
        {"http://b://c/d", {true, 0, "b:", "8080", "/c/d"}},
        // Without a "/" after the host only the method is written.
        {"unknown://10.0.0.5", {true, 0, "old-host", "8080", "old/path"}},
        {"", untouched}, {" \t ", untouched},
        {"10.0.0.5/cfg/fxs.xml", untouched}, {"http:/10.0.0.5/cfg", untouched}, {"http//x/y", untouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.first));
        ConfigurationControl::RequestParams params = used;
        const bool parsed = client.ParseURL(c.first, params);
        EXPECT_EQ(c.second, Record(parsed, params.downloadMethod, params.host, params.port, params.path));
    }
}
