// Whole runs over a spool: what is counted and what the run prints.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "e2e/program.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// A letter that already ends with its terminator block.
std::string Letter(const std::string& subject) {
    return "Subject: " + subject + "\r\n\r\nHello.\r\n\r\n.\r\n\r\n";
}

std::string Summary(int found, int corrected) {
    return EnglishBanner() + "QELM Spool found...\r\n\r\nFiles found: " + std::to_string(found) +
           "\r\nFiles corrected: " + std::to_string(corrected) + "\r\n";
}

// Every regular file below `dir` with its bytes; links are not followed.
std::map<std::string, std::string> Contents(const std::string& dir) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && !entry.is_symlink()) contents[entry.path().string()] = ReadFile(entry.path());
    return contents;
}

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetIniDirectory();
        WriteIni("[Server]\r\nSpool Path=" + spool_.path() + "/\r\n");
    }

    std::string Users(const std::string& relative) const { return spool_ / ("Users/" + relative); }

    ScopedTempDir spool_;
};

TEST_F(SpoolTest, LettersOfEveryUserAndFolderAreCounted) {
    const char* letters[] = {
        "alice/Inbox/1.msg", "alice/Inbox/2.msg", "alice/Inbox/a.b", "alice/Sent/2024/06/msg",
        "alice/Sent/2024/07/x", "bob/Inbox/0001", "bob/Archive/old/deep/er/still", "dave/lonely",
    };
    for (const char* letter : letters) WriteFile(Users(letter), Letter(letter));
    MakeDirs(Users("carol/Inbox"));
    // Not letters: dot names, links and a FIFO, and what lies outside Users.
    WriteFile(Users("alice/.mailrc"), "set folder\n");
    WriteFile(Users("bob/.cache/index"), "");
    WriteFile(Users(".trash/1.msg"), Letter("trash"));
    WriteFile(spool_ / "outside.msg", "not a letter");
    WriteFile(spool_ / "elsewhere/2.msg", "not a letter");
    fs::create_symlink(spool_ / "outside.msg", Users("alice/Inbox/link.msg"));
    fs::create_directory_symlink(spool_ / "elsewhere", Users("bob/elsewhere"));
    ASSERT_EQ(::mkfifo(Users("dave/pipe").c_str(), 0600), 0);

    const auto before = Contents(spool_.path());
    RunResult run = RunProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(8, 0)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(Contents(spool_.path()), before);

    run = RunProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(8, 0)));
    EXPECT_EQ(Contents(spool_.path()), before);
}

TEST_F(SpoolTest, ThousandsOfLettersGiveAFourDigitCount) {
    int count = 0;
    for (const char* user : {"anna", "boris", "vera"})
        for (const char* folder : {"Inbox", "Sent", "Drafts/old"})
            for (int i = 0; i < 137; ++i, ++count)
                WriteFile(Users(std::string(user) + "/" + folder + "/" + std::to_string(i)), Letter("n"));
    for (; count < 1234; ++count) WriteFile(Users("boris/Inbox/extra" + std::to_string(count)), Letter("x"));

    const RunResult run = RunProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(1234, 0)));
    EXPECT_EQ(run.exit_status, 0);
}

}  // namespace
