// Opening files for writing in directories that other users may reach: never
// through a symlink, never blocking on a FIFO or device, only regular files.
#ifndef PLATFORM_SAFE_FILE_H
#define PLATFORM_SAFE_FILE_H

#include <sys/types.h>

namespace SafeFile {

// Opens path with flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC (mode for
// O_CREAT), then checks with fstat that it is a regular file owned by root or
// by this process's effective user, and clears O_NONBLOCK again. Returns the
// descriptor, or -1 when the last component is a symlink, the file is anything
// else, or the open fails. O_TRUNC would cut a refused file before
// the check: callers truncate with ftruncate after it.
// Async-signal-safe: only open, fstat, fcntl and close.
int OpenRegular(const char* path, int flags, mode_t mode);

// True when dir is a real directory (not a symlink) owned by root or by this
// process's effective user, and not writable by group or others unless it is
// sticky and owned by root. Async-signal-safe: only lstat and geteuid.
bool IsTrustedDirectory(const char* dir);

}  // namespace SafeFile

#endif
