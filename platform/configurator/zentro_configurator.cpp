// Configurator: installs configuration files atomically and runs the device's
// apply hook and reboot command.
#include "configurator/zentro_configurator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "utility/safe_file.h"
#include "utility/utility.h"
#include "configurator/xml_check.h"

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

// The prefix of a factory or active file in which its root element is looked for.
const size_t ROOT_SEARCH_BYTES = 64 * 1024;
// Longest root element name a system-log line repeats in full.
const size_t ROOT_SHOWN_BYTES = 64;

// "<what> <path>: <text of errno>", for the system log.
std::string Failure(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

// Reads the regular file at path into content, at most limit bytes: by
// default one byte more than the largest document (which the check then
// refuses as too large). Never follows a symlink at the last component, never
// blocks on a FIFO or device put in a file's place, and reads no other user's
// file. On failure errno tells why.
bool ReadDocument(const std::string& path, std::string& content, size_t limit = XmlCheck::MAX_DOCUMENT_BYTES + 1)
{
    int fd = SafeFile::OpenRegular(path.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    content.clear();
    const bool read = PlatformDetail::ReadAll(fd, content, limit);
    const int error = errno;
    close(fd);
    errno = error;
    return read;
}

// Writes content to path and forces it to the disk before returning true;
// else failure says which step failed on which path, and why.
bool WriteSynced(const std::string& path, const std::string& content, std::string& failure)
{
    int fd = PlatformDetail::RetryOnInterrupt([&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); });
    if (fd < 0) {
        failure = Failure("cannot write", path);
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 &&   // the exact mode, whatever the umask
              PlatformDetail::WriteAll(fd, content.data(), content.size());
    if (!ok)
        failure = Failure("cannot write", path);
    else if (!(ok = fsync(fd) == 0))
        failure = Failure("cannot sync", path);
    if (close(fd) != 0 && ok) {
        failure = Failure("cannot write", path);
        ok = false;
    }
    return ok;
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// How a child process ended: ok when it exited 0, else a short text for the
// system log such as "exit status 3".
struct ChildEnd {
    bool ok;
    std::string what;
};

ChildEnd Described(int status)
{
    if (WIFEXITED(status))
        return ChildEnd{WEXITSTATUS(status) == 0, "exit status " + std::to_string(WEXITSTATUS(status))};
    return ChildEnd{false, "killed by signal " + std::to_string(WTERMSIG(status))};
}

// Waits for child pid, the leader of its own process group, at most
// timeoutMs; a child still running then is killed with its group. Waits on a
// process descriptor where the kernel has them, else looks every 10 ms.
ChildEnd WaitForChild(pid_t pid, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&] {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<decltype(ms)>(ms, 0));
    };
    int status = 0;
    bool ended = false;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd entry;
        entry.fd = pidfd;
        entry.events = POLLIN;
        entry.revents = 0;
        ended = PlatformDetail::RetryOnInterrupt([&] { return poll(&entry, 1, left()); }) > 0;
        close(pidfd);
    } else {
        for (;;) {
            pid_t done = PlatformDetail::RetryOnInterrupt([&] { return waitpid(pid, &status, WNOHANG); });
            if (done == pid)
                return Described(status);
            if (done < 0)
                return ChildEnd{false, "lost"};
            if (left() == 0)
                break;
            usleep(10 * 1000);
        }
    }
    if (!ended) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
    if (PlatformDetail::RetryOnInterrupt([&] { return waitpid(pid, &status, 0); }) != pid)
        return ChildEnd{false, "lost"};
    if (!ended)
        return ChildEnd{false, "no end within " + std::to_string(timeoutMs) + " ms"};
    return Described(status);
}

// Runs argv[0] with argv in a process group of its own, with a clean signal
// mask and default SIGPIPE, and waits for it at most timeoutMs.
ChildEnd RunProgram(const std::vector<std::string>& argv, int timeoutMs)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return ChildEnd{false, "not started"};
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], nullptr, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        return ChildEnd{false, std::string("not started: ") + std::strerror(rc)};
    return WaitForChild(pid, timeoutMs);
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

// ---------------------------------------------------------------- the device's kind

std::string ExpectedRootElement(const ConfiguratorPaths& paths, std::string* from)
{
    // A factory file without a root element to read is passed over for the active one.
    for (const std::string* file : {&paths.factoryFile, &paths.activeFile}) {
        std::string head;
        if (file->empty() || !ReadDocument(*file, head, ROOT_SEARCH_BYTES))
            continue;
        std::string root = XmlCheck::RootElement(head.data(), head.size());
        if (root.empty())
            continue;
        if (from != nullptr)
            *from = *file;
        return root;
    }
    return std::string();
}

std::string ForeignRoot(const std::string& root, const std::string& expected)
{
    if (expected.empty() || root == expected)
        return std::string();
    const std::string shown = root.size() <= ROOT_SHOWN_BYTES ? root : root.substr(0, ROOT_SHOWN_BYTES) + "...";
    return "root element <" + shown + ">, expected <" + expected + ">";
}

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
    return RunProgram({"/bin/sh", "-c", mPaths.rebootCommand}, mPaths.childTimeoutMs).ok;
}

void FileConfiguratorBackend::SystemLog(int priority, const std::string& line)
{
    syslog(LOG_USER | priority, "%s", line.c_str());
}

bool FileConfiguratorBackend::Install(const std::string& source)
{
    try {
        // A file in a directory that another user controls may have been put
        // there by them: it is not applied.
        std::string content;
        if (!SafeFile::IsTrustedDirectory(DirectoryOf(source).c_str())) {
            SystemLog(LOG_ERR, "Configurator: " + source + " refused: its directory is not trusted");
            return false;
        }
        if (!ReadDocument(source, content)) {
            SystemLog(LOG_ERR, "Configurator: " + Failure("cannot read", source));
            return false;
        }
        const XmlCheck::Verdict verdict = XmlCheck::CheckDocument(content.data(), content.size());
        if (!verdict.wellFormed) {
            SystemLog(LOG_ERR, "Configurator: " + source + " refused at byte " + std::to_string(verdict.offset) +
                                   ": " + verdict.reason);
            return false;
        }
        // A server's error page (an object store's <Error> document for a
        // missing file) is well-formed XML too, but not a configuration.
        const std::string foreign =
            ForeignRoot(content.substr(verdict.rootAt, verdict.rootLength), ExpectedRootElement(mPaths));
        if (!foreign.empty()) {
            SystemLog(LOG_ERR, "Configurator: " + source + " refused: " + foreign);
            return false;
        }
        // Applying the active document again would only disturb the device
        // (and lose the previous file): it counts as done.
        if (IsActive(content)) {
            SystemLog(LOG_INFO, "Configurator: " + source + " is the active configuration already");
            return true;
        }
        std::string failure;
        if (!Replace(content, failure)) {
            SystemLog(LOG_ERR, "Configurator: " + source + " not applied: " + failure);
            return false;
        }
        content = std::string();   // not held while the hook runs
        if (ApplyHook(failure))
            return true;
        GoBack(failure);
        return false;
    } catch (const std::bad_alloc&) {
        try {
            SystemLog(LOG_ERR, "Configurator: " + source + " not applied: out of memory");
        } catch (const std::bad_alloc&) {
        }
        return false;
    }
}

bool FileConfiguratorBackend::IsActive(const std::string& content) const
{
    struct stat info;
    std::string active;
    return stat(mPaths.activeFile.c_str(), &info) == 0 && static_cast<size_t>(info.st_size) == content.size() &&
           ReadDocument(mPaths.activeFile, active) && active == content;
}

// The active file is only ever replaced by rename(), so at any moment it holds
// either the old or the new content in full; a crash leaves at most a stray
// ".new" file, which the next install overwrites.
bool FileConfiguratorBackend::Replace(const std::string& content, std::string& failure)
{
    const std::string& active = mPaths.activeFile;
    const std::string fresh = active + ".new";
    if (!MakeDirectoryOf(active, failure))
        return false;
    if (!WriteSynced(fresh, content, failure)) {
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
            kept = ReadDocument(active, old);
            if (!kept)
                failure = Failure("cannot read", active);
            else
                kept = WriteSynced(keep, old, failure);
        }
        if (kept && rename(keep.c_str(), mPaths.previousFile.c_str()) != 0) {
            failure = Failure("cannot rename " + keep + " to", mPaths.previousFile);
            kept = false;
        }
        if (!kept) {
            unlink(keep.c_str());
            unlink(fresh.c_str());
            return false;
        }
        // After an install killed between its renames, previous and active are
        // one file; rename() then leaves the link in place, so it goes here.
        unlink(keep.c_str());
        SyncDirectoryOf(mPaths.previousFile);
    } else if (errno != ENOENT) {
        failure = Failure("cannot read", active);
        unlink(fresh.c_str());
        return false;
    }

    if (rename(fresh.c_str(), active.c_str()) != 0) {
        failure = Failure("cannot rename " + fresh + " to", active);
        unlink(fresh.c_str());
        return false;
    }
    SyncDirectoryOf(active);
    return true;
}

// A device provisioned for the first time may have no directory for the
// active file yet: it is made (0755) when its parent exists. Any other
// problem with the directory shows in the write that follows.
bool FileConfiguratorBackend::MakeDirectoryOf(const std::string& path, std::string& failure)
{
    const std::string directory = DirectoryOf(path);
    struct stat info;
    if (stat(directory.c_str(), &info) == 0 || errno != ENOENT)
        return true;
    if (mkdir(directory.c_str(), 0755) != 0) {
        if (errno == EEXIST)
            return true;
        failure = Failure("cannot create", directory);
        return false;
    }
    chmod(directory.c_str(), 0755);   // the exact mode, whatever the umask
    SystemLog(LOG_NOTICE, "Configurator: created " + directory);
    return true;
}

// Makes a rename in the directory of path durable; the rename itself stands
// either way, so a failure is only logged.
void FileConfiguratorBackend::SyncDirectoryOf(const std::string& path)
{
    const std::string directory = DirectoryOf(path);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        SystemLog(LOG_WARNING, "Configurator: " + Failure("cannot sync", directory));
    if (fd >= 0)
        close(fd);
}

// Runs the hook on the active file; true when it succeeded or there is none
// (the hook is optional), else failure says how it ended.
bool FileConfiguratorBackend::ApplyHook(std::string& failure)
{
    struct stat info;
    if (mPaths.applyHook.empty() || stat(mPaths.applyHook.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        access(mPaths.applyHook.c_str(), X_OK) != 0)
        return true;
    const ChildEnd end = RunProgram({mPaths.applyHook, mPaths.activeFile}, mPaths.childTimeoutMs);
    failure = end.what;
    return end.ok;
}

// After a failed hook: the previous file goes back in place of the active one
// (a copy, so that it stays the previous one) and the hook runs on it.
void FileConfiguratorBackend::GoBack(const std::string& failure)
{
    const std::string& active = mPaths.activeFile;
    const std::string& previous = mPaths.previousFile;
    std::string content;
    if (!ReadDocument(previous, content)) {
        SystemLog(LOG_ERR, "Configurator: apply hook failed on " + active + " (" + failure +
                               "); no previous configuration to go back to");
        return;
    }
    SystemLog(LOG_ERR, "Configurator: apply hook failed on " + active + " (" + failure + "); going back to " + previous);
    const std::string fresh = active + ".new";
    std::string why;
    if (WriteSynced(fresh, content, why) && rename(fresh.c_str(), active.c_str()) != 0)
        why = Failure("cannot rename " + fresh + " to", active);
    if (!why.empty()) {
        unlink(fresh.c_str());
        SystemLog(LOG_ERR, "Configurator: " + previous + " could not be put back as " + active + ": " + why);
        return;
    }
    SyncDirectoryOf(active);
    std::string again;
    if (ApplyHook(again))
        SystemLog(LOG_NOTICE, "Configurator: " + previous + " applied again as " + active);
    else
        SystemLog(LOG_ERR, "Configurator: apply hook failed on " + active + " again (" + again + ")");
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
