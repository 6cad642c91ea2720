#include "platform/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
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
        EXPECT_EQ(entry.second, Entry(file, entry.first)) << entry.first;
    }

    EXPECT_EQ(" a value ", Entry(untrimmed, "Key "));
    EXPECT_EQ("<none>", Entry(untrimmed, "key "));
    char small[4] = "xyz";
    EXPECT_TRUE(untrimmed.GetEntry("Key ", small, sizeof small));
    EXPECT_STREQ(" a ", small);
    EXPECT_FALSE(untrimmed.GetEntry("Key ", small, 0));
}
