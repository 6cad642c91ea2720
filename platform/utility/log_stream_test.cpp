#include "utility/utility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "config_file/config_file.h"
#include "testing/test_support.h"

namespace {

class LogStreamTest : public ::testing::Test {
protected:
    std::string File(const char* name) const { return mDir.File(name); }
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

TEST_F(LogStreamTest, WritesCutTextAppendingOrTruncating)
{
    for (bool append : {true, false, true}) {
        LogStream stream(File("cut.log").c_str(), false, append, 9, 1, 20, false);
        Trace(stream, 3, "%d:%llu\n", append, 1234567890123ULL);   // above 32 bits
        Trace(stream, 5, "%s\n", std::string(100, 'a').c_str());   // cut to 19 bytes
    }
    // The second stream truncated what the first wrote; the third appended.
    EXPECT_EQ("0:1234567890123\n" + std::string(19, 'a') + "1:1234567890123\n" + std::string(19, 'a'),
              testing_support::ReadFile(File("cut.log")));
    // A missing directory drops the text without failing.
    LogStream nowhere("/nonexistent-dir/trace.log", false, true, 9, 1, 2048, false);
    Trace(nowhere, 1, "lost\n");
}

TEST_F(LogStreamTest, GetLogLevelReadsTheSwitchFile)
{
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, File("switch.conf"));
    bool on = false, verbose = true;
    EXPECT_FALSE(GetLogLevel(&on, &verbose));   // no file: tracing on
    EXPECT_TRUE(on && !verbose);
    std::ofstream(File("switch.conf")) << "Trace : No  # quiet\n";
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_FALSE(on);
    std::ofstream(File("switch.conf")) << "trace: verbose\n";
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_TRUE(on && verbose);
}

TEST_F(LogStreamTest, OpensOnlyARegularFileOfMode0640AndRotatesToExactlyOneBackupOfThatMode)
{
    // A symlink or a FIFO planted at the path: the text is dropped at once,
    // the symlink's target stays as it was.
    testing_support::WriteFile(File("target"), "untouched");
    ASSERT_EQ(0, symlink(File("target").c_str(), File("link.log").c_str()));
    ASSERT_EQ(0, mkfifo(File("fifo.log").c_str(), 0666));
    for (const char* name : {"link.log", "fifo.log"}) {
        SCOPED_TRACE(name);
        for (bool append : {true, false}) {
            LogStream stream(File(name).c_str(), false, append, 9, 1, 2048, false);
            Trace(stream, 1, "planted\n");
        }
    }
    EXPECT_EQ("untouched", testing_support::ReadFile(File("target")));

    // A new file is 0640 whatever the umask allows; an existing file of ours
    // loses what goes beyond 0640 and keeps a stricter mode.
    const struct { const char* name; int existingMode; mode_t expected; } rows[] = {   // -1: no file yet
        {"new.log", -1, 0640}, {"wide.log", 0666, 0640}, {"strict.log", 0600, 0600}};
    const mode_t umaskBefore = umask(0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.existingMode >= 0) {
            std::ofstream(File(row.name)) << "old\n";
            ASSERT_EQ(0, chmod(File(row.name).c_str(), static_cast<mode_t>(row.existingMode)));
        }
        LogStream stream(File(row.name).c_str(), false, true, 9, 1, 2048, false);
        Trace(stream, 1, "line\n");
        struct stat info;
        ASSERT_EQ(0, stat(File(row.name).c_str(), &info));
        EXPECT_EQ(row.expected, info.st_mode & 07777);
    }

    // Numbered 1000-byte lines, two and a half files' worth: the one backup keeps the second file, and
    // its mode; the new file is made 0640 again.
    LogStream stream(File("trace.log").c_str(), false, true, 9, 1, 2048, false);
    const long perFile = LogStream::MAX_FILE_SIZE / 1000;
    for (long i = 0; i < perFile * 5 / 2; ++i)
        Trace(stream, 1, "%08ld %0990d\n", i, 0);
    umask(umaskBefore);
    const std::string current = testing_support::ReadFile(File("trace.log"));
    const std::string backup = testing_support::ReadFile(File("trace.log.1"));
    EXPECT_EQ(perFile * 1000, static_cast<long>(backup.size()));
    EXPECT_EQ(perFile, std::stol(backup));
    EXPECT_EQ((perFile * 5 / 2 - 2 * perFile) * 1000, static_cast<long>(current.size()));
    EXPECT_NE(0, access(File("trace.log.2").c_str(), F_OK));
    for (const char* name : {"trace.log", "trace.log.1"}) {
        struct stat info;
        ASSERT_EQ(0, stat(File(name).c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 07777) << name;
    }
}
