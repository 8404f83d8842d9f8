// Whole runs over a spool: what is counted and what the run prints.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "e2e/program.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetIniDirectory();
        WriteIni("[Server]\r\nSpool Path=" + spool_.path() + "/\r\n");
    }

    std::string Users(const std::string& relative) const { return spool_ / ("Users/" + relative); }

    ScopedTempDir spool_;
};

TEST_F(SpoolTest, LettersOfEveryUserAndFolderAreCorrected) {
    // Each letter with the bytes it must hold after the run.
    const std::map<std::string, std::pair<std::string, std::string>> letters = {
        {"alice/Inbox/1.msg", {Letter("1"), Letter("1")}},
        {"alice/Inbox/2.msg", {"Subject: 2\n\nHi\n", "Subject: 2\r\n\r\nHi\r\n\r\n\r\n.\r\n\r\n"}},
        {"alice/Inbox/a.b", {Letter("a.b"), Letter("a.b")}},
        {"alice/Sent/2024/06/msg", {"Sent\r\n.\r\n", "Sent\r\n\r\n\r\n.\r\n\r\n"}},
        {"alice/Sent/2024/07/x", {Letter("x"), Letter("x")}},
        {"bob/Inbox/0001", {"", "\r\n\r\n.\r\n\r\n"}},
        {"bob/Archive/old/deep/er/still", {"A\r\n.\r\nB\x1A junk", "A\r\n\r\n\r\n.\r\n\r\n"}},
        {"dave/lonely", {Letter("lonely"), Letter("lonely")}},
    };
    for (const auto& [path, bytes] : letters) WriteFile(Users(path), bytes.first);
    MakeDirs(Users("carol/Inbox"));
    // Not letters: dot names, links and a FIFO, and what lies outside Users.
    WriteFile(Users("alice/.mailrc"), "set folder\n");
    WriteFile(Users("bob/.cache/index"), "");
    WriteFile(Users(".trash/1.msg"), "trash\n");
    WriteFile(spool_ / "outside.msg", "not a letter");
    WriteFile(spool_ / "elsewhere/2.msg", "not a letter");
    fs::create_symlink(spool_ / "outside.msg", Users("alice/Inbox/link.msg"));
    fs::create_directory_symlink(spool_ / "elsewhere", Users("bob/elsewhere"));
    ASSERT_EQ(::mkfifo(Users("dave/pipe").c_str(), 0600), 0);

    auto expected = Contents(spool_.path());
    for (const auto& [path, bytes] : letters) expected[Users(path)] = bytes.second;
    RunResult run = RunProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(8, 4)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(Contents(spool_.path()), expected);

    // A second run finds every letter terminated and changes no byte.
    run = RunProgram();
    EXPECT_EQ(Visible(run.out), Visible(Summary(8, 0)));
    EXPECT_EQ(Contents(spool_.path()), expected);
}

TEST_F(SpoolTest, BusyFileEndsTheRunAfterTheStatusLine) {
    // A program that is running cannot be opened for writing: the sharing
    // violation ends the run, and the counts are never printed.
    const std::string busy = Users("u/program");
    MakeDirs(Users("u"));
    fs::copy_file("/bin/sleep", busy);
    fs::permissions(busy, fs::perms::owner_all);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(busy.c_str(), "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::usleep(100000);
    const RunResult run = RunProgram();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(Visible(run.out), Visible(EnglishBanner() + "QELM Spool found...\r\n\r\n"));
    ExpectReport(run.err, "EInOutError", "I/O error 32\\.");
    EXPECT_EQ(run.exit_status, 1);
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
