// "autoprovision-fetch --check": one download exactly as the daemon makes it,
// then plain lines on what the device would do with the answer.
#ifndef FETCH_FETCH_CHECK_H
#define FETCH_FETCH_CHECK_H

#include <cstddef>
#include <ostream>
#include <string>

#include "configurator/zentro_configurator.h"
#include "fetch/fetch_client.h"

// Exit statuses of the check, one per verdict. When several apply, the
// first in this order is given: 4, 7, 8, 5, 9, 10, 11 (the usage and setup
// statuses 1 and 2 are those of the fetch).
enum CheckVerdict {
    CHECK_APPLIES = 0,          // stored and applied at once
    CHECK_INVALID_URL = 3,
    CHECK_REQUEST_FAILED = 4,   // no connection, send failure or no answer
    CHECK_NO_DOCUMENT = 5,      // the answer holds no "<?xml"
    CHECK_COMPRESSED = 7,       // Content-Encoding other than identity
    CHECK_CHUNKED = 8,          // Transfer-Encoding: chunked
    CHECK_REFUSED = 9,          // the configurator refuses it: not well-formed, or not the device's kind
    CHECK_ERROR_STATUS = 10,    // status not 2xx, yet a document is applied
    CHECK_IDLE_WAIT = 11,       // applied, but only after the idle time-out
};

// The parts of an answer's header that decide what the device gets. Field
// names are matched without regard to case; values are trimmed.
struct AnswerHeader {
    bool complete = false;        // the empty line that ends the header was seen
    size_t bytes = 0;             // header length including its empty line
    std::string statusLine;       // first line without its line end
    int statusCode = 0;           // 0 when the first line is no HTTP status line
    std::string contentEncoding;
    std::string transferEncoding;
    std::string connection;
    bool hasContentLength = false;
    long long contentLength = 0;
};

AnswerHeader ReadAnswerHeader(const std::string& answer);

// Runs the check of url with client (set up by the caller: MAC, a directory
// of its own, User-Agent line) and writes its lines to out. The daemon's
// trace lines of the download are shown there instead of being logged. The
// root element the document must have is read from device's factory or
// active file, as the configurator reads it.
int RunCheck(FetchClient& client, const std::string& url, std::ostream& out,
             const ConfigurationControl::ConfiguratorPaths& device);

#endif
