// The User-Agent header line: the device's FXS line number and firmware version.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/auto_provision_client.h"
#include "diagnostics/auto_provision_logger.h"
#include "config_file/config_file.h"

namespace {

const char* const VERSION_FILE = "/etc/version.txt";

}  // namespace

const char* const AutoProvisionClient::LINE_NUMBER_FILE = "/proc/vexa/fxs-number";

bool AutoProvisionClient::MakeUpUserAgentName()
{
    try {
        char line[64];
        memset(line, 0, sizeof(line));
        SmartBuffer version;
        mUserAgent = "User-Agent: Tovix zentro-fxs ";

        // "e": the pipe's descriptor is not inherited by other children.
        FILE* command = popen((std::string("cat ") + LINE_NUMBER_FILE).c_str(), "re");
        if (command == nullptr)
            return false;
        if (fgets(line, sizeof(line), command) == nullptr)
            line[0] = '\0';
        pclose(command);

        std::string lineNumber(line);
        StringUtils::Trim(lineNumber, " \t", true, true);
        if (lineNumber.empty()) {
            logger.TRACE(0, true, "Invalid fxs line number\n");
            return false;
        }
        mUserAgent += lineNumber;

        Configuration::ConfigFile versionFile(VERSION_FILE, false, true, false, ":", "#", nullptr);
        versionFile.GetEntry("Version", version.GetBuffer(), version.GetSize());
        std::string firmware(version.GetBuffer(), strnlen(version.GetBuffer(), version.GetSize()));
        StringUtils::Trim(firmware, " \t", true, true);
        StringUtils::Trim(firmware, " ", true, true);

        // "FXS 5.1.3" keeps the blank and what follows it.
        const size_t blank = firmware.find(' ');
        if (blank != std::string::npos)
            firmware.erase(0, blank);
        if (firmware.empty()) {
            logger.TRACE(0, true, "Invalid firmware\n");
            return false;
        }

        mUserAgent += " firmware=";
        mUserAgent += firmware;
        mUserAgent += "\r\n";
        return true;
    } catch (const Configuration::ConfigException&) {
        return false;
    }
}
