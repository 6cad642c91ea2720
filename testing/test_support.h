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
    LogCapture();
    ~LogCapture() override;
    void Write(unsigned char level, const char* text, size_t length) override;

    std::vector<TraceLine> Lines() const;
    // The texts with a time stamp removed, in order.
    std::vector<std::string> Texts() const;
    void Clear();

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
    FakeNetCheck();
    ~FakeNetCheck() override;
    std::string MacAddress(const std::string& ifname) override;
    bool IpAddress(const std::string& ifname, std::string& ip, std::string& mask) override;

    void SetMac(const std::string& mac);
    void SetIp(const std::string& ip);   // empty: the lookup fails
    int MacLookups() const;

private:
    mutable std::mutex mMutex;
    std::string mMac;
    std::string mIp;
    int mMacLookups;
    ScopedNetCheckBackend mScope;
};

// Records every configurator call as a text, such as "Start" or
// "SetConfigFilePath /tmp/x".
class RecordingConfigurator : public ConfigurationControl::ConfiguratorBackend {
public:
    explicit RecordingConfigurator(bool openSucceeds = true);
    ~RecordingConfigurator() override;
    bool Open() override;
    void Close() override;
    bool SetConfigFilePath(const std::string& path) override;
    bool Start() override;
    bool Reboot() override;
    bool ResetConfiguration() override;

    std::vector<std::string> Calls() const;

private:
    void Record(const std::string& call);

    bool mOpenSucceeds;
    mutable std::mutex mMutex;
    std::vector<std::string> mCalls;
    ConfigurationControl::ScopedConfiguratorBackend mScope;
};

}  // namespace testing_support

#endif
