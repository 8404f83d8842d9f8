// The INI file syntax, read the way the Windows profile functions read it.
#pragma once

#include <string>
#include <string_view>

// The value of `key` in the first section named `section` of the INI text
// `content`, or "" when there is none. Section and key names are compared
// without regard to ASCII letter case; white space around names and value
// is dropped, and one pair of matching quotes around the value removed.
std::string ParseIniString(std::string_view content, std::string_view section, std::string_view key);
