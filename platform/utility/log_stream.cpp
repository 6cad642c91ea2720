// Trace stream: expands trace texts and appends them to a size-bounded file,
// or hands them to the sink a test installed.
#include "utility/utility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config_file/config_file.h"
#include "utility/safe_file.h"

const char* const LogStream::LOG_DIRECTORY = "/var/log";
const long LogStream::MAX_FILE_SIZE = 256 * 1024;
const char* const TRACE_SWITCH_FILE = "/etc/autoprovisionclient.conf";

namespace {

using PlatformDetail::RetryOnInterrupt;
// A full disk or a closed console drops the rest of a line.
using PlatformDetail::WriteAll;

// The installed sink; null: each stream writes its own file. Its lock also
// guards every stream's file, and is held across the write so a sink cannot
// be removed while a text is on its way into it.
PlatformDetail::Overridable<LogSink*>& Sinks()
{
    static auto* sinks = new PlatformDetail::Overridable<LogSink*>(nullptr);
    return *sinks;
}

// Subscription ids and URLs are in the trace: owner and group only.
const mode_t LOG_FILE_MODE = 0640;

// Opens the trace file without following a symlink and without blocking on a
// FIFO; anything but a regular file counts as a failed open. A file of ours
// left wider by an older version is narrowed to LOG_FILE_MODE; a stricter
// mode an operator chose is kept.
int OpenLogFile(const std::string& path, int flags)
{
    int fd = SafeFile::OpenRegular(path.c_str(), flags, LOG_FILE_MODE);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
        (info.st_mode & 07777 & ~LOG_FILE_MODE) != 0) {
        fchmod(fd, info.st_mode & LOG_FILE_MODE);
    }
    return fd;
}

}  // namespace

ScopedLogSink::ScopedLogSink(LogSink* sink) : mOverride(Sinks(), sink)
{
}

LogStream::LogStream(const char* name, bool toConsole, bool append, int maxLevel, int backups,
                     unsigned int lineMax, bool /*stamp*/)
    : mPath(name != nullptr && name[0] == '/' ? std::string()
                                              : std::string(LOG_DIRECTORY) + "/"),
      mToConsole(toConsole),
      mAppend(append),
      mMaxLevel(maxLevel),
      mBackups(backups),
      mLineMax(lineMax),
      mFd(-1),
      mSize(0)
{
    mPath += name != nullptr ? name : "";
}

LogStream::~LogStream()
{
    if (mFd >= 0) {
        close(mFd);
    }
}

void LogStream::TRACE(unsigned char level, const char* format, va_list& args,
                      unsigned char /*reserved*/)
{
    if (static_cast<int>(level) > mMaxLevel || format == nullptr || mLineMax == 0) {
        return;
    }
    std::vector<char> buffer(mLineMax);
    va_list copy;
    va_copy(copy, args);
    int expanded = vsnprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (expanded < 0) {
        return;
    }
    size_t length = std::min(static_cast<size_t>(expanded), buffer.size() - 1);

    Sinks().With([&](LogSink* sink) { WriteText(sink, level, buffer.data(), length); });
}

// Called with the sinks' lock held.
void LogStream::WriteText(LogSink* sink, unsigned char level, const char* text, size_t length)
{
    if (sink != nullptr) {
        sink->Write(level, text, length);
        return;
    }
    if (mToConsole) {
        WriteAll(STDERR_FILENO, text, length);
    }
    if (mFd < 0) {
        // Opened at the first text; only that first open may truncate.
        mFd = OpenLogFile(mPath, O_WRONLY | O_CREAT | O_APPEND | (mAppend ? 0 : O_TRUNC));
        if (mFd < 0) {
            return;  // no log directory, or not a regular file: the text is dropped
        }
        mAppend = true;
        struct stat info;
        mSize = fstat(mFd, &info) == 0 ? static_cast<long>(info.st_size) : 0;
    }
    // Rotate before the file would pass the limit, so it never does.
    if (mSize > 0 && mSize + static_cast<long>(length) > MAX_FILE_SIZE) {
        Rotate();
        if (mFd < 0) {
            return;
        }
    }
    WriteAll(mFd, text, length);
    mSize += static_cast<long>(length);
}

void LogStream::Flush()
{
    // Nothing is buffered: TRACE writes with write(2), and fdatasync per line is too slow.
}

// Called with the sinks' lock held and the file open: the file becomes the one
// backup (replacing an older one), or is dropped when no backup is kept, and
// a new empty file takes its place.
void LogStream::Rotate()
{
    close(mFd);
    if (mBackups > 0) {
        rename(mPath.c_str(), (mPath + ".1").c_str());
    } else {
        unlink(mPath.c_str());
    }
    mFd = OpenLogFile(mPath, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
    mSize = 0;
}

bool GetLogLevel(bool* traceOn, bool* verbose)
{
    bool on = true;
    bool chatty = false;
    bool readable = true;
    try {
        Configuration::ConfigFile file(TRACE_SWITCH_FILE, false, true, true, ":", "#", nullptr);
        char value[64];
        if (file.GetEntry("trace", value, sizeof value)) {
            std::string word(value, strcspn(value, " \t"));
            for (char& c : word) {
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
            on = !(word == "off" || word == "0" || word == "no" || word == "false");
            chatty = word == "verbose";
        }
    } catch (const Configuration::ConfigException&) {
        readable = false;
    }
    if (traceOn != nullptr) {
        *traceOn = on;
    }
    if (verbose != nullptr) {
        *verbose = chatty;
    }
    return readable;
}
