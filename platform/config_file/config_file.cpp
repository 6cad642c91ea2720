// "key: value" files, read whole at construction.
#include "config_file/config_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "utility/utility.h"

namespace Configuration {

namespace {

const char* const BLANKS = " \t\r";

// Paths swapped by ScopedPathRedirect, for every ConfigFile of the process.
PlatformDetail::Overridable<PathRedirect>& Redirects()
{
    static auto* redirects = new PlatformDetail::Overridable<PathRedirect>(PathRedirect());
    return *redirects;
}

std::string ResolvePath(const std::string& path)
{
    PathRedirect redirect;
    bool found = Redirects().FindNewest([&](const PathRedirect& entry) { return entry.from == path; }, redirect);
    return found ? redirect.to : path;
}

}  // namespace

ConfigFile::ConfigFile(const char* path, bool /*writable*/, bool trimValues, bool caseFold,
                       const char* separator, const char* comment, const char* /*section*/)
    : mCaseFold(caseFold)
{
    std::string content;
    std::string source = ResolvePath(path != nullptr ? path : "");
    if (!PlatformDetail::ReadWholeFile(source.c_str(), content)) {
        throw ConfigException("cannot read configuration file " + source);
    }
    std::string separators = separator != nullptr ? separator : ":";
    std::string comments = comment != nullptr ? comment : "";

    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        start = end + 1;

        // A comment character anywhere ends the line, so a value cannot hold one.
        if (!comments.empty()) {
            line.erase(std::min(line.find_first_of(comments), line.size()));
        }
        size_t split = line.find_first_of(separators);
        if (split == std::string::npos) {
            continue;  // blank, comment or no separator
        }
        std::string key = line.substr(0, split);
        std::string value = line.substr(split + 1);
        if (trimValues) {
            StringUtils::Trim(key, BLANKS, true, true);
            StringUtils::Trim(value, BLANKS, true, true);
        }
        if (!key.empty()) {
            // A key given twice keeps its first value, as a top-down reader finds it.
            mEntries.emplace(NormalizeKey(key), value);
        }
    }
}

bool ConfigFile::GetEntry(const char* key, char* buffer, unsigned int size) const
{
    if (buffer == nullptr || size == 0) {
        return false;
    }
    buffer[0] = '\0';
    if (key == nullptr) {
        return false;
    }
    auto found = mEntries.find(NormalizeKey(key));
    if (found == mEntries.end()) {
        return false;
    }
    size_t count = std::min<size_t>(found->second.size(), size - 1);
    memcpy(buffer, found->second.data(), count);
    buffer[count] = '\0';
    return true;
}

std::string ConfigFile::NormalizeKey(const std::string& key) const
{
    std::string normal = key;
    if (mCaseFold) {
        for (char& c : normal) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    return normal;
}

ScopedPathRedirect::ScopedPathRedirect(const std::string& from, const std::string& to)
    : mOverride(Redirects(), PathRedirect{from, to})
{
}

}  // namespace Configuration
