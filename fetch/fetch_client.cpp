#include "fetch/fetch_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>

#include "utility/utility.h"

const char* const FetchClient::FALLBACK_USER_AGENT =
    "User-Agent: Tovix zentro-fxs 0 firmware=fetch\r\n";

namespace {

// Runs the daemon's User-Agent builder with standard error on /dev/null: on a
// PC the "cat" it starts complains about the missing /proc/vexa file.
class QuietStandardError {
public:
    QuietStandardError() : mSaved(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3))
    {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (mSaved >= 0 && null >= 0)
            dup2(null, STDERR_FILENO);
        if (null >= 0)
            close(null);
    }
    ~QuietStandardError()
    {
        if (mSaved >= 0) {
            dup2(mSaved, STDERR_FILENO);
            close(mSaved);
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int mSaved;
};

bool LastByteIsLineEnd(const std::string& path, off_t size)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char last = 0;
    const bool ok = size > 0 && pread(fd, &last, 1, size - 1) == 1 && last == '\n';
    close(fd);
    return ok;
}

}  // namespace

FetchClient::FetchClient(const std::string& mac, const std::string& directory)
    : mDirectory(directory), mStoredBytes(0), mAnswerSeen(false), mAnswerBytes(0), mElapsedMs(0)
{
    if (mDirectory.empty() || mDirectory.back() != '/')
        mDirectory += '/';
    mMACAddress.Set(mac);
}

bool FetchClient::PrepareUserAgent()
{
    // Without the device's line-number file (on a PC) the daemon's builder can
    // only fail, after starting a shell and "cat": skip those two processes.
    if (access(LINE_NUMBER_FILE, F_OK) != 0) {
        mUserAgent = FALLBACK_USER_AGENT;
        return false;
    }
    QuietStandardError quiet;
    if (MakeUpUserAgentName())
        return true;
    mUserAgent = FALLBACK_USER_AGENT;
    return false;
}

// The same name SerializeConfig builds, known before the fetch so that the
// file's state can be compared before and after.
std::string FetchClient::StoredPath() const
{
    return ConfigDirectory() + AutoProvision::_CONFIG_FILE_PREFIX_ + mMACAddress.Get() + ".cfg";
}

FetchResult FetchClient::Fetch(const std::string& url)
{
    if (!ParseURL(url, mParams))
        return FETCH_INVALID_URL;
    const std::string path = StoredPath();
    struct stat before = {};
    const bool existed = stat(path.c_str(), &before) == 0;

    mAnswerSeen = false;
    mAnswerBytes = 0;
    mAnswerStart.clear();
    const auto start = std::chrono::steady_clock::now();
    const bool sent = SendConfigRequest(mParams);
    mElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                     .count();
    if (!sent)
        return FETCH_REQUEST_FAILED;
    // SerializeConfig sets the path only once it has found a document.
    if (mConfigFilePath.Get().empty())
        return FETCH_NO_DOCUMENT;
    return WasWritten(path, before, existed) ? FETCH_STORED : FETCH_NOT_WRITTEN;
}

// SerializeConfig does not report a failed open or write. The file counts as
// written when it is new or changed (another inode or change time) and ends
// with the line end that is written only after the whole document.
bool FetchClient::WasWritten(const std::string& path, const struct stat& before, bool existed)
{
    struct stat after = {};
    if (stat(path.c_str(), &after) != 0)
        return false;
    const bool changed = !existed || after.st_ino != before.st_ino || after.st_dev != before.st_dev ||
                         after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                         after.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
    if (!changed || !LastByteIsLineEnd(path, after.st_size))
        return false;
    mStoredBytes = static_cast<long long>(after.st_size);
    return true;
}

void FetchClient::SerializeConfig(const ResponseString& response)
{
    mAnswerSeen = true;
    mAnswerBytes = response.size();
    // Only the header: a copy of the start of a large body would cost more
    // than the rest of a small download.
    const std::string_view start(response.data(), std::min(response.size(), KEPT_ANSWER_BYTES));
    size_t kept = start.size();
    const size_t crlf = start.find("\r\n\r\n");
    const size_t lf = start.find("\n\n");
    if (crlf != std::string_view::npos)
        kept = crlf + 4;
    if (lf != std::string_view::npos && lf + 2 < kept)
        kept = lf + 2;
    mAnswerStart.assign(start.data(), kept);
    AutoProvisionClient::SerializeConfig(response);
}
