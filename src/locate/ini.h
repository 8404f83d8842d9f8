// The INI file syntax, read the way the Windows profile functions read it.
#pragma once

#include <string>
#include <string_view>

// The value of `key` in the first section named `section` of the INI text
// `content`, or "" when there is none. The rules are those of
// GetPrivateProfileStringA:
// - a UTF-8 byte-order mark at the start is ignored; CR, LF or a run of
//   them ends a line;
// - blanks (space, TAB to CR, Ctrl-Z) around a line, after a key name and
//   before the value are dropped;
// - "[name]" starts a section, its name running to the last "]" of the
//   line, blanks inside the brackets dropped; a line that opens with "["
//   but has no "]" is no header;
// - a line that begins with ";" is a comment; any other line is a key, its
//   name up to the first "=", its value after it;
// - section and key names are compared without regard to ASCII letter case;
//   names and values end at a NUL byte;
// - only the first section of that name is searched, and its first key of
//   that name wins, even when it has no "=" (then the value is "");
// - one pair of matching double or single quotes around the value is
//   removed.
// Takes time linear in the size of `content`, whatever its bytes.
std::string ParseIniString(std::string_view content, std::string_view section, std::string_view key);

// True when the two names differ at most in ASCII letter case, as Windows
// compares INI and file names.
bool SameName(std::string_view a, std::string_view b);
