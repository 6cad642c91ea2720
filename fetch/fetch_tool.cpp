#include "fetch/fetch_tool.h"

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "fetch/fetch_client.h"
#include "platform/messaging.h"
#include "platform/net_check.h"

namespace {

const char USAGE[] =
    "Usage: autoprovision-fetch [--mac TEXT] [--dir DIR] URL\n"
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
    "(connection, send or receive), 5 answer holds no \"<?xml\" document, 6 file not written.\n";

const std::string NAME = "autoprovision-fetch: ";

struct Options {
    std::string mac;
    std::string directory = AutoProvision::_CONFIG_DIRECTORY_;
    std::string url;
    bool help = false;
};

// False on a usage error, with its text in problem.
bool ParseOptions(int argc, const char* const argv[], Options& options, std::string& problem)
{
    bool haveMac = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--mac" || word == "--dir") {
            if (i + 1 >= argc) {
                problem = word + " needs a value";
                return false;
            }
            (word == "--mac" ? options.mac : options.directory) = argv[++i];
            haveMac = haveMac || word == "--mac";
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
    // The daemon names the file after eth1; a PC without eth1 gets zeros.
    if (!haveMac) {
        options.mac = GetMACAddress("eth1", nullptr);
        if (options.mac.empty())
            options.mac = "000000000000";
    }
    return true;
}

// Where the private queue directory goes: $TMPDIR when set, else /dev/shm,
// whose creation and removal touch no disk (on a PC /tmp often is a disk's and
// its directory and socket then cost more than a small download), else /tmp.
std::string QueueDirectoryBase()
{
    const char* base = getenv("TMPDIR");
    if (base != nullptr && *base != '\0')
        return base;
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

// A private queue directory for the client's web-side queue, so that a
// running daemon's queue 126 is neither taken nor disturbed.
class PrivateQueueDirectory {
public:
    PrivateQueueDirectory() : mPrevious(Messaging::QueueDirectory())
    {
        std::string pattern = QueueDirectoryBase() + "/autoprovision-fetch.XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) {
            mPath = pattern;
            Messaging::SetQueueDirectory(mPath);
        }
    }
    ~PrivateQueueDirectory()
    {
        if (!mPath.empty()) {
            Messaging::SetQueueDirectory(mPrevious);
            rmdir(mPath.c_str());
        }
    }
    PrivateQueueDirectory(const PrivateQueueDirectory&) = delete;
    PrivateQueueDirectory& operator=(const PrivateQueueDirectory&) = delete;

    bool IsReady() const { return !mPath.empty(); }

private:
    std::string mPrevious;
    std::string mPath;
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

    PrivateQueueDirectory queues;
    if (!queues.IsReady()) {
        err += NAME + "cannot create a private queue directory\n";
        return FETCH_SETUP_FAILED;
    }
    try {
        FetchClient client(options.mac, options.directory);
        if (!client.PrepareUserAgent())
            err += NAME + "no device User-Agent data, using the fixed User-Agent line\n";
        return Report(client, client.Fetch(options.url), out, err);
    } catch (const std::exception& error) {
        err += NAME + "cannot set up the client: " + error.what() + "\n";
        return FETCH_SETUP_FAILED;
    }
}
