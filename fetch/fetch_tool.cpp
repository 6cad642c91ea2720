#include "fetch/fetch_tool.h"

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "apc_version.h"
#include "configurator/zentro_configurator.h"
#include "fetch/fetch_check.h"
#include "fetch/fetch_client.h"
#include "messaging/messaging.h"
#include "net_check/net_check.h"

namespace {

const char USAGE[] =
    "Usage: autoprovision-fetch [--mac TEXT] [--dir DIR] URL\n"
    "       autoprovision-fetch --check [--mac TEXT] [--factory FILE] URL\n"
    "       autoprovision-fetch --version\n"
    "Fetches URL once with the daemon's own download code, as after a provisioning\n"
    "notification, and stores the answer's XML document as DIR/zentrofxs-<mac>.cfg.\n"
    "The configurator is not started.\n"
    "  --mac TEXT  MAC part of the file name (default: eth1's address as the daemon\n"
    "              reads it, or 000000000000 without eth1)\n"
    "  --dir DIR   directory of the file, which must exist (default: /tmp/httpipeconfig/)\n"
    "The User-Agent line is built as the daemon builds it, from /proc/vexa/fxs-number\n"
    "and /etc/version.txt; without them (on a PC) it is the fixed line\n"
    "\"User-Agent: Tovix zentro-fxs 0 firmware=fetch\".\n"
    "Trace lines go to the daemon's trace log, /var/log/autoprovisionclient.log.\n"
    "Exit status: 0 stored, 1 setup failed, 2 usage, 3 URL not valid, 4 request failed\n"
    "(connection, send or receive), 5 answer holds no \"<?xml\" document, 6 file not written.\n"
    "\n"
    "--check downloads the same way into a temporary directory, stores nothing on\n"
    "the device, and tells what the device would do with the answer: status line,\n"
    "compression, chunks, keep-alive wait, the document and the configurator's\n"
    "check of it, time and bytes. The daemon's trace lines are shown, not logged.\n"
    "The configurator takes only a document whose root element is that of the\n"
    "device's factory configuration (else of its active one); --factory FILE names\n"
    "a copy of it (default: /etc/zentro/factory.cfg, else /etc/zentro/active.cfg).\n"
    "Exit status: 0 applied at once, 3 URL not valid, 4 no answer, 5 no document,\n"
    "7 compressed, 8 chunked, 9 document refused (not well-formed or another root\n"
    "element), 10 status not 2xx but the document is applied, 11 applied after the\n"
    "idle time-out (server keeps alive).\n";

const std::string NAME = "autoprovision-fetch: ";

struct Options {
    std::string mac;
    std::string directory = AutoProvision::_CONFIG_DIRECTORY_;
    std::string url;
    std::string factory;   // --factory: the device's factory configuration
    bool help = false;
    bool check = false;
    bool haveDirectory = false;
};

// False on a usage error, with its text in problem.
bool ParseOptions(int argc, const char* const argv[], Options& options, std::string& problem)
{
    bool haveMac = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--check") {
            options.check = true;
        } else if (word == "--mac" || word == "--dir" || word == "--factory") {
            if (i + 1 >= argc) {
                problem = word + " needs a value";
                return false;
            }
            (word == "--mac" ? options.mac : word == "--dir" ? options.directory : options.factory) = argv[++i];
            haveMac = haveMac || word == "--mac";
            options.haveDirectory = options.haveDirectory || word == "--dir";
        } else if (word.size() > 1 && word[0] == '-') {
            problem = "unknown option " + word;
            return false;
        } else if (!options.url.empty()) {
            problem = "only one URL is fetched";
            return false;
        } else {
            options.url = word;
        }
    }
    if (options.url.empty() && !options.help) {
        problem = "no URL given";
        return false;
    }
    if (options.check && options.haveDirectory) {
        problem = "--check stores nothing: --dir does not go with it";
        return false;
    }
    if (!options.check && !options.factory.empty()) {
        problem = "--factory goes with --check only";
        return false;
    }
    // The daemon names the file after eth1; a PC without eth1 gets zeros.
    if (!haveMac) {
        options.mac = GetMACAddress("eth1", nullptr);
        if (options.mac.empty())
            options.mac = "000000000000";
    }
    return true;
}

// Where private directories go: $TMPDIR when set, else /dev/shm, whose
// creation and removal touch no disk (on a PC /tmp often is a disk's and its
// directory and socket then cost more than a small download), else /tmp.
std::string TemporaryBase()
{
    const char* base = getenv("TMPDIR");
    if (base != nullptr && *base != '\0')
        return base;
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

// A fresh directory under TemporaryBase(), removed with what is in it at the
// end; empty path when it could not be made.
class TemporaryDirectory {
public:
    // name null: no directory.
    explicit TemporaryDirectory(const char* name)
    {
        if (name == nullptr)
            return;
        std::string pattern = TemporaryBase() + "/" + name + ".XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr)
            mPath = pattern;
    }
    ~TemporaryDirectory()
    {
        if (mPath.empty())
            return;
        for (const std::string& file : mFiles)
            unlink(file.c_str());
        rmdir(mPath.c_str());
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& Path() const { return mPath; }
    // A file in the directory to remove with it.
    void Own(const std::string& file) { mFiles.push_back(file); }

private:
    std::string mPath;
    std::vector<std::string> mFiles;
};

// A private queue directory for the client's web-side queue, so that a
// running daemon's queue 126 is neither taken nor disturbed.
class PrivateQueueDirectory {
public:
    PrivateQueueDirectory() : mPrevious(Messaging::QueueDirectory()), mDirectory("autoprovision-fetch")
    {
        if (IsReady())
            Messaging::SetQueueDirectory(mDirectory.Path());
    }
    ~PrivateQueueDirectory()
    {
        if (IsReady())
            Messaging::SetQueueDirectory(mPrevious);
    }
    PrivateQueueDirectory(const PrivateQueueDirectory&) = delete;
    PrivateQueueDirectory& operator=(const PrivateQueueDirectory&) = delete;

    bool IsReady() const { return !mDirectory.Path().empty(); }

private:
    std::string mPrevious;
    TemporaryDirectory mDirectory;
};

int Report(const FetchClient& client, FetchResult result, std::string& out, std::string& err)
{
    const std::string host = client.Params().host;
    switch (result) {
    case FETCH_STORED:
        out += NAME + "stored " + client.StoredPath() + " (" + std::to_string(client.StoredBytes()) + " bytes)\n";
        break;
    case FETCH_INVALID_URL:
        err += NAME + "URL not valid (no \"://\")\n";
        break;
    case FETCH_REQUEST_FAILED:
        err += NAME + "request to host [" + host + "] failed: no connection, send failure or "
               "no answer (see the trace log)\n";
        break;
    case FETCH_NO_DOCUMENT:
        err += NAME + "the answer from host [" + host + "] holds no \"<?xml\" document\n";
        break;
    default:
        err += NAME + "could not write " + client.StoredPath() + "\n";
        break;
    }
    return result;
}

}  // namespace

int RunFetch(int argc, const char* const argv[], std::string& out, std::string& err)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--version") {
            out += std::string("autoprovision-fetch ") + APC_VERSION + "\n";
            return FETCH_STORED;
        }
    }
    Options options;
    std::string problem;
    if (!ParseOptions(argc, argv, options, problem)) {
        err += NAME + problem + "\n" + USAGE;
        return FETCH_USAGE;
    }
    if (options.help) {
        out += USAGE;
        return FETCH_STORED;
    }

    // The files the check takes the device's root element from.
    ConfigurationControl::ConfiguratorPaths device = ConfigurationControl::DefaultConfiguratorPaths();
    if (!options.factory.empty()) {
        device.factoryFile = options.factory;
        device.activeFile.clear();
        if (ConfigurationControl::ExpectedRootElement(device).empty()) {
            err += NAME + "no root element to read in " + options.factory + "\n";
            return FETCH_SETUP_FAILED;
        }
    }

    PrivateQueueDirectory queues;
    if (!queues.IsReady()) {
        err += NAME + "cannot create a private queue directory\n";
        return FETCH_SETUP_FAILED;
    }
    try {
        // Made only for a check: a plain fetch creates and removes nothing more.
        TemporaryDirectory checkDirectory(options.check ? "autoprovision-check" : nullptr);
        if (options.check) {
            if (checkDirectory.Path().empty()) {
                err += NAME + "cannot create a temporary directory\n";
                return FETCH_SETUP_FAILED;
            }
            options.directory = checkDirectory.Path();
        }
        FetchClient client(options.mac, options.directory);
        if (!client.PrepareUserAgent())
            err += NAME + "no device User-Agent data, using the fixed User-Agent line\n";
        if (options.check) {
            checkDirectory.Own(client.StoredPath());
            std::ostringstream report;
            const int verdict = RunCheck(client, options.url, report, device);
            out += report.str();
            return verdict;
        }
        return Report(client, client.Fetch(options.url), out, err);
    } catch (const std::exception& error) {
        err += NAME + "cannot set up the client: " + error.what() + "\n";
        return FETCH_SETUP_FAILED;
    }
}
