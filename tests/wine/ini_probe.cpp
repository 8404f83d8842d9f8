// Prints the "Spool Path" of section "Server" of every INI file named on the
// command line, as the Windows program reads it: each value whole, followed
// by LF. A helper of the Wine tests.
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::StartUp();
    if (platform::OpenStandardOutput() == platform::OutputKind::Unusable) return 1;
    for (int i = 1; i < argc; ++i) {
        const std::string value = platform::ReadIniString(argv[i], "Server", "Spool Path") + "\n";
        if (platform::WriteStandardOutput(value.data(), value.size()) != 0) return 1;
    }
    return 0;
}
