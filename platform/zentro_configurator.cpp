// Configurator: installs configuration files atomically and runs the device's
// apply hook and reboot command.
#include "platform/zentro_configurator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/utility.h"

namespace ConfigurationControl {

const char* const configCommands[4] = {"reset", "update", "reboot", "status"};
const char* const downloadMethods[4] = {"http", "https", "tftp", "ftp"};

ConfiguratorPaths DefaultConfiguratorPaths()
{
    ConfiguratorPaths paths;
    paths.activeFile = "/etc/zentro/active.cfg";
    paths.previousFile = "/etc/zentro/previous.cfg";
    paths.factoryFile = "/etc/zentro/factory.cfg";
    paths.applyHook = "/usr/libexec/zentro/apply-config";
    paths.rebootCommand = "/sbin/reboot";
    return paths;
}

namespace {


// Longest a configuration file may be; anything longer is refused.
const size_t MAX_FILE_SIZE = 16 * 1024 * 1024;
// Longest the apply hook or the reboot command may run before it is killed.
const int CHILD_TIMEOUT_MS = 60 * 1000;
const char XML_START[] = "<?xml";

bool ReadWholeFile(const std::string& path, std::string& content)
{
    int fd = PlatformDetail::RetryOnInterrupt([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0)
        return false;
    content.clear();
    char buffer[4096];
    bool ok = true;
    for (;;) {
        ssize_t got = PlatformDetail::RetryOnInterrupt([&] { return read(fd, buffer, sizeof(buffer)); });
        if (got < 0 || content.size() + static_cast<size_t>(got) > MAX_FILE_SIZE) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return ok;
}

// Writes content to path and forces it to the disk before returning true.
bool WriteSynced(const std::string& path, const std::string& content)
{
    int fd = PlatformDetail::RetryOnInterrupt([&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); });
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0;   // the exact mode, whatever the umask
    size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t put = PlatformDetail::RetryOnInterrupt([&] { return write(fd, content.data() + done, content.size() - done); });
        if (put <= 0)
            ok = false;
        else
            done += static_cast<size_t>(put);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok;
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename in the directory of path durable.
void SyncDirectoryOf(const std::string& path)
{
    int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Waits for child pid, at most timeoutMs when the kernel offers process
// descriptors (a child still running then is killed); true when it exited 0.
bool WaitForChild(pid_t pid, int timeoutMs)
{
    bool killed = false;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd entry;
        entry.fd = pidfd;
        entry.events = POLLIN;
        entry.revents = 0;
        if (PlatformDetail::RetryOnInterrupt([&] { return poll(&entry, 1, timeoutMs); }) == 0) {
            kill(pid, SIGKILL);
            killed = true;
        }
        close(pidfd);
    }
    int status = 0;
    if (PlatformDetail::RetryOnInterrupt([&] { return waitpid(pid, &status, 0); }) != pid)
        return false;
    return !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs argv[0] with argv, a clean signal mask and default SIGPIPE, and waits
// for it; true when it exited 0.
bool RunProgram(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        return false;
    return WaitForChild(pid, CHILD_TIMEOUT_MS);
}

// The process-wide backend; null selects the default one. Calls run outside
// its lock: an install may take as long as the apply hook.
PlatformDetail::Overridable<ConfiguratorBackend*>& Backends()
{
    static auto* backends = new PlatformDetail::Overridable<ConfiguratorBackend*>(nullptr);
    return *backends;
}

ConfiguratorBackend& CurrentBackend()
{
    ConfiguratorBackend* backend = Backends().Get();
    if (backend != nullptr)
        return *backend;
    static FileConfiguratorBackend deviceBackend(DefaultConfiguratorPaths());
    return deviceBackend;
}

}  // namespace

// ---------------------------------------------------------------- FileConfiguratorBackend

FileConfiguratorBackend::FileConfiguratorBackend(const ConfiguratorPaths& paths) : mPaths(paths)
{
}

bool FileConfiguratorBackend::Open()
{
    return true;
}

void FileConfiguratorBackend::Close()
{
}

bool FileConfiguratorBackend::SetConfigFilePath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mConfigFilePath = path;
    return true;
}

bool FileConfiguratorBackend::Start()
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mConfigFilePath.empty())
        return false;
    return Install(mConfigFilePath);
}

bool FileConfiguratorBackend::ResetConfiguration()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return Install(mPaths.factoryFile);
}

bool FileConfiguratorBackend::Reboot()
{
    if (mPaths.rebootCommand.empty())
        return false;
    return RunProgram({"/bin/sh", "-c", mPaths.rebootCommand});
}

// The active file is only ever replaced by rename(), so at any moment it holds
// either the old or the new content in full; a crash leaves at most a stray
// ".new" file, which the next install overwrites.
bool FileConfiguratorBackend::Install(const std::string& source)
{
    std::string content;
    if (!ReadWholeFile(source, content) || content.compare(0, sizeof(XML_START) - 1, XML_START) != 0)
        return false;

    const std::string& active = mPaths.activeFile;
    const std::string fresh = active + ".new";
    if (!WriteSynced(fresh, content)) {
        unlink(fresh.c_str());
        return false;
    }

    // Keep the active file as the previous one: a hard link (or, where links
    // are not possible, a synced copy) renamed over it. A failure here stops
    // the install before the active file is touched.
    struct stat info;
    if (stat(active.c_str(), &info) == 0) {
        const std::string keep = mPaths.previousFile + ".tmp";
        unlink(keep.c_str());
        bool kept = link(active.c_str(), keep.c_str()) == 0;
        if (!kept) {
            std::string old;
            kept = ReadWholeFile(active, old) && WriteSynced(keep, old);
        }
        if (!kept || rename(keep.c_str(), mPaths.previousFile.c_str()) != 0) {
            unlink(keep.c_str());
            unlink(fresh.c_str());
            return false;
        }
        // After an install killed between its renames, previous and active are
        // one file; rename() then leaves the link in place, so it goes here.
        unlink(keep.c_str());
        SyncDirectoryOf(mPaths.previousFile);
    } else if (errno != ENOENT) {
        unlink(fresh.c_str());
        return false;
    }

    if (rename(fresh.c_str(), active.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    SyncDirectoryOf(active);

    // The hook is optional: none installed is success.
    if (mPaths.applyHook.empty() || stat(mPaths.applyHook.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        access(mPaths.applyHook.c_str(), X_OK) != 0)
        return true;
    return RunProgram({mPaths.applyHook, active});
}

// ---------------------------------------------------------------- current backend

ScopedConfiguratorBackend::ScopedConfiguratorBackend(ConfiguratorBackend* backend)
    : mOverride(Backends(), backend)
{
}

ZentroConfigurator* ZentroConfigurator::GetInstance()
{
    static ZentroConfigurator instance;
    if (!CurrentBackend().Open())
        return nullptr;
    return &instance;
}

void ZentroConfigurator::CloseInstance()
{
    CurrentBackend().Close();
}

bool ZentroConfigurator::SetConfigFilePath(const std::string& path)
{
    return CurrentBackend().SetConfigFilePath(path);
}

bool ZentroConfigurator::Start()
{
    return CurrentBackend().Start();
}

bool ZentroConfigurator::Reboot()
{
    return CurrentBackend().Reboot();
}

bool ZentroConfigurator::ResetConfiguration()
{
    return CurrentBackend().ResetConfiguration();
}

}  // namespace ConfigurationControl
