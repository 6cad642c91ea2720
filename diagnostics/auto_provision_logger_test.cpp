#include "diagnostics/auto_provision_logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/config_file.h"
#include "testing/test_support.h"

using testing_support::LogCapture;
using testing_support::TempDir;

namespace {

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

timeval At(int year, int month, int day, int hour, int minute, int second, long usec)
{
    struct tm broken = {};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    timeval value;
    value.tv_sec = timegm(&broken);
    value.tv_usec = usec;
    return value;
}

std::string Stamp(const timeval& now)
{
    char text[TIME_STAMP_SIZE];
    size_t length = FormatTimeStamp(now, text);
    return std::string(text, length);
}

}  // namespace

using TimeStamp = UtcZone;

TEST_F(TimeStamp, MillisecondsAreThreeDigitsCutNotRounded)
{
    EXPECT_EQ("Tue Nov 17 13:45:09 2026\t.123 ", Stamp(At(2026, 11, 17, 13, 45, 9, 123400)));
    EXPECT_EQ("Tue Nov 17 13:45:09 2026\t.005 ", Stamp(At(2026, 11, 17, 13, 45, 9, 5000)));
    EXPECT_EQ("Tue Nov 17 13:45:09 2026\t.000 ", Stamp(At(2026, 11, 17, 13, 45, 9, 999)));
    EXPECT_EQ("Tue Nov 17 13:45:09 2026\t.999 ", Stamp(At(2026, 11, 17, 13, 45, 9, 999900)));
}

TEST_F(TimeStamp, DayBelowTenIsBlankPadded)
{
    std::string stamp = Stamp(At(2026, 12, 5, 7, 3, 1, 0));
    EXPECT_EQ("Sat Dec  5 07:03:01 2026\t.000 ", stamp);
    EXPECT_EQ(30u, stamp.size());
}

TEST(Logger, ExpandsTheFormatAndHandsTheLevelOn)
{
    LogCapture capture;
    logger.TRACE(3, false, "OnConfirm : subID = %llu\n", 42ULL);
    logger.TRACE(0, false, "host[%s:%s]", "10.0.0.5", "80");
    auto lines = capture.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3, lines[0].level);
    EXPECT_EQ("OnConfirm : subID = 42\n", lines[0].text);
    EXPECT_EQ(0, lines[1].level);
    EXPECT_EQ("host[10.0.0.5:80]", lines[1].text);  // no line end of its own
}

TEST(Logger, StampPrecedesTheText)
{
    LogCapture capture;
    logger.TRACE(1, true, "Failed to get event from Queue\n");
    auto lines = capture.Lines();
    ASSERT_EQ(1u, lines.size());
    std::string text = lines[0].text;
    ASSERT_TRUE(testing_support::StripTimeStamp(text)) << lines[0].text;
    EXPECT_EQ("Failed to get event from Queue\n", text);
}

TEST(Logger, TracingOffWritesNothing)
{
    TempDir dir;
    testing_support::WriteFile(dir.File("switch"), "trace: off\n");
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, dir.File("switch"));
    CAutoProvisionLogger quiet;
    LogCapture capture;
    quiet.TRACE(0, true, "Invalid firmware\n");
    EXPECT_TRUE(capture.Lines().empty());
}

// A sink that notices two writers inside it at once.
class OverlapSink : public LogSink {
public:
    void Write(unsigned char, const char* text, size_t length) override
    {
        if (mInside.exchange(true))
            mOverlaps++;
        std::string line(text, length);
        if (line != "first thread line\n" && line != "second thread line\n")
            mBroken++;
        mCount++;
        mInside = false;
    }
    std::atomic<bool> mInside{false};
    std::atomic<int> mOverlaps{0};
    std::atomic<int> mBroken{0};
    std::atomic<int> mCount{0};
};

TEST(Logger, TwoThreadsWriteWholeTextsOneAfterTheOther)
{
    OverlapSink sink;
    ScopedLogSink scope(&sink);
    auto writer = [](const char* text) {
        for (int i = 0; i < 500; ++i)
            logger.TRACE(3, false, "%s", text);
    };
    std::thread first(writer, "first thread line\n");
    std::thread second(writer, "second thread line\n");
    first.join();
    second.join();
    EXPECT_EQ(1000, sink.mCount.load());
    EXPECT_EQ(0, sink.mOverlaps.load());
    EXPECT_EQ(0, sink.mBroken.load());
}
