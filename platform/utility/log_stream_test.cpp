#include "utility/utility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config_file/config_file.h"
#include "testing/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

class LogStreamTest : public ::testing::Test {
protected:
    std::string File(const char* name) const { return mDir.File(name); }
    // One trace text through a stream of at most 2048 bytes a text and one backup.
    void TraceTo(const char* name, const char* format, ...)
    {
        LogStream stream(File(name).c_str(), false, true, 9, 1, 2048, false);
        va_list args;
        va_start(args, format);
        stream.TRACE(1, format, args, 0);
        va_end(args);
    }
    const testing_support::TempDir mDir;
};

void Trace(LogStream& stream, unsigned char level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(level, format, args, 0);
    va_end(args);
}

}  // namespace

TEST_F(LogStreamTest, WritesCutTextAppendingOrTruncatingAndRotatesToExactlyOneBackupOfTheSameMode)
{
    for (bool append : {true, false, true}) {
        LogStream stream(File("cut.log").c_str(), false, append, 9, 1, 20, false);
        Trace(stream, 3, "%d:%llu\n", append, 1234567890123ULL);   // above 32 bits
        Trace(stream, 5, "%s\n", std::string(100, 'a').c_str());   // cut to 19 bytes
        Trace(stream, 10, "above the stream's level\n");
    }
    // The second stream truncated what the first wrote; the third appended.
    EXPECT_EQ("0:1234567890123\n" + std::string(19, 'a') + "1:1234567890123\n" + std::string(19, 'a'),
              ReadFile(File("cut.log")));
    LogStream nowhere("/nonexistent-dir/trace.log", false, true, 9, 1, 2048, false);
    Trace(nowhere, 1, "lost\n");   // a missing directory drops the text without failing

    // Numbered 1000-byte lines, two and a half files' worth: the one backup keeps the second file.
    const mode_t umaskBefore = umask(0);
    LogStream stream(File("trace.log").c_str(), false, true, 9, 1, 2048, false);
    const long perFile = LogStream::MAX_FILE_SIZE / 1000;
    for (long i = 0; i < perFile * 5 / 2; ++i)
        Trace(stream, 1, "%08ld %0990d\n", i, 0);
    umask(umaskBefore);
    const std::string backup = ReadFile(File("trace.log.1"));
    EXPECT_EQ(perFile * 1000, static_cast<long>(backup.size()));
    EXPECT_EQ(perFile, std::stol(backup));
    EXPECT_EQ((perFile * 5 / 2 - 2 * perFile) * 1000, static_cast<long>(ReadFile(File("trace.log")).size()));
    EXPECT_NE(0, access(File("trace.log.2").c_str(), F_OK));
    for (const char* name : {"trace.log", "trace.log.1"}) {   // 0640 whatever the umask allows
        struct stat info;
        ASSERT_EQ(0, stat(File(name).c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 07777) << name;
    }
}

TEST_F(LogStreamTest, GetLogLevelReadsTheSwitchFile)
{
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, File("switch.conf"));
    bool on = false;
    bool verbose = true;
    EXPECT_FALSE(GetLogLevel(&on, &verbose));   // no file: tracing on
    EXPECT_TRUE(on && !verbose);
    WriteFile(File("switch.conf"), "Trace : No  # quiet\n");
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_FALSE(on);
    WriteFile(File("switch.conf"), "trace: verbose\n");
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_TRUE(on && verbose);
}

// A symlink planted at the path drops the text, its target untouched; an existing file of ours loses what
// goes beyond 0640 and gains nothing.
TEST_F(LogStreamTest, OpensOnlyARegularFileAndNarrowsItsModeTo0640)
{
    WriteFile(File("target"), "untouched");
    ASSERT_EQ(0, symlink(File("target").c_str(), File("link.log").c_str()));
    TraceTo("link.log", "planted\n");
    EXPECT_EQ("untouched", ReadFile(File("target")));
    for (const auto& row : {std::make_pair("wide.log", 0666u), std::make_pair("odd.log", 0604u)}) {
        WriteFile(File(row.first), "old\n");
        ASSERT_EQ(0, chmod(File(row.first).c_str(), row.second));
        TraceTo(row.first, "line\n");
        struct stat info;
        ASSERT_EQ(0, stat(File(row.first).c_str(), &info));
        EXPECT_EQ(row.second & 0640u, info.st_mode & 07777) << row.first;
    }
}
