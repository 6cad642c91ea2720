#include "testing/test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fstream>
#include <thread>
#include <sstream>
#include <stdexcept>

namespace testing_support {

LogCapture::LogCapture() : mScope(this) {}

LogCapture::~LogCapture() = default;

void LogCapture::Write(unsigned char level, const char* text, size_t length)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.push_back(TraceLine{level, std::string(text, length)});
}

std::vector<TraceLine> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
}

std::vector<std::string> LogCapture::Texts() const
{
    std::vector<std::string> texts;
    for (TraceLine& line : Lines()) {
        StripTimeStamp(line.text);
        texts.push_back(line.text);
    }
    return texts;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.clear();
}

bool StripTimeStamp(std::string& text)
{
    // 24 characters of date, "\t.", three digits, one blank.
    const size_t stampLength = 24 + 2 + 3 + 1;
    if (text.size() < stampLength || text.compare(24, 2, "\t.") != 0 || text[29] != ' ')
        return false;
    text.erase(0, stampLength);
    return true;
}

static void RemoveTree(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            std::string child = path + "/" + entry->d_name;
            struct stat info;
            if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                RemoveTree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
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
    RemoveTree(mPath);
}

bool WaitUntil(const std::function<bool()>& done, int boundMs, int stepMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
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

FakeNetCheck::FakeNetCheck() : mMac("001122334455"), mIp("192.0.2.10"), mMacLookups(0), mScope(this) {}

FakeNetCheck::~FakeNetCheck() = default;

// The device's addresses belong to "eth1"; other interfaces have none.
std::string FakeNetCheck::MacAddress(const std::string& ifname)
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mMacLookups;
    return ifname == "eth1" ? mMac : std::string();
}

bool FakeNetCheck::IpAddress(const std::string& ifname, std::string& ip, std::string& mask)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mIp.empty() || ifname != "eth1")
        return false;
    ip = mIp;
    mask = "255.255.255.0";
    return true;
}

void FakeNetCheck::SetMac(const std::string& mac)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mMac = mac;
}

void FakeNetCheck::SetIp(const std::string& ip)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mIp = ip;
}

int FakeNetCheck::MacLookups() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mMacLookups;
}

RecordingConfigurator::RecordingConfigurator(bool openSucceeds)
    : mOpenSucceeds(openSucceeds), mScope(this)
{
}

RecordingConfigurator::~RecordingConfigurator() = default;

bool RecordingConfigurator::Open()
{
    Record("GetInstance");
    return mOpenSucceeds;
}

void RecordingConfigurator::Close()
{
    Record("CloseInstance");
}

bool RecordingConfigurator::SetConfigFilePath(const std::string& path)
{
    Record("SetConfigFilePath " + path);
    return true;
}

bool RecordingConfigurator::Start()
{
    Record("Start");
    return true;
}

bool RecordingConfigurator::Reboot()
{
    Record("Reboot");
    return true;
}

bool RecordingConfigurator::ResetConfiguration()
{
    Record("ResetConfiguration");
    return true;
}

std::vector<std::string> RecordingConfigurator::Calls() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mCalls;
}

void RecordingConfigurator::Record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mCalls.push_back(call);
}

}  // namespace testing_support
