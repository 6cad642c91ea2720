// Cutting provisioning URLs into the download request record.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "core/auto_provision_client.h"
#include "platform/messaging.h"
#include "testing/test_support.h"
#include "testing/fake_device.h"

using ConfigurationControl::RequestParams;
using ConfigurationControl::downloadMethods;

namespace {

::testing::Environment* const queueDirectory =
    ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryQueueDirectory);

struct Record {
    bool parsed;
    int method;
    std::string host;
    std::string port;
    std::string path;
};

bool operator==(const Record& a, const Record& b)
{
    return a.parsed == b.parsed && a.method == b.method && a.host == b.host && a.port == b.port &&
           a.path == b.path;
}

void PrintTo(const Record& r, std::ostream* out)
{
    *out << (r.parsed ? "true" : "false") << " " << r.method << " host=" << testing::PrintToString(r.host)
         << " port=" << r.port << " path=" << testing::PrintToString(r.path);
}

// Parses url into params and reports the members that matter.
Record Parse(AutoProvisionClient& client, const std::string& url, RequestParams params = RequestParams())
{
    const bool parsed = client.ParseURL(url, params);
    return Record{parsed, params.downloadMethod, params.host, params.port, params.path};
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(ParseURL, CutsSchemeHostAndPath)
{
    AutoProvisionClient client;
    const std::string first = downloadMethods[0];
    const std::string second = downloadMethods[1];
    struct Case {
        std::string url;
        Record expected;
    };
    const std::vector<Case> cases = {
        {first + "://10.0.0.5/cfg/fxs.xml", {true, 0, "10.0.0.5", "80", "cfg/fxs.xml"}},
        {" \t " + first + "://10.0.0.5/cfg/fxs.xml\t ", {true, 0, "10.0.0.5", "80", "cfg/fxs.xml"}},
        // Only blanks and tabs are trimmed: a line feed stays in the text.
        {first + "://10.0.0.5/cfg/fxs.xml\n", {true, 0, "10.0.0.5", "80", "cfg/fxs.xml\n"}},
        {"\n" + second + "://10.0.0.5/cfg", {true, 0, "10.0.0.5", "80", "cfg"}},
        {second + "://10.0.0.5/cfg/fxs.xml", {true, 1, "10.0.0.5", "80", "cfg/fxs.xml"}},
        {Upper(second) + "://10.0.0.5/cfg/fxs.xml", {true, 0, "10.0.0.5", "80", "cfg/fxs.xml"}},
        {std::string(downloadMethods[2]) + "://10.0.0.5/cfg/fxs.xml",
         {true, 0, "10.0.0.5", "80", "cfg/fxs.xml"}},
        {"gopher://10.0.0.5/cfg/fxs.xml", {true, 0, "10.0.0.5", "80", "cfg/fxs.xml"}},
        {"://10.0.0.5/cfg", {true, 0, "10.0.0.5", "80", "cfg"}},
        {second + "://10.0.0.5:81/cfg", {true, 1, "10.0.0.5:81", "80", "cfg"}},
        {first + "://10.0.0.5", {true, 0, "", "80", ""}},
        {first + "://10.0.0.5/", {true, 0, "10.0.0.5", "80", ""}},
        {first + ":///cfg", {true, 0, "", "80", "cfg"}},
        {first + "://h/a/b?c=/d#e f", {true, 0, "h", "80", "a/b?c=/d#e f"}},
        {first + "://b://c/d", {true, 0, "b:", "80", "/c/d"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Parse(client, c.url)) << testing::PrintToString(c.url);
}

TEST(ParseURL, RejectionLeavesTheRecordUntouched)
{
    AutoProvisionClient client;
    RequestParams used;
    used.downloadMethod = 1;
    used.host = "old-host";
    used.port = "8080";
    used.path = "old/path";
    for (const std::string url : {"10.0.0.5/cfg/fxs.xml", "", " \t ", "http:/10.0.0.5/cfg", "http//x/y"})
        EXPECT_EQ((Record{false, 1, "old-host", "8080", "old/path"}), Parse(client, url, used)) << url;

    // Without a "/" after the host only the method is written.
    EXPECT_EQ((Record{true, 0, "old-host", "8080", "old/path"}),
              Parse(client, "unknown://10.0.0.5", used));
}

}  // namespace
