#include "utility/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>

#include "utility/utility.h"

namespace SafeFile {

int OpenRegular(const char* path, int flags, mode_t mode)
{
    int fd = PlatformDetail::RetryOnInterrupt([&] { return open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode); });
    if (fd < 0)
        return -1;
    // Another user's file is not ours to write, even in a directory we trust.
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_uid != 0 && status.st_uid != geteuid())) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool IsTrustedDirectory(const char* dir)
{
    // Without its trailing slashes, so that lstat sees a symlink as one.
    char path[PATH_MAX];
    size_t length = 0;
    while (dir[length] != '\0' && length < sizeof(path) - 1) {
        path[length] = dir[length];
        ++length;
    }
    if (dir[length] != '\0')
        return false;
    while (length > 1 && path[length - 1] == '/')
        --length;
    path[length] = '\0';

    struct stat status;
    if (lstat(path, &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    const uid_t self = geteuid();
    if (status.st_uid != 0 && status.st_uid != self)
        return false;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return (status.st_mode & S_ISVTX) != 0 && status.st_uid == 0;
}

}  // namespace SafeFile
