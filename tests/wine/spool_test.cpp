// Whole runs of the Windows program over a spool on Wine's drive Z:.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "line_cases.h"
#include "test_util.h"
#include "wine/wine_program.h"

namespace fs = std::filesystem;

namespace {

class WineSpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareWinePrefix();
        WriteIni("[Server]\r\nSpool Path=" + WindowsPath(spool_.path()) + "\\\r\n");
    }
    void TearDown() override { RemoveIni(); }

    std::string Users(const std::string& relative) const { return spool_ / ("Users/" + relative); }

    ScopedTempDir spool_;
};

TEST_F(WineSpoolTest, EveryLetterBelowUsersIsFoundOnce) {
    const char* letters[] = {"alice/Inbox/1.msg", "alice/Inbox/a.b", "alice/Sent/2024/06/msg", "bob/Inbox/0001",
                             "bob/Archive/old/deep/er/still", "dave/lonely"};
    for (const char* letter : letters) WriteFile(Users(letter), Letter(letter));
    MakeDirs(Users("carol/Inbox"));
    // Not letters: dot names, what lies outside Users, and a directory
    // reached through a link, which Windows shows as a reparse point.
    WriteFile(Users("alice/.mailrc"), "set folder\n");
    WriteFile(Users("bob/.cache/index"), "");
    WriteFile(spool_ / "outside.msg", "not a letter");
    WriteFile(spool_ / "elsewhere/2.msg", "not a letter");
    fs::create_directory_symlink(spool_ / "elsewhere", Users("bob/elsewhere"));
    // A name that the ANSI code page of an English system cannot spell
    // ("письмо") is left alone instead of failing every run.
    WriteFile(Users("dave/\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C\xD0\xBC\xD0\xBE"), "no terminator");

    const auto before = Contents(spool_.path());
    for (int run = 0; run < 2; ++run) {
        const RunResult result = RunWindowsProgram();
        EXPECT_EQ(Visible(result.out), Visible(Summary(6, 0)));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(Contents(spool_.path()), before);
    }
}

TEST_F(WineSpoolTest, EveryLineRuleOnDisk) {
    const std::vector<LineCase>& cases = LineCases();
    int rewrites = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        WriteFile(Users("user/" + std::to_string(i)), cases[i].input);
        if (cases[i].output) ++rewrites;
    }
    const int count = static_cast<int>(cases.size());

    RunResult run = RunWindowsProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(count, rewrites)));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(SameBytes(ReadFile(Users("user/" + std::to_string(i))), cases[i].output.value_or(cases[i].input)));
    }

    // A corrected spool is left as it is.
    const auto corrected = Contents(spool_.path());
    run = RunWindowsProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(count, 0)));
    EXPECT_EQ(Contents(spool_.path()), corrected);
}

TEST_F(WineSpoolTest, ReadOnlyLetterThatNeedsCorrectingEndsTheRunUnchanged) {
    WriteFile(Users("user/letter"), "no terminator\r\n");
    fs::permissions(Users("user/letter"), fs::perms::all, fs::perm_options::remove);
    fs::permissions(Users("user/letter"), fs::perms::owner_read, fs::perm_options::add);
    const auto before = Contents(spool_.path());

    const RunResult run = RunWindowsProgram();
    EXPECT_EQ(Visible(run.out), Visible(EnglishBanner() + "QELM Spool found...\r\n\r\n"));
    EXPECT_TRUE(std::regex_match(run.err, std::regex("Exception EInOutError in module qelm-spool-corrector\\.exe at "
                                                     "[0-9A-F]{8}\\.\r\nFile access denied\\.\r\n\r\n")))
        << Visible(run.err);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(Contents(spool_.path()), before);  // no temporary file left either
}

TEST_F(WineSpoolTest, TwoRunsAtOnceCorrectEveryLetterExactlyOnce) {
    // Both runs read the same letters; a letter that the other run holds
    // open only delays a replacement, and the run that locks a letter first
    // corrects it.
    constexpr int kLetters = 200;
    auto name = [](int i) { return "u" + std::to_string(i % 4) + "/m" + std::to_string(i); };
    auto body = [](int i) { return std::string(5000 + i * 97, 'x'); };
    for (int i = 0; i < kLetters; ++i) WriteFile(Users(name(i)), body(i) + "\n");

    RunResult results[2];
    std::thread runs[2];
    for (int i = 0; i < 2; ++i) runs[i] = std::thread([&, i] { results[i] = RunWindowsProgram(); });
    for (auto& run : runs) run.join();

    int corrected = 0;
    for (const RunResult& result : results) {
        EXPECT_EQ(result.exit_status, 0) << Visible(result.err);
        const std::size_t at = result.out.find("Files corrected: ");
        ASSERT_NE(at, std::string::npos) << Visible(result.out);
        corrected += std::stoi(result.out.substr(at + 17));
    }
    EXPECT_EQ(corrected, kLetters);
    for (int i = 0; i < kLetters; ++i)
        EXPECT_TRUE(SameBytes(ReadFile(Users(name(i))), body(i) + "\r\n" + std::string(kTerminatorBlock)));
    EXPECT_EQ(Contents(spool_.path()).size(), static_cast<std::size_t>(kLetters));  // no temporary left
}

}  // namespace
