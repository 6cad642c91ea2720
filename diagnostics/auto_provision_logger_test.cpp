#include "diagnostics/auto_provision_logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include "platform/config_file.h"
#include "testing/test_support.h"

using testing_support::LogCapture;

TEST(TimeStamp, MillisecondsAreCutToThreeDigitsAndADayBelowTenIsBlankPadded)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const time_t tuesday = 1794923109;   // Tue Nov 17 13:45:09 2026 UTC
    const struct { time_t seconds; long usec; const char* stamp; } cases[] = {
        {tuesday, 123400, "Tue Nov 17 13:45:09 2026\t.123 "},
        {tuesday, 5000, "Tue Nov 17 13:45:09 2026\t.005 "},
        {tuesday, 999, "Tue Nov 17 13:45:09 2026\t.000 "},
        {tuesday, 999900, "Tue Nov 17 13:45:09 2026\t.999 "},
        {tuesday - 12 * 86400, 0, "Thu Nov  5 13:45:09 2026\t.000 "},
    };
    for (const auto& c : cases) {
        timeval now = {c.seconds, c.usec};
        char text[TIME_STAMP_SIZE];
        EXPECT_EQ(c.stamp, std::string(text, FormatTimeStamp(now, text)));
    }
}

TEST(Logger, ExpandsTheFormatAfterTheOptionalStampAndHandsTheLevelOn)
{
    LogCapture capture;
    logger.TRACE(3, false, "OnConfirm : subID = %llu\n", 42ULL);
    logger.TRACE(0, false, "host[%s:%s]", "10.0.0.5", "80");   // no line end of its own
    logger.TRACE(1, true, "Failed to get event from Queue\n");
    auto lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(3, lines[0].level);
    EXPECT_EQ("OnConfirm : subID = 42\n", lines[0].text);
    EXPECT_EQ(0, lines[1].level);
    EXPECT_EQ("host[10.0.0.5:80]", lines[1].text);
    std::string text = lines[2].text;
    ASSERT_TRUE(testing_support::StripTimeStamp(text)) << lines[2].text;
    EXPECT_EQ("Failed to get event from Queue\n", text);
}

TEST(Logger, TracingOffWritesNothing)
{
    testing_support::TempDir dir;
    testing_support::WriteFile(dir.File("switch"), "trace: off\n");
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, dir.File("switch"));
    CAutoProvisionLogger quiet;
    LogCapture capture;
    quiet.TRACE(0, true, "Invalid firmware\n");
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Logger, TwoThreadsTracingAtOnceBothWriteWholeLines)
{
    LogCapture capture;
    auto writer = [](const char* text) {
        for (int i = 0; i < 500; ++i) {
            logger.TRACE(3, false, "%s", text);
        }
    };
    std::thread first(writer, "first thread line\n");
    std::thread second(writer, "second thread line\n");
    first.join();
    second.join();
    std::map<std::string, int> counts;
    for (const auto& line : capture.Lines()) {
        counts[line.text]++;
    }
    std::map<std::string, int> expected = {{"first thread line\n", 500}, {"second thread line\n", 500}};
    EXPECT_EQ(expected, counts);
}
