#include "config_file/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

using Configuration::ConfigFile;

namespace {

// The value of key, or "<none>" when GetEntry fails (it must leave "" then).
std::string Entry(const ConfigFile& file, const char* key)
{
    char buffer[128] = "garbage";
    bool found = file.GetEntry(key, buffer, sizeof buffer);
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

    const std::string path = "/tmp/config_file_test." + std::to_string(getpid());
    std::ofstream(path) << "# comment\n   # indented: comment\n\n  \t \r\n"
                           "server: 10.0.0.1\r\nPath :  /etc/some dir/file name  \n"
                           "port:5060 # trailing\nno separator\nempty:\nserver: second ignored\n"
                           "url: http://host:80/x\nKey = a value \n";
    ConfigFile file = Open(path);
    ConfigFile untrimmed = Open(path, false, "=");   // neither trimmed nor case-folded
    unlink(path.c_str());
    const std::pair<const char*, const char*> entries[] = {
        {"server", "10.0.0.1"}, {"PATH", "/etc/some dir/file name"}, {"port", "5060"}, {"empty", ""},
        {"url", "http://host:80/x"}, {"missing", "<none>"}, {"no separator", "<none>"},
        {"# indented", "<none>"}};
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.first);
        EXPECT_EQ(entry.second, Entry(file, entry.first));
    }

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
    const std::string dir = "/tmp/config_file_test.redirect." + std::to_string(getpid());
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string from = dir + "/asked";
    for (const char* name : {"asked", "outer", "inner", "later"})
        std::ofstream(dir + "/" + name) << "name: " << name << "\n";
    auto nameRead = [&] { return Entry(Open(from), "name"); };

    using Redirect = Configuration::ScopedPathRedirect;
    std::unique_ptr<Redirect> outer(new Redirect(from, dir + "/outer"));
    {
        Redirect inner(from, dir + "/inner");
        Redirect other(dir + "/elsewhere", dir + "/later");
        EXPECT_EQ("inner", nameRead());
    }
    EXPECT_EQ("outer", nameRead());
    std::unique_ptr<Redirect> later(new Redirect(from, dir + "/later"));
    outer.reset();   // the older one ends first
    EXPECT_EQ("later", nameRead());
    later.reset();
    EXPECT_EQ("asked", nameRead());

    for (const char* name : {"asked", "outer", "inner", "later"})
        unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}
