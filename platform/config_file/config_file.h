// Configuration-file library: "key: value" files with '#' comments.
#ifndef PLATFORM_CONFIG_FILE_H
#define PLATFORM_CONFIG_FILE_H

#include <map>
#include <stdexcept>
#include <string>

#include "utility/scoped_override.h"

namespace Configuration {

// Thrown when a file cannot be read.
class ConfigException : public std::runtime_error {
public:
    explicit ConfigException(const std::string& what) : std::runtime_error(what) {}
};

class ConfigFile {
public:
    // Reads path at once. writable: ignored (read-only); trimValues: strip
    // blanks and tabs around keys and values; caseFold: compare keys without
    // letter case; separator: characters that end a key (first one found);
    // comment: characters that start a comment; section: ignored, may be null.
    // Throws ConfigException when the file cannot be opened.
    ConfigFile(const char* path, bool writable, bool trimValues, bool caseFold,
               const char* separator, const char* comment, const char* section);

    // Copies the value of key into buffer (size bytes, always terminated; a
    // longer value is cut). A missing key gives an empty text and false.
    bool GetEntry(const char* key, char* buffer, unsigned int size) const;

private:
    std::string NormalizeKey(const std::string& key) const;

    bool mCaseFold;
    std::map<std::string, std::string> mEntries;
};

// One path read in place of another.
struct PathRedirect {
    std::string from;
    std::string to;
};

// Reads to for a file opened as from, for the life of this object (test seam).
// Redirects nest: the newest one alive for a path is in force.
class ScopedPathRedirect {
public:
    ScopedPathRedirect(const std::string& from, const std::string& to);

private:
    PlatformDetail::ScopedOverride<PathRedirect> mOverride;
};

}  // namespace Configuration

#endif
