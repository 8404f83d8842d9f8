// The Windows program's runs under Wine: what each end of a run prints, in
// English and Russian, and the failure report.
#include <gtest/gtest.h>

#include <regex>

#include "test_util.h"
#include "wine/wine_program.h"

namespace {

class WineRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareWinePrefix();
        RemoveIni();
    }
    void TearDown() override { RemoveIni(); }

    // An INI file naming a spool whose Users directory exists and is empty.
    void MakeEmptySpool() {
        MakeDirs(spool_ / "Users");
        WriteIni("[Server]\r\nSpool Path=" + WindowsPath(spool_.path()) + "\\\r\n");
    }

    ScopedTempDir spool_;
};

const std::string kFoundEmpty = "QELM Spool found...\r\n\r\nFiles found: 0\r\nFiles corrected: 0\r\n";

TEST_F(WineRunTest, EachEndPrintsItsLinesAndExitsZero) {
    struct Case {
        const char* name;
        std::string ini;  // empty: no qelm.INI at all
        std::string status;
    };
    MakeDirs(spool_ / "Users");
    const std::string spool = WindowsPath(spool_.path());
    const Case cases[] = {
        {"no INI file", "", "No QELM.INI Found...\r\n"},
        {"no Spool Path key", "[Server]\r\nOther=1\r\n", "No Spool Found...\r\n"},
        {"spool without Users", "[Server]\r\nSpool Path=Z:\\nonexistent\\\r\n", "No Spool Found...\r\n"},
        {"value without closing backslash", "[Server]\r\nSpool Path=" + spool + "\r\n", "No Spool Found...\r\n"},
        {"spool found", "[Server]\r\nSpool Path=" + spool + "\\\r\n", kFoundEmpty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveIni();
        if (!c.ini.empty()) WriteIni(c.ini);
        const RunResult run = RunWindowsProgram();
        EXPECT_EQ(Visible(run.out), Visible(EnglishBanner() + c.status));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exit_status, 0);
    }
}

TEST_F(WineRunTest, FileAndPipeReceiveTheSameBytes) {
    MakeEmptySpool();
    RunOptions toFile;
    toFile.stdout_kind = Stdout::File;
    const RunResult file = RunWindowsProgram(toFile);
    EXPECT_EQ(Visible(file.out), Visible(EnglishBanner() + kFoundEmpty));
    EXPECT_EQ(file.out, RunWindowsProgram().out);
}

// The report: "Exception <kind> in module qelm-spool-corrector.exe at <8 hex
// digits>.", the message with a full stop, and an empty line, each ended by
// CR LF.
void ExpectWindowsReport(const std::string& err, const std::string& message) {
    const std::regex form("Exception EInOutError in module qelm-spool-corrector\\.exe at [0-9A-F]{8}\\.\r\n" +
                          message + "\r\n\r\n");
    EXPECT_TRUE(std::regex_match(err, form)) << Visible(err);
}

TEST_F(WineRunTest, FailedStandardOutputIsReportedWithTheWindowsCode) {
    MakeEmptySpool();
    RunOptions full;
    full.stdout_kind = Stdout::DevFull;
    RunResult run = RunWindowsProgram(full);
    ExpectWindowsReport(run.err, "I/O error 112\\.");  // ERROR_DISK_FULL
    EXPECT_EQ(run.exit_status, 1);

    RunOptions broken;
    broken.stdout_kind = Stdout::ClosedPipe;
    run = RunWindowsProgram(broken);
    ExpectWindowsReport(run.err, "I/O error [0-9]+\\.");
    EXPECT_EQ(run.exit_status, 1);
}

TEST_F(WineRunTest, RussianSystemPrintsTheTextsInCodePage866) {
    WriteIni("[Server]\r\n");
    RunOptions options;
    options.environment = {"LC_ALL=ru_RU.UTF-8"};
    const RunResult run = RunWindowsProgram(options);
    // "Корректор спула QELM" and "Спул QELM не найден...": С is 0x91 in code
    // page 866 where code page 1251 has 0xD1; the texts keep their lengths.
    EXPECT_TRUE(run.out.starts_with("\r\n\x8A\xAE\xE0\xE0\xA5\xAA\xE2\xAE\xE0 \xE1\xAF\xE3\xAB\xA0 QELM\r\n"))
        << Visible(run.out);
    const std::string noSpool = "\x91\xAF\xE3\xAB QELM \xAD\xA5 \xAD\xA0\xA9\xA4\xA5\xAD...";
    EXPECT_EQ(noSpool.size(), 22u);
    EXPECT_TRUE(run.out.ends_with("\r\n\r\n" + noSpool + "\r\n")) << Visible(run.out);
    EXPECT_EQ(run.exit_status, 0);

    // The report stays English.
    options.stdout_kind = Stdout::DevFull;
    const RunResult failed = RunWindowsProgram(options);
    ExpectWindowsReport(failed.err, "I/O error 112\\.");
}

TEST_F(WineRunTest, OtherSystemLanguagesPrintEnglish) {
    WriteIni("[Server]\r\n");
    for (const char* locale : {"LC_ALL=ru_UA.UTF-8", "LC_ALL=de_DE.UTF-8", "LC_ALL=en_US.UTF-8", "LC_ALL=C"}) {
        SCOPED_TRACE(locale);
        RunOptions options;
        options.environment = {locale};
        EXPECT_EQ(Visible(RunWindowsProgram(options).out), Visible(EnglishBanner() + "No Spool Found...\r\n"));
    }
}

}  // namespace
