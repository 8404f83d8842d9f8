// Finding the spool: the INI reader and FindSpool over real directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>

#include "locate/ini.h"
#include "locate/locator.h"
#include "platform/platform.h"
#include "run/messages.h"
#include "test_util.h"

namespace fs = std::filesystem;
using namespace std::string_view_literals;

namespace {

struct IniCase {
    const char* name;
    std::string_view content;
    const char* value;
};

const IniCase kIniCases[] = {
#include "ini_cases.inc"
};

std::string SpoolPathOf(const std::string& content) { return ParseIniString(content, "Server", "Spool Path"); }

TEST(IniTest, EachFileGivesItsValue) {
    ScopedTempDir dir;
    for (const IniCase& c : kIniCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Visible(SpoolPathOf(std::string(c.content))), Visible(c.value));
        // The same bytes read from a file, NUL bytes and all.
        WriteFile(dir / "qelm.INI", c.content);
        EXPECT_EQ(Visible(platform::ReadIniString(dir / "qelm.INI", "Server", "Spool Path")), Visible(c.value));
    }
}

TEST(IniTest, ShippedExampleNamesTheSpool) {
    EXPECT_EQ(ParseIniString(ReadFile(QELM_SOURCE_DIR "/packaging/qelm.INI.example"), "Server", "Spool Path"),
              "/var/spool/qelm/");
}

TEST(IniTest, HostileInputIsReadToTheEnd) {
    const std::string huge(10 << 20, 'x');
    EXPECT_EQ(SpoolPathOf("[Server]\r\nJunk=" + huge + "\r\nSpool Path=/q/"), "/q/");
    EXPECT_EQ(SpoolPathOf("[Server]\r\nSpool Path=" + huge).size(), huge.size());
    EXPECT_EQ(SpoolPathOf("[Server]" + std::string(10 << 20, '\r') + "Spool Path=/q/"), "/q/");
    EXPECT_EQ(SpoolPathOf("[Server]\n" + std::string(10 << 20, '[')), "");
    EXPECT_EQ(SpoolPathOf("[Server]\n" + std::string(10 << 20, '=')), "");
    EXPECT_EQ(SpoolPathOf(std::string(10 << 20, '\0') + "\n[Server]\nSpool Path=/q/"), "/q/");

    // Random bytes, with the section and key scattered through them.
    std::mt19937 random(20240601);
    std::string noise;
    for (int i = 0; i < (4 << 20); ++i) noise += static_cast<char>(random());
    for (std::size_t at = 0; at < noise.size(); at += 100000) noise.insert(at, "\n[Server]\nSpool Path=");
    SpoolPathOf(noise);
}

// ------------------------------------------------------------------ locator

const std::string kUntouched = "untouched";
const std::string kNoIni = "No QELM.INI Found...\r\n";
const std::string kNoSpool = "No Spool Found...\r\n";

// What FindSpool printed, with standard output sent to a file meanwhile.
bool RunFindSpool(std::string& printed) {
    std::fflush(stdout);
    const int saved = ::dup(1);
    std::FILE* capture = std::tmpfile();
    ::dup2(::fileno(capture), 1);
    ResetStandardOutput();
    const bool found = FindSpool();
    FlushStandardOutput();
    ::dup2(saved, 1);
    ::close(saved);
    std::rewind(capture);
    printed.clear();
    char buffer[256];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, capture)) printed.append(buffer, got);
    std::fclose(capture);
    ResetStandardOutput();
    return found;
}

enum class Kind { File, Directory, Fifo, DanglingLink, LinkToDirectory };

struct IniEntry {
    std::string name;
    Kind kind;
    std::string content;  // of a file
};

struct LocatorCase {
    const char* name;
    std::vector<IniEntry> ini;        // made in the directory of qelm.INI
    std::vector<std::string> dirs;    // "$" stands for the case's own directory
    std::vector<std::string> files;
    bool found;
    std::string printed;
    std::string spoolPath;            // "$" as above
};

std::string Expand(const std::string& text, const std::string& base) {
    std::string out;
    for (char c : text) c == '$' ? out += base : out += c;
    return out;
}

IniEntry Ini(const std::string& value) { return {"qelm.INI", Kind::File, "[Server]\r\nSpool Path=" + value + "\r\n"}; }

TEST(LocatorTest, EachLayoutGivesItsResultAndLine) {
    ScopedTempDir temp;
    // Every case has a directory of its own, r00, r01 ..., all of one length,
    // so that values of exact lengths can be built.
    const std::size_t baseLength = (temp / "r00").size();
    const std::string pad(259 - baseLength - 2, 'p');  // "$/" + pad + "/" has 259 characters

    const LocatorCase cases[] = {
        {"no INI file", {}, {"$/Users"}, {}, false, kNoIni, kUntouched},
        {"a directory named qelm.INI", {{"qelm.INI", Kind::Directory, ""}}, {"$/Users"}, {}, false, kNoIni, kUntouched},
        {"a link to a directory named qelm.INI", {{"qelm.INI", Kind::LinkToDirectory, ""}}, {"$/Users"}, {}, false,
         kNoIni, kUntouched},
        {"a FIFO named qelm.INI is present but unreadable", {{"qelm.INI", Kind::Fifo, ""}}, {}, {}, false, kNoSpool,
         ""},
        {"a dangling link named qelm.INI is present but unreadable", {{"qelm.INI", Kind::DanglingLink, ""}}, {}, {},
         false, kNoSpool, ""},
        {"value ending with a separator", {Ini("$/")}, {"$/Users/alice"}, {}, true, "", "$/"},
        {"qelm.ini in another letter case", {{"QELM.ini", Kind::File, "[Server]\nSpool Path=$/\n"}}, {"$/Users"}, {},
         true, "", "$/"},
        {"the exact name wins over a good one in another case",
         {Ini("$/none/"), {"qelm.ini", Kind::File, "[Server]\nSpool Path=$/\n"}}, {"$/Users"}, {}, false, kNoSpool,
         "$/none/"},
        {"the exact name wins over a bad one in another case",
         {Ini("$/"), {"QELM.INI", Kind::File, "[Server]\nSpool Path=$/none/\n"}}, {"$/Users"}, {}, true, "", "$/"},
        {"of two names in other cases the smaller in byte order wins",
         {{"qelm.ini", Kind::File, "[Server]\nSpool Path=$/none/\n"},
          {"QELM.INI", Kind::File, "[Server]\nSpool Path=$/\n"}},
         {"$/Users"}, {}, true, "", "$/"},
        {"Users is joined to the last name", {Ini("$/spool")}, {"$/spool/Users"}, {}, false, kNoSpool, "$/spool"},
        {"a sibling named spoolUsers is the spool", {Ini("$/spool")}, {"$/spoolUsers"}, {}, true, "", "$/spool"},
        {"Users is a regular file", {Ini("$/")}, {}, {"$/Users"}, false, kNoSpool, "$/"},
        {"no Users directory", {Ini("$/")}, {"$/users"}, {}, false, kNoSpool, "$/"},
        {"empty value", {Ini("")}, {"$/Users"}, {}, false, kNoSpool, ""},
        {"missing key", {{"qelm.INI", Kind::File, "[Server]\r\nSpool=$/\r\n"}}, {"$/Users"}, {}, false, kNoSpool, ""},
        {"missing section", {{"qelm.INI", Kind::File, "[Client]\r\nSpool Path=$/\r\n"}}, {"$/Users"}, {}, false,
         kNoSpool, ""},
        {"empty INI file", {{"qelm.INI", Kind::File, ""}}, {"$/Users"}, {}, false, kNoSpool, ""},
        {"quoted value with blanks in another syntax",
         {{"qelm.INI", Kind::File, "\xEF\xBB\xBF; spool\n[server]\r  spool path = \"$/My Spool/\"  "}},
         {"$/My Spool/Users"}, {}, true, "", "$/My Spool/"},
        {"a value of 259 characters", {Ini("$/" + pad + "/")}, {"$/" + pad + "/Users"}, {}, true, "",
         "$/" + pad + "/"},
        // Its first 259 characters followed by Users name a directory too:
        // cutting the value would walk that one, whose letters are not the
        // server's.
        {"a value of 260 characters is no spool", {Ini("$/" + pad + "x/")},
         {"$/" + pad + "x/Users", "$/" + pad + "xUsers"}, {}, false, kNoSpool, ""},
        {"a value of 10 MB is no spool", {Ini(std::string(10 << 20, 'v'))}, {}, {}, false, kNoSpool, ""},
    };

    const std::string etc = platform::ConfigurationDirectory();
    int index = 0;
    for (const LocatorCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = temp / ("r" + std::to_string(index / 10) + std::to_string(index % 10));
        ++index;
        ASSERT_EQ(base.size(), baseLength);
        MakeDirs(base);

        fs::remove_all(etc);
        MakeDirs(etc);
        for (const IniEntry& entry : c.ini) {
            const std::string path = etc + "/" + entry.name;
            switch (entry.kind) {
                case Kind::File: WriteFile(path, Expand(entry.content, base)); break;
                case Kind::Directory: MakeDirs(path); break;
                case Kind::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); break;
                case Kind::DanglingLink: fs::create_symlink(base + "/nothing", path); break;
                case Kind::LinkToDirectory: fs::create_directory_symlink(base, path); break;
            }
        }
        for (const std::string& dir : c.dirs) MakeDirs(Expand(dir, base));
        for (const std::string& file : c.files) WriteFile(Expand(file, base), "");

        std::memset(SpoolPath, 0, sizeof SpoolPath);
        std::memcpy(SpoolPath, kUntouched.data(), kUntouched.size());
        std::string printed;
        const bool found = RunFindSpool(printed);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(Visible(printed), Visible(c.printed));
        EXPECT_EQ(std::string(SpoolPath), Expand(c.spoolPath, base));
        EXPECT_EQ(SpoolPath[sizeof SpoolPath - 1], '\0');
    }
    fs::remove_all(etc);
}

}  // namespace
