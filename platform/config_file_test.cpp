#include "platform/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

using Configuration::ConfigException;
using Configuration::ConfigFile;

namespace {

// A file with the given content in a fresh /tmp directory, removed at the end.
class TempFile {
public:
    explicit TempFile(const std::string& content) : mDir("/tmp/config_file_test.XXXXXX")
    {
        EXPECT_NE(nullptr, mkdtemp(&mDir[0]));
        std::ofstream(Path()) << content;
    }
    ~TempFile()
    {
        unlink(Path().c_str());
        rmdir(mDir.c_str());
    }
    std::string Path() const { return mDir + "/file.conf"; }

private:
    std::string mDir;
};

// The value of key, or "<none>" when GetEntry fails (it must leave "" then).
std::string Entry(const ConfigFile& file, const char* key)
{
    char buffer[128] = "garbage";
    bool found = file.GetEntry(key, buffer, sizeof buffer);
    return found ? buffer : buffer[0] == '\0' ? "<none>" : "<not emptied>";
}

ConfigFile Open(const std::string& path)
{
    return ConfigFile(path.c_str(), false, true, true, ":", "#", nullptr);
}

}  // namespace

TEST(ConfigFile, ParsesKeysValuesAndComments)
{
    TempFile temp(
        "# comment\n   # indented: comment\n\n  \t \r\n"
        "server: 10.0.0.1\r\nPath :  /etc/some dir/file name  \nport:5060 # trailing\n"
        "no separator\nempty:\nserver: second ignored\nurl: http://host:80/x\n");
    ConfigFile file = Open(temp.Path());
    EXPECT_EQ("10.0.0.1", Entry(file, "server"));
    EXPECT_EQ("/etc/some dir/file name", Entry(file, "PATH"));
    EXPECT_EQ("5060", Entry(file, "port"));
    EXPECT_EQ("", Entry(file, "empty"));
    EXPECT_EQ("http://host:80/x", Entry(file, "url"));
    for (const char* absent : {"missing", "no separator", "# indented", "# comment"}) {
        EXPECT_EQ("<none>", Entry(file, absent)) << absent;
    }
}

TEST(ConfigFile, RawModeAndShortBuffer)
{
    TempFile temp("Key = a value \n");
    ConfigFile raw(temp.Path().c_str(), false, false, false, "=", "#", nullptr);
    EXPECT_EQ(" a value ", Entry(raw, "Key "));
    EXPECT_EQ("<none>", Entry(raw, "key "));
    char small[4] = "xyz";
    EXPECT_TRUE(raw.GetEntry("Key ", small, sizeof small));
    EXPECT_STREQ(" a ", small);
    EXPECT_FALSE(raw.GetEntry("Key ", small, 0));
}

TEST(ConfigFile, MissingFileThrowsUnlessRedirected)
{
    const std::string missing = "/nonexistent/switch.conf";
    EXPECT_THROW(Open(missing), ConfigException);
    TempFile temp("trace: verbose\n");
    {
        Configuration::ScopedPathRedirect redirect(missing, temp.Path());
        EXPECT_EQ("verbose", Entry(Open(missing), "trace"));
    }
    EXPECT_THROW(Open(missing), ConfigException);
}
