// Writing the provisioning server's log.
#include "pnp_server/event_log.h"

#include <time.h>

namespace Pnp {

namespace {

// Above what one round of the server's loop logs, mostly.
const size_t BUFFER_BYTES = 64 * 1024;

std::string TimeStamp()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

void AppendVisible(std::string& out, const char* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if ((c >= 0x20 && c < 0x7f) || c == '\t') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        }
    }
}

}  // namespace

EventLog::EventLog() : mpFile(stdout), mOwnsFile(false)
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
    std::string line = TimeStamp() + " ";
    AppendVisible(line, text.data(), text.size());
    line += '\n';
    std::fputs(line.c_str(), mpFile);
}

void EventLog::Message(const std::string& title, const char* data, size_t length)
{
    std::string block = TimeStamp() + " " + title + "\n";
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
