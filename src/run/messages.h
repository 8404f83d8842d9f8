// The console texts, the choice of their language, and standard output.
//
// Every line the program prints goes through WriteConsoleText or
// WriteEmptyLine: the text, CR LF, then the I/O check. Standard output is
// opened at the first write and buffered in 128 bytes; on a console every
// line is written out at once, to a file or pipe in blocks.
#pragma once

#include <cstdint>

// A length-prefixed text of at most 255 bytes; the bytes after the text are
// zero.
struct ShortString {
    std::uint8_t length;
    char text[255];
};

enum MessageIndex {
    msgBanner = 0,
    msgNoIni = 1,
    msgNoSpool = 2,
    msgSpoolFound = 3,
    msgFilesFound = 4,
    msgFilesCorrected = 5,
};

inline constexpr int kLangEnglish = 1;
inline constexpr int kLangRussian = 2;
inline constexpr std::uint16_t kLangIdRussian = 0x0419;

// The texts by language (Messages[Lang - 1]) and index. The Russian texts
// are stored in code page 1251; ConvertMessagesToOem alone rewrites them.
extern ShortString Messages[2][6];

// The language of the run: kLangEnglish or kLangRussian.
extern int Lang;

// Sets Lang from the system's default language identifier and, for Russian,
// converts the Russian texts once to the console's code page.
void ChooseLanguage();

// Converts the six Russian texts in place to the console's code page.
void ConvertMessagesToOem();

// Writes text `index` of the current language and CR LF; texts 4 and 5 are
// followed by `count` in decimal. Then the I/O check.
void WriteConsoleText(int index, std::int32_t count = 0);

// Writes CR LF alone, then the I/O check.
void WriteEmptyLine();

// Writes out what standard output holds in its buffer. A failure is left in
// IoResult.
void FlushStandardOutput();

// Forgets standard output's state, as at the start of a run (for tests).
void ResetStandardOutput();
