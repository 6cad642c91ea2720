// Splitting a provisioning URL into the configurator's download request record.
#include <string>

#include "core/auto_provision_client.h"

using ConfigurationControl::RequestParams;
using ConfigurationControl::downloadMethods;
using ConfigurationControl::DOWNLOAD_METHOD_HTTP;
using ConfigurationControl::DOWNLOAD_METHOD_HTTPS;

// A plain left-to-right cut: scheme before the first "://", host up to the
// next "/", path after it. No decoding, no case folding, no port extraction.
bool AutoProvisionClient::ParseURL(const std::string& url, RequestParams& params)
{
    static const char SCHEME_END[] = "://";
    static const size_t SCHEME_END_LENGTH = sizeof(SCHEME_END) - 1;

    std::string work(url);
    StringUtils::Trim(work, " \t", true, true);

    const size_t schemeLength = work.find(SCHEME_END);
    if (schemeLength == std::string::npos)
        return false;

    // An unknown scheme is not rejected; it counts as the first entry, http.
    params.downloadMethod = DOWNLOAD_METHOD_HTTP;
    if (work.compare(0, schemeLength, downloadMethods[DOWNLOAD_METHOD_HTTP]) != 0 &&
        work.compare(0, schemeLength, downloadMethods[DOWNLOAD_METHOD_HTTPS]) == 0)
        params.downloadMethod = DOWNLOAD_METHOD_HTTPS;

    work.erase(0, schemeLength + SCHEME_END_LENGTH);

    const size_t slash = work.find('/');
    if (slash == std::string::npos)
        return true;

    params.host.assign(work, 0, slash);
    params.path.assign(work, slash + 1, std::string::npos);
    return true;
}
