// The provisioning server's log: one time-stamped line per event, and every
// message it receives shown whole, on stdout or in a file. Lines are
// buffered until Flush, which the server calls once it is open and whenever
// it goes back to waiting: the log is complete whenever the server is idle,
// at the cost of one write per round of its loop instead of one per line.
#ifndef PNP_SERVER_EVENT_LOG_H
#define PNP_SERVER_EVENT_LOG_H

#include <time.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace Pnp {

class EventLog {
public:
    EventLog();    // stdout
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Appends to path instead of stdout. False with a message when it cannot be opened.
    bool OpenFile(const std::string& path, std::string& error);

    // One line: "HH:MM:SS.mmm text".
    void Line(const std::string& text);

    // A title line, then each line of data indented by "    | ". Line ends
    // (CRLF or LF) are dropped and other control bytes shown as \xNN, so the
    // log shows every byte that came in.
    void Message(const std::string& title, const char* data, size_t length);

    // Writes out what is buffered.
    void Flush();

private:
    // Appends "HH:MM:SS.mmm " of the local time. The "HH:MM:SS." part is
    // worked out once a second: a rack's burst logs thousands of lines in one.
    void AppendTimeStamp(std::string& out);

    std::FILE* mpFile;
    bool mOwnsFile;
    time_t mClockSecond;
    char mClock[16];
};

}  // namespace Pnp

#endif
