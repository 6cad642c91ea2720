#include "diagnostics/auto_provision_logger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "config_file/config_file.h"
#include "testing/child_process.h"
#include "testing/test_support.h"

using namespace testing_support;

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
    LogCapture capture;
    logger.TRACE(3, false, "OnConfirm : subID = %llu\n", 42ULL);
    logger.TRACE(0, false, "host[%s:%s]", "10.0.0.5", "80");   // no line end of its own
    logger.TRACE(1, true, "Failed to get event from Queue\n");
    const std::string longest(2047, 'u');   // the stream's 2048 bytes, terminator included
    logger.TRACE(3, false, "%s%s", longest.c_str(), "cut");
    std::vector<std::string> seen;   // "<level> <text>", the stamp shown as "<stamp> "
    for (TraceLine line : capture.Lines())
        seen.push_back(std::to_string(line.level) + (StripTimeStamp(line.text) ? " <stamp> " : " ") + line.text);
    EXPECT_EQ((std::vector<std::string>{"3 OnConfirm : subID = 42\n", "0 host[10.0.0.5:80]",
                                        "1 <stamp> Failed to get event from Queue\n", "3 " + longest}),
              seen);

    TempDir dir;
    WriteFile(dir.File("switch"), "trace: off\n");
    Configuration::ScopedPathRedirect redirect(TRACE_SWITCH_FILE, dir.File("switch"));
    CAutoProvisionLogger quiet;
    quiet.TRACE(0, true, "Invalid firmware\n");
    EXPECT_EQ(4u, capture.Lines().size());
}

// The logger's own file, in a fresh log directory of a private mount namespace: earlier contents are
// kept, nothing goes to standard error, and a full file is kept as one backup.
TEST(Logger, AppendsToItsFileKeepsOneBackupAndLeavesStandardErrorAlone)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    const std::string ending = Ending(StartChild([] {
        const std::string file = std::string(LogStream::LOG_DIRECTORY) + "/autoprovisionclient.log";
        if (!PrivateTmpfs({LogStream::LOG_DIRECTORY}))
            return CHILD_UNAVAILABLE;
        WriteFile(file, "earlier\n");
        const int err = open((file + ".err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (err < 0 || dup2(err, STDERR_FILENO) < 0)
            return 2;
        CAutoProvisionLogger own;
        own.TRACE(3, false, "Failed to send data\n");
        if (ReadFile(file) != "earlier\nFailed to send data\n")
            return 3;
        const std::string line(2000, 'x');
        for (long written = 0; written <= LogStream::MAX_FILE_SIZE; written += 2000)
            own.TRACE(0, false, "%s", line.c_str());
        const bool backup = ReadFile(file + ".1").compare(0, 8, "earlier\n") == 0;
        return !backup ? 4 : ReadFile(file + ".err").empty() ? 0 : 5;
    }));
    if (ending == "exit 77")
        GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ("exit 0", ending);
}
