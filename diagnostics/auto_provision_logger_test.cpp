#include "diagnostics/auto_provision_logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include "platform/config_file.h"
#include "testing/test_support.h"

TEST(TimeStamp, MillisecondsAreCutToThreeDigitsAndADayBelowTenIsBlankPadded)
{
    setenv("TZ", "<+02>-2", 1);   // local time, two hours ahead of UTC
    tzset();
    const time_t tuesday = 1794923109;   // Tue Nov 17 13:45:09 2026 UTC
    const std::string tuesdayAt = "Tue Nov 17 15:45:09 2026\t.";
    const struct { time_t seconds; long usec; std::string stamp; } cases[] = {
        {tuesday, 123400, tuesdayAt + "123 "}, {tuesday, 5000, tuesdayAt + "005 "},
        {tuesday, 999, tuesdayAt + "000 "},    {tuesday, 999900, tuesdayAt + "999 "},
        {tuesday - 12 * 86400, 0, "Thu Nov  5 15:45:09 2026\t.000 "},
    };
    for (const auto& c : cases) {
        char text[TIME_STAMP_SIZE];
        EXPECT_EQ(c.stamp, std::string(text, FormatTimeStamp({c.seconds, c.usec}, text)));
    }
}

TEST(Logger, ExpandsTheFormatAfterTheOptionalStampHandsTheLevelOnAndIsQuietWhenOff)
{
    testing_support::LogCapture capture;
    logger.TRACE(3, false, "OnConfirm : subID = %llu\n", 42ULL);
    logger.TRACE(0, false, "host[%s:%s]", "10.0.0.5", "80");   // no line end of its own
    logger.TRACE(1, true, "Failed to get event from Queue\n");
    const std::string longest(2047, 'u');   // the stream's 2048 bytes, terminator included
    logger.TRACE(3, false, "%s%s", longest.c_str(), "cut");
    std::vector<std::string> seen;   // "<level> <text>", the stamp shown as "<stamp> "
    for (testing_support::TraceLine line : capture.Lines()) {
        bool stamped = testing_support::StripTimeStamp(line.text);
        seen.push_back(std::to_string(line.level) + (stamped ? " <stamp> " : " ") + line.text);
    }
    EXPECT_EQ((std::vector<std::string>{"3 OnConfirm : subID = 42\n", "0 host[10.0.0.5:80]",
                                        "1 <stamp> Failed to get event from Queue\n", "3 " + longest}),
              seen);

    testing_support::TempDir dir;
    testing_support::WriteFile(dir.File("switch"), "trace: off\n");
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, dir.File("switch"));
    CAutoProvisionLogger quiet;
    quiet.TRACE(0, true, "Invalid firmware\n");
    EXPECT_EQ(4u, capture.Lines().size());
}

TEST(Logger, TwoThreadsTracingAtOnceBothWriteWholeLines)
{
    testing_support::LogCapture capture;
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
    const std::map<std::string, int> expected = {{"first thread line\n", 500}, {"second thread line\n", 500}};
    EXPECT_EQ(expected, counts);
}
