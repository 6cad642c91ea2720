#include "platform/utility.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/config_file.h"

namespace {

// A fresh directory under /tmp, removed with its files at the end.
class TempDir {
public:
    TempDir() : mPath("/tmp/log_stream_test.XXXXXX") { EXPECT_NE(nullptr, mkdtemp(&mPath[0])); }
    ~TempDir()
    {
        for (const char* name : {"trace.log", "trace.log.1", "trace.log.2", "switch.conf"}) {
            unlink(File(name).c_str());
        }
        rmdir(mPath.c_str());
    }
    std::string File(const char* name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

struct Capture : LogSink {
    void Write(unsigned char level, const char* text, size_t length) override
    {
        lines.push_back(std::to_string(level) + ":" + std::string(text, length));
    }
    std::vector<std::string> lines;
};

void Trace(LogStream& stream, unsigned char level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    stream.TRACE(level, format, args, 0);
    va_end(args);
}

std::string ReadFile(const std::string& path)
{
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

}  // namespace

TEST(LogStream, SinkGetsExpandedCutTextUpToLevel)
{
    Capture capture;
    ScopedLogSink scope(&capture);
    LogStream stream("unused.log", false, true, 5, 1, 16, false);
    Trace(stream, 3, "%s=%llu", "n", 1234567890123ULL);  // above 32 bits
    Trace(stream, 5, "%s", std::string(100, 'a').c_str());
    Trace(stream, 6, "dropped");
    EXPECT_EQ((std::vector<std::string>{"3:n=1234567890123", "5:" + std::string(15, 'a')}),
              capture.lines);
}

TEST(LogStream, FileAppendsOrTruncates)
{
    TempDir dir;
    std::string path = dir.File("trace.log");
    for (bool append : {true, true, false}) {
        LogStream stream(path.c_str(), false, append, 9, 1, 2048, false);
        Trace(stream, 1, "%d\n", append);
        Trace(stream, 1, "x\n");
    }
    EXPECT_EQ("0\nx\n", ReadFile(path));
    // A missing directory drops the text without failing.
    LogStream nowhere("/nonexistent-dir/trace.log", false, true, 9, 1, 2048, false);
    Trace(nowhere, 1, "lost\n");
    EXPECT_NE(0, access("/nonexistent-dir/trace.log", F_OK));
}

TEST(LogStream, RotatesToExactlyOneBackup)
{
    TempDir dir;
    std::string path = dir.File("trace.log");
    LogStream stream(path.c_str(), false, true, 9, 1, 2048, false);
    // 1000-byte numbered lines; 2.5 times the limit forces two rotations.
    const int lines = static_cast<int>(LogStream::MAX_FILE_SIZE * 5 / 2 / 1000);
    for (int i = 0; i < lines; ++i) {
        Trace(stream, 1, "%08d %0990d\n", i, 0);
    }
    std::string current = ReadFile(path);
    std::string backup = ReadFile(path + ".1");
    EXPECT_LE(static_cast<long>(current.size()), LogStream::MAX_FILE_SIZE);
    EXPECT_LE(static_cast<long>(backup.size()), LogStream::MAX_FILE_SIZE);
    EXPECT_GT(static_cast<long>(backup.size()), LogStream::MAX_FILE_SIZE - 1000);
    EXPECT_NE(0, access((path + ".2").c_str(), F_OK));
    // The backup ends where the current file begins, which ends with the last line.
    ASSERT_EQ(0u, current.size() % 1000);
    EXPECT_EQ(atoi(backup.substr(backup.size() - 1000).c_str()) + 1, atoi(current.c_str()));
    EXPECT_EQ(lines - 1, atoi(current.substr(current.size() - 1000).c_str()));
}

TEST(GetLogLevel, ReadsSwitchFile)
{
    TempDir dir;
    std::string path = dir.File("switch.conf");
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, path);
    struct Case {
        const char* content;  // null: no file
        bool readable, on, verbose;
    } const cases[] = {
        {nullptr, false, true, false},           {"# no key\n", true, true, false},
        {"trace: on\n", true, true, false},      {"trace: off\n", true, false, false},
        {"Trace : No  # quiet\n", true, false, false}, {"trace:0\n", true, false, false},
        {"trace: false\n", true, false, false},  {"trace: verbose\n", true, true, true},
    };
    for (const Case& c : cases) {
        unlink(path.c_str());
        if (c.content != nullptr) {
            std::ofstream(path) << c.content;
        }
        bool on = !c.on;
        bool verbose = !c.verbose;
        SCOPED_TRACE(c.content != nullptr ? c.content : "no file");
        EXPECT_EQ(c.readable, GetLogLevel(&on, &verbose));
        EXPECT_EQ(c.on, on);
        EXPECT_EQ(c.verbose, verbose);
    }
}
