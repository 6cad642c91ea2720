#include "utility/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

TEST(SafeFile, OpensOnlyRegularFilesOfOursWithoutFollowingOrBlocking)
{
    TempDir dir;
    const std::string file = dir.File("file"), link = dir.File("link"), fifo = dir.File("fifo");
    WriteFile(file, "x");
    ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const bool root = geteuid() == 0;
    const std::string foreign = dir.File("foreign");
    WriteFile(foreign, "y");
    if (root) {
        ASSERT_EQ(0, chown(foreign.c_str(), 65534, 65534));
    }
    // name, path, flags, opened
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
        SCOPED_TRACE(row.name);
        const int fd = SafeFile::OpenRegular(row.path.c_str(), row.flags, 0600);
        EXPECT_EQ(row.opened, fd >= 0);
        if (fd < 0)
            continue;
        EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
        close(fd);
    }
}

TEST(SafeFile, TrustsOnlyRealDirectoriesOthersCannotWrite)
{
    TempDir dir;
    const std::string open = dir.File("open"), sticky = dir.File("sticky"), link = dir.File("link");
    for (const std::string& path : {open, sticky})
        ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    ASSERT_EQ(0, chmod(sticky.c_str(), 01777));
    ASSERT_EQ(0, symlink(dir.Path().c_str(), link.c_str()));
    WriteFile(dir.File("file"), "");
    // name, directory, trusted
    const struct { const char* name; std::string path; bool trusted; } rows[] = {
        {"our own, closed", dir.Path(), true},
        {"with trailing slashes", dir.Path() + "//", true},
        {"writable by others", open, false},
        {"sticky, trusted only when root's", sticky, geteuid() == 0},
        {"symlink to a good one", link, false},
        {"symlink with a trailing slash", link + "/", false},
        {"missing", dir.File("missing"), false},
        {"a file", dir.File("file"), false},
        {"the root", "/", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.trusted, SafeFile::IsTrustedDirectory(row.path.c_str()));
    }
}

}  // namespace
