// The fetch tool's client: the daemon's own download code, run once for one
// URL, with the outcome told apart for the command line.
#ifndef FETCH_FETCH_CLIENT_H
#define FETCH_FETCH_CLIENT_H

#include <sys/stat.h>

#include <string>

#include "core/auto_provision_client.h"

// Outcomes of one fetch; the tool exits with these numbers.
enum FetchResult {
    FETCH_STORED = 0,
    FETCH_SETUP_FAILED = 1,     // queue directory or client could not be set up
    FETCH_USAGE = 2,
    FETCH_INVALID_URL = 3,
    FETCH_REQUEST_FAILED = 4,   // connection, send or receive
    FETCH_NO_DOCUMENT = 5,      // the answer holds no "<?xml" document
    FETCH_NOT_WRITTEN = 6,
};

class FetchClient : public AutoProvisionClient {
public:
    // The line used when the device files for the real one are missing.
    static const char* const FALLBACK_USER_AGENT;

    // directory: where the file goes, with or without its trailing '/'.
    FetchClient(const std::string& mac, const std::string& directory);

    // Builds the User-Agent line as the daemon does; false when that failed
    // and FALLBACK_USER_AGENT is used instead.
    bool PrepareUserAgent();

    // ParseURL, then SendConfigRequest (which receives and stores).
    FetchResult Fetch(const std::string& url);

    // The answer as SerializeConfig saw it, kept by the last Fetch: its size
    // and its header up to and with the blank line that ends it (at most
    // KEPT_ANSWER_BYTES; all of those when no blank line comes before).
    static constexpr size_t KEPT_ANSWER_BYTES = 64 * 1024;
    bool AnswerSeen() const { return mAnswerSeen; }
    size_t AnswerBytes() const { return mAnswerBytes; }
    const std::string& AnswerStart() const { return mAnswerStart; }
    // Milliseconds SendConfigRequest took: connection, request and reception.
    long long ElapsedMs() const { return mElapsedMs; }
    const std::string& UserAgentLine() const { return mUserAgent; }

    const ConfigurationControl::RequestParams& Params() const { return mParams; }
    // The file SerializeConfig writes, and its size after a stored fetch.
    std::string StoredPath() const;
    long long StoredBytes() const { return mStoredBytes; }

protected:
    std::string ConfigDirectory() const override { return mDirectory; }
    // Off the device no configurator reads the file: any size is stored.
    size_t StoredFileLimit() const override { return static_cast<size_t>(-1); }
    void SerializeConfig(const ResponseString& response) override;

private:
    bool WasWritten(const std::string& path, const struct stat& before, bool existed);

    std::string mDirectory;
    ConfigurationControl::RequestParams mParams;
    long long mStoredBytes;
    bool mAnswerSeen;
    size_t mAnswerBytes;
    std::string mAnswerStart;
    long long mElapsedMs;
};

#endif
