#include "config_file/config_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testing/test_support.h"

using Configuration::ConfigFile;
using testing_support::WriteFile;

namespace {

// The value of key, or "<none>" when GetEntry fails (it must leave "" then).
std::string Entry(const ConfigFile& file, const char* key)
{
    char buffer[128] = "garbage";
    const bool found = file.GetEntry(key, buffer, sizeof buffer);
    return found ? buffer : buffer[0] == '\0' ? "<none>" : "<not emptied>";
}

ConfigFile Open(const std::string& path, bool trimAndFold = true, const char* separator = ":")
{
    return ConfigFile(path.c_str(), false, trimAndFold, trimAndFold, separator, "#", nullptr);
}

}  // namespace

TEST(ConfigFile, KeysValuesCommentsBlankLinesMissingKeysAndAMissingFile)
{
    EXPECT_THROW(Open("/nonexistent/switch.conf"), Configuration::ConfigException);
    testing_support::TempDir dir;
    WriteFile(dir.File("conf"), "# comment\n   # indented: comment\n\n  \t \r\nserver: 10.0.0.1\r\n"
                                "Path :  /etc/some dir/file name  \nport:5060 # trailing\nno separator\nempty:\n"
                                "server: second ignored\nurl: http://host:80/x\n: no key\nKey = a value \n");
    const ConfigFile file = Open(dir.File("conf"));
    const std::pair<const char*, const char*> entries[] = {
        {"server", "10.0.0.1"}, {"PATH", "/etc/some dir/file name"}, {"port", "5060"}, {"empty", ""},
        {"url", "http://host:80/x"}, {"missing", "<none>"}, {"no separator", "<none>"}, {"# indented", "<none>"},
        {"", "<none>"}};
    for (const auto& entry : entries)
        EXPECT_EQ(entry.second, Entry(file, entry.first)) << entry.first;

    const ConfigFile untrimmed = Open(dir.File("conf"), false, "=");   // neither trimmed nor case-folded
    EXPECT_EQ(" a value ", Entry(untrimmed, "Key "));
    EXPECT_EQ("<none>", Entry(untrimmed, "key "));
    char small[4] = "xyz";
    EXPECT_TRUE(untrimmed.GetEntry("Key ", small, sizeof small));
    EXPECT_STREQ(" a ", small);
    EXPECT_FALSE(untrimmed.GetEntry("Key ", small, 0));
}

// Redirects of one path nest: when the newest ends, the one it replaced is in force again, also when
// scopes end out of order; a redirect of another path is unaffected.
TEST(ScopedPathRedirect, NestedRedirectsRestoreTheOuterOne)
{
    testing_support::TempDir dir;
    for (const char* name : {"asked", "outer", "inner", "later"})
        WriteFile(dir.File(name), std::string("name: ") + name + "\n");
    auto nameRead = [&] { return Entry(Open(dir.File("asked")), "name"); };
    using Redirect = Configuration::ScopedPathRedirect;
    std::unique_ptr<Redirect> outer(new Redirect(dir.File("asked"), dir.File("outer")));
    {
        Redirect inner(dir.File("asked"), dir.File("inner"));
        Redirect other(dir.File("elsewhere"), dir.File("later"));
        EXPECT_EQ("inner", nameRead());
    }
    EXPECT_EQ("outer", nameRead());
    std::unique_ptr<Redirect> later(new Redirect(dir.File("asked"), dir.File("later")));
    outer.reset();   // the older one ends first
    EXPECT_EQ("later", nameRead());
    later.reset();
    EXPECT_EQ("asked", nameRead());
}
