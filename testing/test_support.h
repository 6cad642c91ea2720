// Test doubles and fixtures for the client's tests.
#ifndef TESTING_TEST_SUPPORT_H
#define TESTING_TEST_SUPPORT_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net_check/net_check.h"
#include "utility/utility.h"
#include "configurator/zentro_configurator.h"

namespace testing_support {

// One trace text as the stream received it.
struct TraceLine {
    unsigned char level;
    std::string text;
};

// Captures every trace text for the life of the object.
class LogCapture : public LogSink {
public:
    LogCapture() : mScope(this) {}
    void Write(unsigned char level, const char* text, size_t length) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.push_back(TraceLine{level, std::string(text, length)});
    }
    std::vector<TraceLine> Lines() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLines.clear();
    }

private:
    mutable std::mutex mMutex;
    std::vector<TraceLine> mLines;
    ScopedLogSink mScope;
};

// Removes a leading "Www Mmm dd hh:mm:ss yyyy\t.mmm " stamp; returns whether
// one was there.
bool StripTimeStamp(std::string& text);

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return mPath; }
    std::string File(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Polls done every stepMs until it holds (true) or boundMs have passed (false).
bool WaitUntil(const std::function<bool()>& done, int boundMs, int stepMs = 2);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Addresses of "eth1" chosen by the test; other interfaces have none.
class FakeNetCheck : public NetCheckBackend {
public:
    FakeNetCheck() : mScope(this) {}
    std::string MacAddress(const std::string& ifname) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return ifname == "eth1" ? mMac : std::string();
    }
    bool IpAddress(const std::string& ifname, std::string& ip, std::string& mask) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mIp.empty() || ifname != "eth1")
            return false;
        ip = mIp;
        mask = "255.255.255.0";
        return true;
    }

    void SetMac(const std::string& mac) { std::lock_guard<std::mutex> lock(mMutex); mMac = mac; }
    void SetIp(const std::string& ip) { std::lock_guard<std::mutex> lock(mMutex); mIp = ip; }   // "": no address

private:
    std::mutex mMutex;
    std::string mMac = "001122334455";
    std::string mIp = "192.0.2.10";
    ScopedNetCheckBackend mScope;
};

// Records every configurator call as a text, such as "Start" or
// "SetConfigFilePath /tmp/x".
class RecordingConfigurator : public ConfigurationControl::ConfiguratorBackend {
public:
    explicit RecordingConfigurator(bool openSucceeds = true) : mOpenSucceeds(openSucceeds), mScope(this) {}
    bool Open() override { return Record("GetInstance") && mOpenSucceeds; }
    void Close() override { Record("CloseInstance"); }
    bool SetConfigFilePath(const std::string& path) override { return Record("SetConfigFilePath " + path); }
    bool Start() override { return Record("Start"); }
    bool Reboot() override { return Record("Reboot"); }
    bool ResetConfiguration() override { return Record("ResetConfiguration"); }

    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }

private:
    bool Record(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mCalls.push_back(call);
        return true;
    }

    bool mOpenSucceeds;
    mutable std::mutex mMutex;
    std::vector<std::string> mCalls;
    ConfigurationControl::ScopedConfiguratorBackend mScope;
};

}  // namespace testing_support

#endif
