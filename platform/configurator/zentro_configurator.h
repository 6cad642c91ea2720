// Configurator library: applies a stored configuration file to the device and
// carries out configuration commands.
#ifndef PLATFORM_ZENTRO_CONFIGURATOR_H
#define PLATFORM_ZENTRO_CONFIGURATOR_H

#include <mutex>
#include <string>

#include "utility/scoped_override.h"

namespace ConfigurationControl {

// Command words, in this order: reset, update (subscribe anew), reboot, status.
extern const char* const configCommands[4];
const int CONFIG_COMMAND_RESET = 0;
const int CONFIG_COMMAND_UPDATE = 1;
const int CONFIG_COMMAND_REBOOT = 2;
const int CONFIG_COMMAND_STATUS = 3;
// URL schemes, in this order: http, https, tftp, ftp.
extern const char* const downloadMethods[4];
const int DOWNLOAD_METHOD_HTTP = 0;
const int DOWNLOAD_METHOD_HTTPS = 1;
const int DOWNLOAD_METHOD_TFTP = 2;
const int DOWNLOAD_METHOD_FTP = 3;

// One download request.
class RequestParams {
public:
    RequestParams() : downloadMethod(0), port("80") {}
    ~RequestParams() {}

    int downloadMethod;        // index into downloadMethods
    std::string userName;      // not used by the client
    std::string password;      // not used by the client
    std::string host;          // authority of the URL, port included when given
    std::string port;          // service to connect to, "80" unless set
    std::string fileName;      // not used by the client
    std::string path;          // path after the host, without its leading '/'
};

// Where the configurator keeps its files and what it runs.
struct ConfiguratorPaths {
    std::string activeFile;     // the device's active configuration
    std::string previousFile;   // the active file before the last apply
    std::string factoryFile;    // the factory configuration
    std::string applyHook;      // executable run after an apply, if present
    std::string rebootCommand;  // shell command that reboots the device
    int childTimeoutMs = 60 * 1000;   // longest the hook or the reboot command runs before it is killed
};

// The device's paths: /etc/zentro/active.cfg, /etc/zentro/previous.cfg,
// /etc/zentro/factory.cfg, /usr/libexec/zentro/apply-config, "/sbin/reboot".
ConfiguratorPaths DefaultConfiguratorPaths();

// The root element a configuration must have on a device with these paths:
// that of the factory file, else that of the active file (read from their
// first 64 KiB). Empty when neither has one: such a device has nothing to tell
// its kind by, and taking any document beats leaving it unprovisioned. from,
// when given, gets the file the name came from.
std::string ExpectedRootElement(const ConfiguratorPaths& paths, std::string* from = nullptr);

// "root element <root>, expected <expected>" when a document with root element
// root is not of the kind expected (ExpectedRootElement); empty when it is.
std::string ForeignRoot(const std::string& root, const std::string& expected);

// What the configurator does. The default applies files on the device under
// DefaultConfiguratorPaths(); tests swap in a recorder or a backend on a
// temporary directory with ScopedConfiguratorBackend.
class ConfiguratorBackend {
public:
    virtual ~ConfiguratorBackend() = default;
    virtual bool Open() = 0;    // GetInstance; false makes it return null
    virtual void Close() = 0;   // CloseInstance
    virtual bool SetConfigFilePath(const std::string& path) = 0;
    virtual bool Start() = 0;
    virtual bool Reboot() = 0;
    virtual bool ResetConfiguration() = 0;
};

// The real configurator on a set of paths.
class FileConfiguratorBackend : public ConfiguratorBackend {
public:
    explicit FileConfiguratorBackend(const ConfiguratorPaths& paths);
    bool Open() override;
    void Close() override;
    bool SetConfigFilePath(const std::string& path) override;
    // Installs the file and runs the apply hook on the active file. A file
    // that is not one well-formed XML document (XmlCheck::CheckDocument, at
    // most XmlCheck::MAX_DOCUMENT_BYTES) is refused: nothing is touched and
    // the system log gets its path, byte offset and reason. So is a document
    // whose root element is not ExpectedRootElement(paths). A file
    // byte-identical to the active one is taken as applied: no rename, no
    // hook. Otherwise it is written to a temporary file beside the active
    // one (whose directory is created when missing), the active one is kept
    // as the previous one, the new one is renamed into place and the hook
    // runs. When the hook fails or runs too long, the previous file is
    // installed again as the active one and the hook runs on it. Every
    // refusal and failure gets a system-log line. False when the file is
    // refused or not installed, or when its hook failed.
    bool Start() override;
    // Runs rebootCommand with /bin/sh -c and waits for it; true when it exits 0.
    bool Reboot() override;
    // Installs the factory file as the active one (same steps as Start).
    bool ResetConfiguration() override;

protected:
    // Writes one line to the system log (syslog(3), facility LOG_USER).
    // Called with the install lock held.
    virtual void SystemLog(int priority, const std::string& line);

private:
    bool Install(const std::string& source);
    bool IsActive(const std::string& content) const;
    bool Replace(const std::string& content, std::string& failure);
    bool MakeDirectoryOf(const std::string& path, std::string& failure);
    void SyncDirectoryOf(const std::string& path);
    bool ApplyHook(std::string& failure);
    void GoBack(const std::string& failure);

    std::mutex mMutex;   // one install at a time: they share the ".new" file
    ConfiguratorPaths mPaths;
    std::string mConfigFilePath;
};

// Makes backend the process-wide one for the life of this object (null: the
// default one); scopes nest. The backend must outlive it.
class ScopedConfiguratorBackend {
public:
    explicit ScopedConfiguratorBackend(ConfiguratorBackend* backend);

private:
    PlatformDetail::ScopedOverride<ConfiguratorBackend*> mOverride;
};

class ZentroConfigurator {
public:
    // The instance, or null when the configurator cannot be opened.
    static ZentroConfigurator* GetInstance();
    static void CloseInstance();

    bool SetConfigFilePath(const std::string& path);
    bool Start();
    bool Reboot();
    bool ResetConfiguration();

private:
    ZentroConfigurator() = default;
};

}  // namespace ConfigurationControl

#endif
