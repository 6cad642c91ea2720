// SerializeConfig's cutting of a server answer: a stored file must hold a
// piece of the answer that starts with "<?xml", followed by one line end.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_support::FuzzClient& client = fuzz_support::Client();
    const ResponseString answer(reinterpret_cast<const char*>(data), size);
    client.mConfigFilePath.Set("");
    client.SerializeConfig(answer);

    const std::string path = client.mConfigFilePath.Get();
    if (path.empty())
        return 0;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream stored;
    stored << file.rdbuf();
    const std::string text = stored.str();
    if (text.compare(0, 5, "<?xml") != 0 || text.back() != '\n' ||
        answer.find(text.c_str(), 0, text.size() - 1) == ResponseString::npos)
        abort();
    unlink(path.c_str());
    return 0;
}
