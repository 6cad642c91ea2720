// The configuration-file reader on any file content, with the flag
// combinations its callers use, chosen by the first byte.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "config_file/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fuzz_support::TempDir directory("apc-fuzz-config");
    static const std::string path = directory.path + "/fuzz.conf";
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        const Configuration::ConfigFile config(path.c_str(), false, (flags & 1) != 0,
                                               (flags & 2) != 0, (flags & 4) ? ":=" : ":", "#",
                                               nullptr);
        // An entry comes back terminated within the buffer, small or large.
        for (const char* key : {"Version", "version", "trace", "", "Version "}) {
            char small[8], large[256];
            memset(small, 'x', sizeof(small));
            config.GetEntry(key, small, sizeof(small));
            config.GetEntry(key, large, sizeof(large));
            if (memchr(small, '\0', sizeof(small)) == nullptr || memchr(large, '\0', sizeof(large)) == nullptr)
                abort();
        }
    } catch (const Configuration::ConfigException&) {
        abort();   // the file was just written: reading it must work
    }
    // Removed rather than truncated next time: rewriting a truncated file
    // makes the file system flush it at every close, which is slow.
    unlink(path.c_str());
    return 0;
}
