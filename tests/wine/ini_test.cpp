// The INI files of the locator's table, read by GetPrivateProfileStringA
// under Wine: the Windows reader gives each file's value, and the POSIX
// reader must give the same.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "locate/ini.h"
#include "test_util.h"
#include "wine/wine_program.h"

namespace {

using namespace std::string_view_literals;

struct IniCase {
    const char* name;
    std::string_view content;
    const char* value;
};

const IniCase kIniCases[] = {
#include "ini_cases.inc"
};

// The values that the Windows reader gives for `files`, one per file.
std::vector<std::string> ReadUnderWine(const std::vector<std::string>& files) {
    RunOptions options;
    for (const std::string& file : files) options.arguments.push_back(WindowsPath(file));
    const RunResult run = RunUnderWine(QELM_INI_PROBE, options);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::vector<std::string> values;
    std::size_t start = 0;
    for (std::size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1)
        values.push_back(run.out.substr(start, end - start));
    EXPECT_EQ(values.size(), files.size()) << Visible(run.out);
    values.resize(files.size());
    return values;
}

TEST(WineIniTest, WindowsAndPosixReadersGiveTheSameValueForEveryFile) {
    PrepareWinePrefix();
    ScopedTempDir dir;
    std::vector<std::string> files;
    for (const IniCase& c : kIniCases) {
        files.push_back(dir / ("case-" + std::to_string(files.size()) + ".ini"));
        WriteFile(files.back(), c.content);
    }
    const std::vector<std::string> windows = ReadUnderWine(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const IniCase& c = kIniCases[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Visible(windows[i]), Visible(c.value));
        EXPECT_EQ(Visible(ParseIniString(c.content, "Server", "Spool Path")), Visible(windows[i]));
    }
}

TEST(WineIniTest, LongValuesAreReadWhole) {
    PrepareWinePrefix();
    ScopedTempDir dir;
    std::vector<std::string> files;
    const std::size_t lengths[] = {259, 260, 1023, 1024, 70000};
    for (std::size_t length : lengths) {
        files.push_back(dir / ("long-" + std::to_string(length) + ".ini"));
        WriteFile(files.back(), "[Server]\r\nSpool Path=" + std::string(length, 'x') + "\r\n");
    }
    const std::vector<std::string> values = ReadUnderWine(files);
    for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(values[i], std::string(lengths[i], 'x'));
}

}  // namespace
