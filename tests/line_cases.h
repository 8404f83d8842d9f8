// The byte rules of spool files as one table: each row is a file's bytes
// and what a correction leaves on disk.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "spool/lines.h"
#include "test_util.h"

struct LineCase {
    std::string name;                     // what the row proves
    std::string input;
    std::optional<std::string> output;    // nullopt: terminated, left untouched
};

namespace line_cases_detail {

inline const std::string kBlock(kTerminatorBlock);

// A spool letter far larger than one read of the corrector, mixing LF,
// CR LF and lines with lone CRs, with `tail` after it. Also returns the
// corrected lines, each ended by CR LF.
inline std::string LargeLetter(const std::string& tail, std::string* corrected) {
    std::string input;
    for (int i = 0; input.size() < (3u << 20); ++i) {
        const std::string line = "line " + std::to_string(i) + " of a long letter";
        switch (i % 4) {
            case 0: input += line + "\n"; break;
            case 1: input += line + "\r\n"; break;
            case 2: input += line + "\r\n"; break;
            default: input += "\r" + line + "\rx\r\n"; break;
        }
        if (corrected != nullptr) *corrected += line + (i % 4 == 3 ? "x" : "") + "\r\n";
    }
    return input + tail;
}

inline std::vector<LineCase> MakeCases() {
    std::string everyByte;
    for (int c = 0; c < 256; ++c)
        if (c != '\r' && c != '\n' && c != 0x1A) everyByte += static_cast<char>(c);
    const std::string x255(255, 'a'), x256(256, 'b'), x511(511, 'c'), x100000(100000, 'd');
    std::string largeCorrected;
    const std::string large = LargeLetter(".\nafter the full stop\n", &largeCorrected);
    const std::string largeTerminated = LargeLetter("\r\n.\r\n\r\n", nullptr);

    return {
        // Terminated files stay as they are, whatever else they hold.
        {"terminated with CR LF", "Text\r\n\r\n.\r\n\r\n", std::nullopt},
        {"exactly the three lines", "\r\n.\r\n\r\n", std::nullopt},
        {"terminated with LF alone", "Text\n\n.\n\n", std::nullopt},
        {"trailing lone CR is dropped", "Text\r\n\r\n.\r\n\r", std::nullopt},
        {"lone CRs around the full stop are dropped", "Text\r\n\r\n\r.\r\r\n\r\n", std::nullopt},
        {"0x1A after the block stays on disk", "Text\r\n\r\n.\r\n\r\n\x1Axyz", std::nullopt},
        {"lone CR before 0x1A is dropped", "Text\r\n\r\n.\r\n\r\x1Axyz", std::nullopt},
        {"large terminated letter", largeTerminated, std::nullopt},

        // Rewrites: the lines before the last full-stop line, then the block.
        {"empty file", "", kBlock},
        {"full stop without empty lines", "Text\r\n.\r\n", "Text\r\n" + kBlock},
        {"empty line before the full stop is kept", "Text\r\n\r\n.\r\n", "Text\r\n\r\n" + kBlock},
        {"one empty line too many", "Text\r\n\r\n.\r\n\r\n\r\n", "Text\r\n\r\n" + kBlock},
        {"only the last full-stop line cuts", "A\r\n.\r\nB\r\n.\r\nC\r\n", "A\r\n.\r\nB\r\n" + kBlock},
        {"lines after the full stop are dropped", "A\r\n.\r\nB\r\nC\r\nD\r\nE", "A\r\n" + kBlock},
        {"last line without a break", "A\r\nB", "A\r\nB\r\n" + kBlock},
        {"full stop as the last line without a break", "A\r\n.", "A\r\n" + kBlock},
        {"a single empty line", "\r\n", "\r\n" + kBlock},
        {"full stop and empty line", ".\r\n\r\n", kBlock},
        {"LF breaks become CR LF", "A\nB\r\nC\n", "A\r\nB\r\nC\r\n" + kBlock},
        {"CR-only breaks make one line", "A\rB\r.\r\r", "AB.\r\n" + kBlock},
        {"CR CR LF is one break", "A\r\r\nB\r\n", "A\r\nB\r\n" + kBlock},
        {"break at the end adds no line", "A\r\n", "A\r\n" + kBlock},
        {"empty line after a break", "A\r\n\r\n", "A\r\n\r\n" + kBlock},
        {"CRs alone after the last break form a line", "A\r\n\r\r", "A\r\n\r\n" + kBlock},
        {"0x1A inside a line ends the input", "A\r\nB\x1A" "C\r\nD\r\n", "A\r\nB\r\n" + kBlock},
        {"0x1A at the start of a line", "A\r\n\x1A" "B\r\n", "A\r\n" + kBlock},
        {"0x1A as the first byte", "\x1AText\r\n\r\n.\r\n\r\n", kBlock},
        {"full stop and space is no full-stop line", "Text\r\n\r\n. \r\n\r\n",
         "Text\r\n\r\n. \r\n\r\n" + kBlock},
        {"two full stops are no full-stop line", "A\r\n..\r\n .\r\n", "A\r\n..\r\n .\r\n" + kBlock},
        {"every other byte passes", everyByte + "\r\n" + everyByte, everyByte + "\r\n" + everyByte + "\r\n" + kBlock},
        {"lines of 255, 256 and 511 bytes", x255 + "\r\n" + x256 + "\n" + x511 + "\r\n",
         x255 + "\r\n" + x256 + "\r\n" + x511 + "\r\n" + kBlock},
        {"line of 100000 bytes without a break", x100000, x100000 + "\r\n" + kBlock},
        {"large letter cut at its full stop", large, largeCorrected + kBlock},
    };
}

}  // namespace line_cases_detail

// Every row, the large ones included.
inline const std::vector<LineCase>& LineCases() {
    static const std::vector<LineCase> cases = line_cases_detail::MakeCases();
    return cases;
}

// Compares two byte strings, showing the neighbourhood of the first
// difference rather than the whole of a large file.
inline ::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const std::size_t from = at < 40 ? 0 : at - 40;
    return ::testing::AssertionFailure()
           << "sizes " << actual.size() << " and " << expected.size() << ", first difference at " << at
           << "\n  actual:   " << Visible(actual.substr(from, 80))
           << "\n  expected: " << Visible(expected.substr(from, 80));
}
