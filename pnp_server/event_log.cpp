// Writing the provisioning server's log.
#include "pnp_server/event_log.h"

#include <time.h>

namespace Pnp {

namespace {

// Above what one round of the server's loop logs, mostly.
const size_t BUFFER_BYTES = 64 * 1024;

bool Visible(unsigned char c)
{
    return (c >= 0x20 && c < 0x7f) || c == '\t';
}

// Runs of visible bytes are copied whole; the others are written as \xNN.
void AppendVisible(std::string& out, const char* data, size_t length)
{
    static const char HEX[] = "0123456789abcdef";
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (Visible(c))
            continue;
        out.append(data + start, i - start);
        const char escaped[] = {'\\', 'x', HEX[c >> 4], HEX[c & 15]};
        out.append(escaped, sizeof(escaped));
        start = i + 1;
    }
    out.append(data + start, length - start);
}

}  // namespace

void EventLog::AppendTimeStamp(std::string& out)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != mClockSecond) {
        tm local;
        localtime_r(&now.tv_sec, &local);
        std::snprintf(mClock, sizeof(mClock), "%02d:%02d:%02d.", local.tm_hour, local.tm_min, local.tm_sec);
        mClockSecond = now.tv_sec;
    }
    const long ms = now.tv_nsec / 1000000;
    const char digits[] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                           static_cast<char>('0' + ms % 10), ' '};
    out += mClock;
    out.append(digits, sizeof(digits));
}

EventLog::EventLog() : mpFile(stdout), mOwnsFile(false), mClockSecond(-1), mClock()
{
    setvbuf(stdout, nullptr, _IOFBF, BUFFER_BYTES);
}

EventLog::~EventLog()
{
    if (mOwnsFile)
        std::fclose(mpFile);
}

bool EventLog::OpenFile(const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "ae");   // "e": O_CLOEXEC
    if (file == nullptr) {
        error = "cannot open log " + path;
        return false;
    }
    setvbuf(file, nullptr, _IOFBF, BUFFER_BYTES);
    if (mOwnsFile)
        std::fclose(mpFile);
    mpFile = file;
    mOwnsFile = true;
    return true;
}

void EventLog::Line(const std::string& text)
{
    std::string line;
    line.reserve(text.size() + 20);
    AppendTimeStamp(line);
    AppendVisible(line, text.data(), text.size());
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), mpFile);
}

void EventLog::Message(const std::string& title, const char* data, size_t length)
{
    std::string block;
    block.reserve(title.size() + length + length / 16 + 32);
    AppendTimeStamp(block);
    block += title;
    block += '\n';
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && data[end] != '\n')
            ++end;
        size_t visible = end;
        if (visible > start && data[visible - 1] == '\r')
            --visible;
        block += "    | ";
        AppendVisible(block, data + start, visible - start);
        block += '\n';
        start = end + 1;
    }
    std::fwrite(block.data(), 1, block.size(), mpFile);
}

void EventLog::Flush()
{
    std::fflush(mpFile);
}

}  // namespace Pnp
