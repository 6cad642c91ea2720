#include "testing/test_support.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

bool StripTimeStamp(std::string& text)
{
    // 24 characters of date, "\t.", three digits, one blank.
    const size_t stampLength = 24 + 2 + 3 + 1;
    if (text.size() < stampLength || text.compare(24, 2, "\t.") != 0 || text[29] != ' ')
        return false;
    text.erase(0, stampLength);
    return true;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/apc-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

bool WaitUntil(const std::function<bool()>& done, int boundMs, int stepMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(stepMs))) {
        if (std::chrono::steady_clock::now() > end)
            return false;
    }
    return true;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace testing_support
