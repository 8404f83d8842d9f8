// The Windows platform's spool operations, run under Wine: listings, the
// share mode of an open letter, and the replacement of a letter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "platform/platform.h"
#include "run/failure.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / (std::string("qelm-platform-") + info->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override {
        for (const auto& entry : fs::recursive_directory_iterator(root_))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
        fs::remove_all(root_);
    }

    std::string Path(const std::string& name = "") const { return (root_ / name).string(); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The names in the directory, with what the listing says they are.
    std::map<std::string, platform::EntryKind> Listing() const {
        std::map<std::string, platform::EntryKind> names;
        for (const auto& entry : platform::ListDirectory(platform::OpenDirectory(Path()))) names[entry.name] = entry.kind;
        return names;
    }
    static std::string ReadAll(platform::SpoolFile& file) {
        std::string bytes;
        char buffer[7];
        while (std::size_t got = platform::ReadSpoolFile(file, buffer, sizeof buffer)) bytes.append(buffer, got);
        return bytes;
    }
    static int FailureCode(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const EInOutError& failure) {
            return failure.code();
        }
        return 0;
    }

    fs::path root_;
};

using Kind = platform::EntryKind;

TEST_F(PlatformTest, ListingGivesEveryEntryButDotAndDotDot) {
    Write(Path("letter"), "x");
    Write(Path("a.b.c"), "");
    Write(Path(".profile"), "");
    fs::create_directory(Path("Inbox"));
    const std::map<std::string, Kind> expected = {
        {"letter", Kind::File}, {"a.b.c", Kind::File}, {".profile", Kind::File}, {"Inbox", Kind::Directory}};
    EXPECT_EQ(Listing(), expected);
}

TEST_F(PlatformTest, OnlyDirectoriesOpenAsDirectories) {
    Write(Path("letter"), "x");
    fs::create_directory(Path("Inbox"));
    const platform::Directory root = platform::OpenDirectory(Path());
    ASSERT_TRUE(root);
    EXPECT_TRUE(platform::OpenSubdirectory(root, "Inbox"));
    EXPECT_FALSE(platform::OpenSubdirectory(root, "letter"));
    EXPECT_FALSE(platform::OpenSubdirectory(root, "missing"));
    EXPECT_FALSE(platform::OpenDirectory(Path("missing")));
    EXPECT_FALSE(platform::OpenDirectory(Path("letter")));
}

TEST_F(PlatformTest, AnOpenLetterCanBeReadByOthersButNotWritten) {
    Write(Path("letter"), "Hello\r\n\r\n.\r\n");
    const platform::Directory root = platform::OpenDirectory(Path());
    platform::SpoolFile file = platform::OpenSpoolFile(root, "letter");
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadAll(file), "Hello\r\n\r\n.\r\n");
    platform::RewindSpoolFile(file);
    EXPECT_EQ(ReadAll(file), "Hello\r\n\r\n.\r\n");

    EXPECT_EQ(Read(Path("letter")), "Hello\r\n\r\n.\r\n");
    std::ofstream writer(Path("letter"), std::ios::binary | std::ios::app);
    EXPECT_FALSE(writer.is_open());
}

TEST_F(PlatformTest, OpeningAMissingLetterFailsWithItsCode) {
    const platform::Directory root = platform::OpenDirectory(Path());
    EXPECT_EQ(FailureCode([&] { platform::OpenSpoolFile(root, "missing"); }), 2);  // ERROR_FILE_NOT_FOUND
}

TEST_F(PlatformTest, AReadOnlyLetterIsRefusedWithCode5) {
    Write(Path("letter"), "x");
    Write(Path("writable"), "x");
    fs::permissions(Path("letter"), fs::perms::owner_write, fs::perm_options::remove);
    const platform::Directory root = platform::OpenDirectory(Path());
    const platform::SpoolFile letter = platform::OpenSpoolFile(root, "letter");
    EXPECT_EQ(FailureCode([&] { platform::CheckWritable(root, "letter", letter); }), 5);
    const platform::SpoolFile writable = platform::OpenSpoolFile(root, "writable");
    EXPECT_EQ(FailureCode([&] { platform::CheckWritable(root, "writable", writable); }), 0);
}

TEST_F(PlatformTest, ACommittedReplacementTakesTheLettersPlace) {
    Write(Path("letter"), "old");
    const platform::Directory root = platform::OpenDirectory(Path());
    platform::SpoolFile file = platform::OpenSpoolFile(root, "letter");
    {
        platform::Replacement replacement = platform::CreateReplacement(root, "letter", file);
        platform::WriteReplacement(replacement, "new\r\n", 5);
        platform::WriteReplacement(replacement, "\r\n.\r\n", 5);
        EXPECT_EQ(Listing().size(), 2u);  // the letter and the temporary file beside it
        EXPECT_TRUE(platform::CommitReplacement(replacement, file));
    }
    EXPECT_EQ(Read(Path("letter")), "new\r\n\r\n.\r\n");
    EXPECT_EQ(Listing(), (std::map<std::string, Kind>{{"letter", Kind::File}}));
}

TEST_F(PlatformTest, AReplacementThatIsNotCommittedLeavesNothingBehind) {
    Write(Path("letter"), "old");
    const platform::Directory root = platform::OpenDirectory(Path());
    platform::SpoolFile file = platform::OpenSpoolFile(root, "letter");
    {
        platform::Replacement replacement = platform::CreateReplacement(root, "letter", file);
        platform::WriteReplacement(replacement, "new", 3);
    }
    EXPECT_EQ(Read(Path("letter")), "old");
    EXPECT_EQ(Listing(), (std::map<std::string, Kind>{{"letter", Kind::File}}));
}

TEST_F(PlatformTest, ALetterMovedAwayMeanwhileIsNotReplaced) {
    // While the letter is open, others may move it (the share mode allows
    // deletion) and put another file under its name; the replacement must
    // then not land on the newcomer.
    Write(Path("letter"), "old");
    const platform::Directory root = platform::OpenDirectory(Path());
    platform::SpoolFile file = platform::OpenSpoolFile(root, "letter");
    platform::Replacement replacement = platform::CreateReplacement(root, "letter", file);
    platform::WriteReplacement(replacement, "new", 3);
    fs::rename(Path("letter"), Path("moved"));
    Write(Path("letter"), "newcomer");

    EXPECT_FALSE(platform::CommitReplacement(replacement, file));
    replacement = platform::Replacement();
    EXPECT_EQ(Read(Path("letter")), "newcomer");
    EXPECT_EQ(Read(Path("moved")), "old");
    EXPECT_EQ(Listing(), (std::map<std::string, Kind>{{"letter", Kind::File}, {"moved", Kind::File}}));
}

TEST_F(PlatformTest, OneLockPerLetterUntilItIsClosed) {
    Write(Path("letter"), "x");
    Write(Path("other"), "x");
    const platform::Directory root = platform::OpenDirectory(Path());
    {
        platform::SpoolFile first = platform::OpenSpoolFile(root, "letter");
        platform::SpoolFile second = platform::OpenSpoolFile(root, "letter");
        platform::SpoolFile other = platform::OpenSpoolFile(root, "other");
        EXPECT_TRUE(platform::LockSpoolFile(first));
        EXPECT_FALSE(platform::LockSpoolFile(second));
        EXPECT_TRUE(platform::LockSpoolFile(other));
    }
    platform::SpoolFile again = platform::OpenSpoolFile(root, "letter");
    EXPECT_TRUE(platform::LockSpoolFile(again));
}

TEST_F(PlatformTest, OnlyTemporariesThatNoRunWritesAreRemoved) {
    const auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    Write(Path(".qelm-corrector-old"), "left by a killed run");
    fs::last_write_time(Path(".qelm-corrector-old"), twoHoursAgo);
    Write(Path(".qelm-corrector-young"), "maybe a run beside this one");
    Write(Path("letter"), "old");
    const platform::Directory root = platform::OpenDirectory(Path());
    platform::RemoveStaleTemporary(root, ".qelm-corrector-old", 3600);
    platform::RemoveStaleTemporary(root, ".qelm-corrector-young", 3600);

    // A run still writing its copy keeps it, however old it may be.
    platform::SpoolFile file = platform::OpenSpoolFile(root, "letter");
    platform::Replacement active = platform::CreateReplacement(root, "letter", file);
    std::string activeName;
    for (const auto& [name, kind] : Listing())
        if (name.starts_with(".qelm-corrector-") && name != ".qelm-corrector-young") activeName = name;
    ASSERT_FALSE(activeName.empty());
    platform::RemoveStaleTemporary(root, activeName, 0);

    EXPECT_FALSE(fs::exists(Path(".qelm-corrector-old")));
    EXPECT_TRUE(fs::exists(Path(".qelm-corrector-young")));
    EXPECT_TRUE(fs::exists(Path(activeName)));
}

}  // namespace
