#include "diagnostics/auto_provision_logger.h"

#include <cstdio>
#include <ctime>
#include <string>

CAutoProvisionLogger logger;

CAutoProvisionLogger::CAutoProvisionLogger() : mpLogStream(nullptr), mMutex(), mTraceOn(false)
{
    mpLogStream = new LogStream("autoprovisionclient.log", false, true, 2147483647, 1, 2048, false);
    GetLogLevel(&mTraceOn, nullptr);
}

CAutoProvisionLogger::~CAutoProvisionLogger()
{
    if (mpLogStream != nullptr)
        delete mpLogStream;
}

size_t FormatTimeStamp(const timeval& now, char* out)
{
    time_t seconds = now.tv_sec;
    struct tm local;
    char date[32] = {0};
    if (localtime_r(&seconds, &local) == nullptr || asctime_r(&local, date) == nullptr)
        date[0] = '\0';
    // asctime's layout ends in a line end after 24 characters; keep what precedes it.
    size_t length = 0;
    while (length < 24 && date[length] != '\0' && date[length] != '\n')
        ++length;
    int written = snprintf(out, TIME_STAMP_SIZE, "%.*s\t.%03ld ", static_cast<int>(length), date,
                           static_cast<long>(now.tv_usec / 1000) % 1000);
    return written < 0 ? 0 : static_cast<size_t>(written);
}

void CAutoProvisionLogger::TRACE(unsigned char level, bool stamp, const char* format, ...)
{
    if (!mTraceOn)
        return;

    std::string lineFormat;
    if (stamp) {
        timeval now;
        gettimeofday(&now, nullptr);
        char prefix[TIME_STAMP_SIZE];
        lineFormat.append(prefix, FormatTimeStamp(now, prefix));
    }
    lineFormat += format;

    va_list args;
    va_start(args, format);
    mMutex.Lock();
    try {
        mpLogStream->TRACE(level, lineFormat.c_str(), args, 0);
        mpLogStream->Flush();
    } catch (...) {
        mMutex.Unlock();
        va_end(args);
        throw;
    }
    mMutex.Unlock();
    va_end(args);
}
