#include "utility/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/test_support.h"

namespace {

TEST(SafeFile, OpensOnlyRegularFilesOfOursWithoutFollowingOrBlocking)
{
    testing_support::TempDir dir;
    const std::string file = dir.File("file"), link = dir.File("link"), fifo = dir.File("fifo");
    const std::string foreign = dir.File("foreign");
    testing_support::WriteFile(file, "x");
    testing_support::WriteFile(foreign, "y");
    ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const bool root = geteuid() == 0;
    ASSERT_TRUE(!root || chown(foreign.c_str(), 65534, 65534) == 0);
    const struct { const char* name; std::string path; int flags; bool opened; } rows[] = {
        {"regular file", file, O_RDWR, true},
        {"created", dir.File("new"), O_RDWR | O_CREAT, true},
        {"symlink", link, O_RDWR, false},
        {"FIFO, read-write", fifo, O_RDWR, false},
        {"FIFO, write-only without a reader", fifo, O_WRONLY, false},
        {"directory", dir.Path(), O_RDONLY, false},
        {"another user's file (as root only)", foreign, O_RDWR, !root},
    };
    for (const auto& row : rows) {
        const int fd = SafeFile::OpenRegular(row.path.c_str(), row.flags, 0600);
        EXPECT_EQ(row.opened, fd >= 0) << row.name;
        if (fd >= 0) {   // blocking again, and not inherited
            EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK) << row.name;
            EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << row.name;
            close(fd);
        }
    }
}

TEST(SafeFile, TrustsOnlyRealDirectoriesOthersCannotWrite)
{
    testing_support::TempDir dir;
    const std::string open = dir.File("open"), group = dir.File("group"), sticky = dir.File("sticky");
    const std::string link = dir.File("link");
    ASSERT_TRUE(mkdir(open.c_str(), 0700) == 0 && chmod(open.c_str(), 0777) == 0);
    ASSERT_TRUE(mkdir(group.c_str(), 0700) == 0 && chmod(group.c_str(), 0770) == 0);
    ASSERT_TRUE(mkdir(sticky.c_str(), 0700) == 0 && chmod(sticky.c_str(), 01777) == 0);
    ASSERT_EQ(0, symlink(dir.Path().c_str(), link.c_str()));
    testing_support::WriteFile(dir.File("file"), "");
    const struct { const char* name; std::string path; bool trusted; } rows[] = {
        {"our own, closed", dir.Path(), true},
        {"with trailing slashes", dir.Path() + "//", true},
        {"writable by others", open, false},
        {"writable by the group", group, false},
        {"sticky, trusted only when root's", sticky, geteuid() == 0},
        {"symlink to a good one", link, false},
        {"symlink with a trailing slash", link + "/", false},
        {"missing", dir.File("missing"), false},
        {"a file", dir.File("file"), false},
        {"the root", "/", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.trusted, SafeFile::IsTrustedDirectory(row.path.c_str())) << row.name;
}

}  // namespace
