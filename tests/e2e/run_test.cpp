// The run as an administrator sees it: what a run prints for each of its
// ends, in English and Russian, and the failure report.
#include <gtest/gtest.h>

#include "e2e/program.h"
#include "test_util.h"

namespace {

class RunTest : public ::testing::Test {
protected:
    void SetUp() override { ResetIniDirectory(); }

    // An INI file naming a spool whose Users directory exists and is empty.
    void MakeEmptySpool() {
        MakeDirs(spool_ / "Users");
        WriteIni("[Server]\r\nSpool Path=" + spool_.path() + "/\r\n");
    }

    ScopedTempDir spool_;
};

const std::string kFoundEmpty = "QELM Spool found...\r\n\r\nFiles found: 0\r\nFiles corrected: 0\r\n";

TEST_F(RunTest, EachEndPrintsItsLinesAndExitsZero) {
    struct Case {
        const char* name;
        std::string ini;  // empty: no qelm.INI at all
        std::string status;
    };
    MakeDirs(spool_ / "Users");
    const Case cases[] = {
        {"no INI file", "", "No QELM.INI Found...\r\n"},
        {"no Spool Path key", "[Server]\r\nOther=1\r\n", "No Spool Found...\r\n"},
        {"spool without Users", "[Server]\r\nSpool Path=/nonexistent/\r\n", "No Spool Found...\r\n"},
        {"spool found", "[Server]\r\nSpool Path=" + spool_.path() + "/\r\n", kFoundEmpty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetIniDirectory();
        if (!c.ini.empty()) WriteIni(c.ini);
        const RunResult run = RunProgram();
        EXPECT_EQ(Visible(run.out), Visible(EnglishBanner() + c.status));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exit_status, 0);
    }
}

TEST_F(RunTest, ArgumentsAreIgnored) {
    MakeEmptySpool();
    const RunResult plain = RunProgram();
    RunOptions withArguments;
    withArguments.arguments = {"--help", "-v", "/etc", ""};
    const RunResult run = RunProgram(withArguments);
    EXPECT_EQ(run.out, plain.out);
    EXPECT_EQ(run.exit_status, 0);
}

TEST_F(RunTest, FileAndPipeReceiveTheSameBytes) {
    MakeEmptySpool();
    RunOptions toFile;
    toFile.stdout_kind = Stdout::File;
    const RunResult file = RunProgram(toFile);
    const RunResult pipe = RunProgram();
    EXPECT_EQ(Visible(file.out), Visible(EnglishBanner() + kFoundEmpty));
    EXPECT_EQ(file.out, pipe.out);
}

TEST_F(RunTest, ClosedStandardOutputIsReportedWithCode105) {
    // The banner cannot be written, so the spool is never even located: the
    // letter that needs correcting stays as it is.
    MakeEmptySpool();
    WriteFile(spool_ / "Users/u/letter", "needs the block\n");
    RunOptions options;
    options.stdout_kind = Stdout::Closed;
    const RunResult run = RunProgram(options);
    ExpectReport(run.err, "EInOutError", "I/O error 105\\.");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(ReadFile(spool_ / "Users/u/letter"), "needs the block\n");
}

TEST_F(RunTest, FullOrBrokenStandardOutputIsReportedNotKilled) {
    MakeEmptySpool();
    RunOptions full;
    full.stdout_kind = Stdout::DevFull;
    RunResult run = RunProgram(full);
    // The whole output fits in the buffer, so the failure surfaces at the
    // final flush, which is reported like any other.
    ExpectReport(run.err, "EInOutError", "Disk full\\.");
    EXPECT_EQ(run.exit_status, 1);

    RunOptions broken;
    broken.stdout_kind = Stdout::ClosedPipe;
    run = RunProgram(broken);
    EXPECT_EQ(run.signal, 0);
    ExpectReport(run.err, "EInOutError", "I/O error 1032\\.");  // EPIPE
    EXPECT_EQ(run.exit_status, 1);
}

TEST_F(RunTest, RussianRunPrintsConvertedTextsInTheLocaleCodeset) {
    WriteIni("[Server]\r\n");
    RunOptions options;
    options.environment = {"LANG=C", "LC_ALL=ru_RU.UTF-8"};
    const RunResult run = RunProgram(options);
    EXPECT_NE(run.out.find("\r\n\xD0\x9A\xD0\xBE\xD1\x80\xD1\x80\xD0\xB5\xD0\xBA\xD1\x82\xD0\xBE\xD1\x80 "),
              std::string::npos)
        << Visible(run.out);  // "Корректор " in UTF-8
    EXPECT_TRUE(run.out.ends_with("\xD0\xA1\xD0\xBF\xD1\x83\xD0\xBB QELM \xD0\xBD\xD0\xB5 "
                                  "\xD0\xBD\xD0\xB0\xD0\xB9\xD0\xB4\xD0\xB5\xD0\xBD...\r\n"))
        << Visible(run.out);  // "Спул QELM не найден..."
    EXPECT_EQ(run.exit_status, 0);

    // In a single-byte codeset every letter stays one byte: С is 0x91 in CP866.
    options.environment = {"LANG=ru_RU.CP866"};
    const RunResult cp866 = RunProgram(options);
    EXPECT_TRUE(cp866.out.ends_with("\x91\xAF\xE3\xAB QELM \xAD\xA5 \xAD\xA0\xA9\xA4\xA5\xAD...\r\n"))
        << Visible(cp866.out);

    // The report is English in a Russian run.
    options.stdout_kind = Stdout::Closed;
    const RunResult failed = RunProgram(options);
    ExpectReport(failed.err, "EInOutError", "I/O error 105\\.");
}

TEST_F(RunTest, OnlyRussiaGivesRussian) {
    WriteIni("[Server]\r\n");
    for (const char* locale : {"LC_ALL=ru_UA.UTF-8", "LANG=en_US.UTF-8", "LC_MESSAGES=de_DE", "LANG=ru"}) {
        SCOPED_TRACE(locale);
        RunOptions options;
        options.environment = {locale};
        EXPECT_EQ(RunProgram(options).out, EnglishBanner() + "No Spool Found...\r\n");
    }
    // LC_ALL wins over LANG; an empty variable counts as unset.
    RunOptions options;
    options.environment = {"LC_ALL=", "LC_MESSAGES=ru_RU.KOI8-R", "LANG=en_US"};
    EXPECT_NE(RunProgram(options).out, EnglishBanner() + "No Spool Found...\r\n");
}

TEST_F(RunTest, MemoryExhaustionIsReported) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
    // A 64 MiB value in the INI file cannot be read within a 32 MiB address
    // space beyond what the program has at start.
    WriteIni("[Server]\r\nSpool Path=" + std::string(64 << 20, 'x') + "\r\n");
    RunOptions options;
    options.address_space = 48L << 20;
    const RunResult run = RunProgram(options);
    ExpectReport(run.err, "EOutOfMemory", "Out of memory\\.");
    EXPECT_EQ(run.exit_status, 1);
#endif
}

}  // namespace
