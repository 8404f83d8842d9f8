#include "locate/locator.h"

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "run/messages.h"

char SpoolPath[260] = {};

bool FindSpool() {
    const std::string ini = platform::FindIniFile(platform::ConfigurationDirectory(), "qelm.INI");
    if (ini.empty()) {
        WriteConsoleText(msgNoIni);
        return false;
    }

    const std::string value = platform::ReadIniString(ini, "Server", "Spool Path");
    // A value that does not fit is not cut short: the shortened path would
    // name another directory, whose letters are none of the server's.
    if (value.size() >= sizeof SpoolPath) {
        std::memset(SpoolPath, 0, sizeof SpoolPath);
        WriteConsoleText(msgNoSpool);
        return false;
    }
    std::memset(SpoolPath, 0, sizeof SpoolPath);
    std::memcpy(SpoolPath, value.data(), value.size());
    if (value.empty()) {
        WriteConsoleText(msgNoSpool);
        return false;
    }

    if (!platform::IsDirectory(std::string(SpoolPath) + "Users")) {
        WriteConsoleText(msgNoSpool);
        return false;
    }
    return true;
}
