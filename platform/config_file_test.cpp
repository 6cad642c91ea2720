#include "platform/config_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

using Configuration::ConfigException;
using Configuration::ConfigFile;

namespace {

// A file with the given content under /tmp, removed at the end.
struct TempFile {
    explicit TempFile(const std::string& content)
    {
        int fd = mkostemp(&mPath[0], O_CLOEXEC);
        EXPECT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
        close(fd);
    }
    ~TempFile() { unlink(mPath.c_str()); }
    std::string mPath = "/tmp/config_file_test.XXXXXX";
};

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

TEST(ConfigFile, KeysValuesCommentsBlankLinesAndMissingKeys)
{
    TempFile temp("# comment\n   # indented: comment\n\n  \t \r\n"
                  "server: 10.0.0.1\r\nPath :  /etc/some dir/file name  \nport:5060 # trailing\n"
                  "no separator\nempty:\nserver: second ignored\nurl: http://host:80/x\nKey = a value \n");
    ConfigFile file = Open(temp.mPath);
    const std::pair<const char*, const char*> entries[] = {
        {"server", "10.0.0.1"}, {"PATH", "/etc/some dir/file name"}, {"port", "5060"}, {"empty", ""},
        {"url", "http://host:80/x"}, {"missing", "<none>"}, {"no separator", "<none>"},
        {"# indented", "<none>"}, {"# comment", "<none>"}};
    for (const auto& entry : entries)
        EXPECT_EQ(entry.second, Entry(file, entry.first)) << entry.first;

    ConfigFile untrimmed = Open(temp.mPath, false, "=");   // neither trimmed nor case-folded
    EXPECT_EQ(" a value ", Entry(untrimmed, "Key "));
    EXPECT_EQ("<none>", Entry(untrimmed, "key "));
    char small[4] = "xyz";
    EXPECT_TRUE(untrimmed.GetEntry("Key ", small, sizeof small));
    EXPECT_STREQ(" a ", small);
    EXPECT_FALSE(untrimmed.GetEntry("Key ", small, 0));
}

TEST(ConfigFile, MissingFileThrowsUnlessRedirected)
{
    const std::string missing = "/nonexistent/switch.conf";
    EXPECT_THROW(Open(missing), ConfigException);
    TempFile temp("trace: verbose\n");
    {
        Configuration::ScopedPathRedirect redirect(missing, temp.mPath);
        EXPECT_EQ("verbose", Entry(Open(missing), "trace"));
    }
    EXPECT_THROW(Open(missing), ConfigException);
}
