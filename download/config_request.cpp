// The HTTP/1.1 GET request for the configuration file.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"

using ConfigurationControl::RequestParams;

namespace {

const char ACCEPT[] =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-icq, */*\r\n";
const char ACCEPT_LANGUAGE[] = "Accept-Language: en-ru\r\n";
const char ACCEPT_ENCODING[] = "Accept-Encoding: gzip, deflate\r\n";
const char CONNECTION[] = "Connection: Keep-Alive\r\n\r\n";
static_assert(sizeof(ACCEPT) - 1 == 85, "Accept line");
static_assert(sizeof(ACCEPT_LANGUAGE) - 1 == 24, "Accept-Language line");
static_assert(sizeof(ACCEPT_ENCODING) - 1 == 32, "Accept-Encoding line");
static_assert(sizeof(CONNECTION) - 1 == 26, "Connection line and empty line");

const size_t REQUEST_BUFFER_SIZE = 1024;

// Formats the request into out (size bytes, may be 0 with out null) and
// returns the full length of the text, as snprintf does.
int FormatRequest(char* out, size_t size, const RequestParams& params, const std::string& userAgent)
{
    return snprintf(out, size, "GET /%s HTTP/1.1\r\n%s%s%s%sHost: %s\r\n%s",
                    params.path.c_str(), ACCEPT, ACCEPT_LANGUAGE, ACCEPT_ENCODING,
                    userAgent.c_str(), params.host.c_str(), CONNECTION);
}

}  // namespace

bool AutoProvisionClient::SendConfigRequest(const RequestParams& params)
{
    try {
        // A request longer than the 1024-byte stack buffer gets a heap buffer
        // of its exact size instead: the text is never cut nor written past.
        const int length = FormatRequest(nullptr, 0, params, mUserAgent);
        if (length < 0)
            throw std::length_error("request text");
        char stackBuffer[REQUEST_BUFFER_SIZE];
        std::vector<char> heapBuffer;
        char* request = stackBuffer;
        const size_t needed = static_cast<size_t>(length) + 1;
        if (needed <= sizeof(stackBuffer)) {
            memset(stackBuffer, 0, sizeof(stackBuffer));
        } else {
            heapBuffer.assign(needed, '\0');
            request = heapBuffer.data();
        }
        FormatRequest(request, needed, params, mUserAgent);

        BsdSocket socket(true);
        SockAddr address(params.host.c_str(), params.port.c_str());

        // The request ends at its first failure, with that failure's line.
        if (socket.CreateTCPSocket(false, address, 0, 0) != 1) {
            socket.Close();
            logger.TRACE(0, true, "Failed to establish connection with host[%s:%s]\n",
                         params.host.c_str(), params.port.c_str());
            return false;
        }
        if (socket.Send(request, length, 10, 0) == 0) {
            socket.Close();
            logger.TRACE(0, true, "Failed to send data\n");
            return false;
        }

        ResponseString response;
        if (!ReceiveConfiguration(socket, response)) {
            logger.TRACE(0, true, "Failed to recieve configuration\n");
            return false;
        }
        SerializeConfig(response);
        return true;
    } catch (...) {
        logger.TRACE(0, true, "Failed to establish connection with host[%s:%s]\n",
                     params.host.c_str(), params.port.c_str());
        return false;
    }
}
