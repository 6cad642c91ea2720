// The daemon's trace log: one process-wide logger that stamps and serialises
// trace texts and hands them to the utility library's stream.
#ifndef DIAGNOSTICS_AUTO_PROVISION_LOGGER_H
#define DIAGNOSTICS_AUTO_PROVISION_LOGGER_H

#include <sys/time.h>

#include <cstddef>

#include "utility/utility.h"

class CAutoProvisionLogger {
public:
    // Creates the stream "autoprovisionclient.log" and reads the trace switch.
    CAutoProvisionLogger();
    ~CAutoProvisionLogger();
    CAutoProvisionLogger(const CAutoProvisionLogger&) = delete;
    CAutoProvisionLogger& operator=(const CAutoProvisionLogger&) = delete;

    // Writes one trace text: the optional time stamp followed by format
    // expanded with the arguments. Adds no line end. Safe from any thread;
    // with tracing off it returns before touching anything.
    void TRACE(unsigned char level, bool stamp, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

private:
    LogStream* mpLogStream;
    ThreadMutex mMutex;
    bool mTraceOn;
};

// Renders the stamp "Www Mmm dd hh:mm:ss yyyy\t.mmm " for now in local time
// into out (at least TIME_STAMP_SIZE bytes). Returns its length.
const size_t TIME_STAMP_SIZE = 40;
size_t FormatTimeStamp(const timeval& now, char* out);

extern CAutoProvisionLogger logger;

#endif
