// ParseURL on any text: it must not crash, and what it accepts keeps the
// host and path inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string url(reinterpret_cast<const char*>(data), size);
    ConfigurationControl::RequestParams params;
    if (fuzz_support::Client().ParseURL(url, params)) {
        if (url.find(params.host) == std::string::npos || url.find(params.path) == std::string::npos)
            abort();
        if (params.downloadMethod != 0 && params.downloadMethod != 1)
            abort();
    }
    return 0;
}
