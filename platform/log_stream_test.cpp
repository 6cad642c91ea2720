#include "platform/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/config_file.h"

namespace {

class LogStreamTest : public ::testing::Test {
protected:
    ~LogStreamTest() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(mDir, ignored);
    }
    std::string File(const char* name) const { return mDir + "/" + name; }

    char mPattern[32] = "/tmp/log_stream_test.XXXXXX";
    const std::string mDir = mkdtemp(mPattern) != nullptr ? mPattern : "/nonexistent";
};

void Trace(LogStream& stream, unsigned char level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(level, format, args, 0);
    va_end(args);
}

}  // namespace

TEST_F(LogStreamTest, WritesCutTextAppendingOrTruncatingAndRotatesToExactlyOneBackup)
{
    for (bool append : {true, false, true}) {
        LogStream stream(File("cut.log").c_str(), false, append, 9, 1, 20, false);
        Trace(stream, 3, "%d:%llu\n", append, 1234567890123ULL);   // above 32 bits
        Trace(stream, 5, "%s\n", std::string(100, 'a').c_str());   // cut to 19 bytes
    }
    // The second stream truncated what the first wrote; the third appended.
    std::string text;
    PlatformDetail::ReadWholeFile(File("cut.log").c_str(), text);
    EXPECT_EQ("0:1234567890123\n" + std::string(19, 'a') + "1:1234567890123\n" + std::string(19, 'a'), text);
    // A missing directory drops the text without failing.
    LogStream nowhere("/nonexistent-dir/trace.log", false, true, 9, 1, 2048, false);
    Trace(nowhere, 1, "lost\n");

    // Numbered 1000-byte lines, two and a half files' worth: the one backup keeps the second file.
    LogStream stream(File("trace.log").c_str(), false, true, 9, 1, 2048, false);
    const long perFile = LogStream::MAX_FILE_SIZE / 1000;
    for (long i = 0; i < perFile * 5 / 2; ++i) {
        Trace(stream, 1, "%08ld %0990d\n", i, 0);
    }
    std::string current;
    std::string backup;
    PlatformDetail::ReadWholeFile(File("trace.log").c_str(), current);
    PlatformDetail::ReadWholeFile(File("trace.log.1").c_str(), backup);
    EXPECT_EQ(perFile * 1000, static_cast<long>(backup.size()));
    EXPECT_EQ(perFile, std::stol(backup));
    EXPECT_EQ((perFile * 5 / 2 - 2 * perFile) * 1000, static_cast<long>(current.size()));
    EXPECT_NE(0, access(File("trace.log.2").c_str(), F_OK));
}

TEST_F(LogStreamTest, GetLogLevelReadsTheSwitchFile)
{
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, File("switch.conf"));
    bool on = false;
    bool verbose = true;
    EXPECT_FALSE(GetLogLevel(&on, &verbose));   // no file: tracing on
    EXPECT_TRUE(on && !verbose);
    std::ofstream(File("switch.conf")) << "Trace : No  # quiet\n";
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_FALSE(on);
    std::ofstream(File("switch.conf")) << "trace: verbose\n";
    EXPECT_TRUE(GetLogLevel(&on, &verbose));
    EXPECT_TRUE(on && verbose);
}
