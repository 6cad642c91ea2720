#include "platform/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/config_file.h"

using PlatformDetail::ReadWholeFile;

namespace {

// A fresh directory for the stream's and the switch's files, removed with them at the end.
class LogStreamTest : public ::testing::Test {
protected:
    LogStreamTest() { EXPECT_NE(nullptr, mkdtemp(mDir)); }
    ~LogStreamTest() override
    {
        for (const char* name : {"trace.log", "trace.log.1", "trace.log.2", "switch.conf"}) {
            unlink(File(name).c_str());
        }
        rmdir(mDir);
    }
    std::string File(const char* name) const { return std::string(mDir) + "/" + name; }

    char mDir[32] = "/tmp/log_stream_test.XXXXXX";
};

void Trace(LogStream& stream, unsigned char level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(level, format, args, 0);
    va_end(args);
}

}  // namespace

TEST_F(LogStreamTest, WritesExpandedCutTextUpToItsLevelAppendingOrTruncating)
{
    for (bool append : {true, false, true}) {
        LogStream stream(File("trace.log").c_str(), false, append, 5, 1, 20, false);
        Trace(stream, 3, "%d:%llu\n", append, 1234567890123ULL);   // above 32 bits
        Trace(stream, 5, "%s\n", std::string(100, 'a').c_str());   // cut to 19 bytes
        Trace(stream, 6, "dropped\n");
    }
    // The second stream truncated what the first wrote; the third appended.
    std::string text;
    ReadWholeFile(File("trace.log").c_str(), text);
    EXPECT_EQ("0:1234567890123\n" + std::string(19, 'a') + "1:1234567890123\n" + std::string(19, 'a'), text);
    // A missing directory drops the text without failing.
    LogStream nowhere("/nonexistent-dir/trace.log", false, true, 9, 1, 2048, false);
    Trace(nowhere, 1, "lost\n");
    EXPECT_NE(0, access("/nonexistent-dir/trace.log", F_OK));
}

TEST_F(LogStreamTest, RotatesToExactlyOneBackupBeforeThePassingLine)
{
    LogStream stream(File("trace.log").c_str(), false, true, 9, 1, 2048, false);
    // Numbered 1000-byte lines, two and a half files' worth: two rotations.
    const long perFile = LogStream::MAX_FILE_SIZE / 1000;
    for (long i = 0; i < perFile * 5 / 2; ++i) {
        Trace(stream, 1, "%08ld %0990d\n", i, 0);
    }
    std::string current;
    std::string backup;
    ReadWholeFile(File("trace.log").c_str(), current);
    ReadWholeFile(File("trace.log.1").c_str(), backup);
    // The backup holds the second file's whole lines, the current file the rest; no second backup.
    EXPECT_EQ(perFile * 1000, static_cast<long>(backup.size()));
    EXPECT_EQ(perFile, atol(backup.c_str()));
    EXPECT_EQ((perFile * 5 / 2 - 2 * perFile) * 1000, static_cast<long>(current.size()));
    EXPECT_EQ(2 * perFile, atol(current.c_str()));
    EXPECT_NE(0, access(File("trace.log.2").c_str(), F_OK));
}

TEST_F(LogStreamTest, GetLogLevelReadsTheSwitchFile)
{
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, File("switch.conf"));
    bool on = false;
    EXPECT_FALSE(GetLogLevel(&on, nullptr));   // no file: tracing on
    EXPECT_TRUE(on);
    const struct {
        const char* content;
        bool on, verbose;
    } cases[] = {
        {"# no key\n", true, false},    {"trace: off\n", false, false}, {"trace:0\n", false, false},
        {"Trace : No  # quiet\n", false, false}, {"trace: verbose\n", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        std::ofstream(File("switch.conf")) << c.content;
        bool verbose = !c.verbose;
        on = !c.on;
        EXPECT_TRUE(GetLogLevel(&on, &verbose));
        EXPECT_EQ(c.on, on);
        EXPECT_EQ(c.verbose, verbose);
    }
}
