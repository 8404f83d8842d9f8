// CorrectFile on real files: the bytes on disk, the counters, and every way
// in which a letter must survive a failure untouched.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>

#include "line_cases.h"
#include "run/driver.h"
#include "run/failure.h"
#include "spool/corrector.h"
#include "test_util.h"

namespace {

// The names in a directory, "." and ".." left out.
std::set<std::string> Names(const std::string& path) {
    std::set<std::string> names;
    DIR* listing = ::opendir(path.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.insert(entry->d_name);
    ::closedir(listing);
    return names;
}

struct stat Stat(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

// Gives a file a modification time long past, so that any write shows.
void Age(const std::string& path) {
    const timespec past[2] = {{1000000000, 123456789}, {1000000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct Outcome {
    int code = 0;  // the result code of the failure raised, 0 for none
    std::int32_t found = 0;
    std::int32_t corrected = 0;
};

// CorrectFile with fresh counters; a failure is caught and its code kept.
Outcome Correct(const std::string& directory, const std::string& name) {
    FilesFound = 0;
    FilesCorrected = 0;
    Outcome outcome;
    const platform::Directory opened = platform::OpenDirectory(directory);
    EXPECT_TRUE(opened) << directory;
    try {
        CorrectFile(opened, name);
    } catch (const EInOutError& failure) {
        outcome.code = failure.code();
    }
    outcome.found = FilesFound;
    outcome.corrected = FilesCorrected;
    return outcome;
}

// Runs `prepare` and then Correct in a child process, so that dropped
// privileges and resource limits stay there.
Outcome CorrectInChild(const std::string& directory, const std::string& name, const std::function<void()>& prepare) {
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        prepare();
        const Outcome outcome = Correct(directory, name);
        const bool sent = ::write(channel[1], &outcome, sizeof outcome) == sizeof outcome;
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    Outcome outcome{-1, -1, -1};
    EXPECT_EQ(::read(channel[0], &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return outcome;
}

// The unprivileged user: nobody when the tests run as root, else the user
// running them.
const passwd& Unprivileged() {
    static const passwd user = ::geteuid() == 0 ? *::getpwnam("nobody") : *::getpwuid(::geteuid());
    return user;
}

void BecomeUnprivileged() {
    if (::geteuid() != 0) return;
    if (::setgroups(0, nullptr) != 0 || ::setgid(Unprivileged().pw_gid) != 0 || ::setuid(Unprivileged().pw_uid) != 0)
        ::_exit(2);
}

void GiveToUnprivileged(const std::string& path) {
    ASSERT_EQ(::lchown(path.c_str(), Unprivileged().pw_uid, Unprivileged().pw_gid), 0) << path;
}

// Gives a directory a default ACL that grants `user` read and write access
// to the files made in it. False where the file system has no ACLs.
bool SetDefaultAcl(const std::string& directory, std::uint32_t user) {
    // The kernel's ACL format: a version, then (tag, permissions, id) entries
    // in tag order, all little-endian.
    struct Entry {
        std::uint16_t tag, permissions;
        std::uint32_t id;
    };
    constexpr std::uint32_t kNoId = 0xFFFFFFFF;
    const Entry entries[] = {
        {0x01, 6, kNoId},  // owner
        {0x02, 6, user},   // the user
        {0x04, 4, kNoId},  // group
        {0x10, 6, kNoId},  // mask
        {0x20, 0, kNoId},  // others
    };
    std::string value("\x02\0\0\0", 4);
    value.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return ::setxattr(directory.c_str(), "system.posix_acl_default", value.data(), value.size(), 0) == 0;
}

const std::string kTerminated = "Text\r\n\r\n.\r\n\r\n";
const std::string kUnterminated = "Text\r\n.\r\n";
const std::string kCorrected = "Text\r\n" + std::string(kTerminatorBlock);

TEST(CorrectorTest, EveryRuleOnDisk) {
    ScopedTempDir dir;
    const std::vector<LineCase>& cases = LineCases();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const LineCase& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string name = "letter" + std::to_string(i);
        WriteFile(dir / name, c.input);
        Age(dir / name);
        const struct stat before = Stat(dir / name);

        const Outcome first = Correct(dir.path(), name);
        EXPECT_EQ(first.code, 0);
        EXPECT_EQ(first.found, 1);
        EXPECT_EQ(first.corrected, c.output ? 1 : 0);
        EXPECT_TRUE(SameBytes(ReadFile(dir / name), c.output.value_or(c.input)));
        if (!c.output) {
            EXPECT_EQ(Stat(dir / name).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
            EXPECT_EQ(Stat(dir / name).st_ino, before.st_ino);
        }

        // A second run finds nothing to do.
        const struct stat corrected = Stat(dir / name);
        const Outcome second = Correct(dir.path(), name);
        EXPECT_EQ(second.found, 1);
        EXPECT_EQ(second.corrected, 0);
        EXPECT_EQ(Stat(dir / name).st_mtim.tv_nsec, corrected.st_mtim.tv_nsec);
    }
    // No copy is left behind.
    EXPECT_EQ(Names(dir.path()).size(), cases.size());
}

TEST(CorrectorTest, LinksAndSpecialFilesAreLeftAlone) {
    ScopedTempDir dir;
    WriteFile(dir / "target", kUnterminated);
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = dir / "socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    MakeDirs(dir / "directory");

    ::alarm(20);  // a FIFO opened for reading would block forever
    for (const char* name : {"link", "dangling", "fifo", "socket", "directory"}) {
        SCOPED_TRACE(name);
        const Outcome outcome = Correct(dir.path(), name);
        EXPECT_EQ(outcome.code, 0);
        EXPECT_EQ(outcome.found, 1);
        EXPECT_EQ(outcome.corrected, 0);
    }
    ::alarm(0);
    ::close(listener);
    EXPECT_EQ(ReadFile(dir / "target"), kUnterminated);
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"target", "link", "dangling", "fifo", "socket", "directory"}));
}

TEST(CorrectorTest, RefusalsLeaveTheFileAsItWas) {
    struct Case {
        const char* name;
        std::string content;
        mode_t fileMode;
        mode_t directoryMode;
        int code;
        bool othersLetter = false;  // the letter belongs to root, not the runner
    };
    const Case cases[] = {
        {"unreadable", kUnterminated, 0000, 0755, kCodeAccessDenied},
        {"unreadable though terminated", kTerminated, 0000, 0755, kCodeAccessDenied},
        {"read-only", kUnterminated, 0444, 0777, kCodeAccessDenied},
        {"read-only and terminated", kTerminated, 0444, 0755, 0},
        {"writable in a read-only directory", kUnterminated, 0644, 0555, kCodeAccessDenied},
        // The copy would change hands and could lock the server out.
        {"another user's letter, writable by all", kUnterminated, 0666, 0755, kCodeAccessDenied, true},
    };
    ScopedTempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sub = dir / c.name;
        WriteFile(sub + "/letter", c.content);
        if (::geteuid() == 0) {
            GiveToUnprivileged(sub);
            if (!c.othersLetter) GiveToUnprivileged(sub + "/letter");
        } else if (c.othersLetter) {
            continue;  // needs root to make a letter of another user
        }
        ASSERT_EQ(::chmod((sub + "/letter").c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(sub.c_str(), c.directoryMode), 0);
        Age(sub + "/letter");

        const Outcome outcome = CorrectInChild(sub, "letter", BecomeUnprivileged);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.found, 1);
        EXPECT_EQ(outcome.corrected, 0);
        ::chmod((sub + "/letter").c_str(), 0644);
        EXPECT_EQ(ReadFile(sub + "/letter"), c.content);
        EXPECT_EQ(Stat(sub + "/letter").st_mtim.tv_sec, 1000000000);
        EXPECT_EQ(Names(sub), std::set<std::string>{"letter"});
    }
}

TEST(CorrectorTest, ReadOnlyLetterIsRefusedWhoeverRuns) {
    // Root could open it for writing; it is refused all the same.
    ScopedTempDir dir;
    WriteFile(dir / "letter", kUnterminated);
    ASSERT_EQ(::chmod((dir / "letter").c_str(), 0444), 0);
    const Outcome outcome = Correct(dir.path(), "letter");
    EXPECT_EQ(outcome.code, kCodeAccessDenied);
    EXPECT_EQ(outcome.corrected, 0);
    EXPECT_EQ(ReadFile(dir / "letter"), kUnterminated);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"letter"});
}

TEST(CorrectorTest, WriteFailureLeavesNoCopy) {
    // Limits on the size of files written stand in for a full disk, both in
    // the middle of the copy and at its last flush.
    struct Case {
        const char* name;
        std::string content;
        rlim_t limit;
    };
    const Case cases[] = {
        {"at the last flush", "Some text\r\n" + std::string(5000, 'x'), 1000},
        {"in the middle", std::string(3 << 20, 'x') + "\n.\n", 1536 << 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempDir dir;
        WriteFile(dir / "letter", c.content);
        const Outcome outcome = CorrectInChild(dir.path(), "letter", [&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{c.limit, c.limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        EXPECT_EQ(outcome.code, 223);  // file too large
        EXPECT_EQ(outcome.found, 1);
        EXPECT_EQ(outcome.corrected, 0);
        EXPECT_TRUE(SameBytes(ReadFile(dir / "letter"), c.content));
        EXPECT_EQ(Names(dir.path()), std::set<std::string>{"letter"});
    }
}

TEST(CorrectorTest, LetterLockedByAnotherRunIsLeftToIt) {
    ScopedTempDir dir;
    WriteFile(dir / "letter", kUnterminated);
    const int other = ::open((dir / "letter").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    Outcome outcome = Correct(dir.path(), "letter");
    EXPECT_EQ(outcome.corrected, 0);
    EXPECT_EQ(ReadFile(dir / "letter"), kUnterminated);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"letter"});

    ::close(other);  // the other run is gone: the next run corrects it
    outcome = Correct(dir.path(), "letter");
    EXPECT_EQ(outcome.corrected, 1);
    EXPECT_EQ(ReadFile(dir / "letter"), kCorrected);
}

// What the test hook does between the writing of the copy and the rename.
std::function<void(const std::string& name)> Meanwhile;

void CallMeanwhile(const platform::Directory&, const std::string& name) { Meanwhile(name); }

TEST(CorrectorTest, FileChangedMeanwhileIsLeftForTheNextRun) {
    ScopedTempDir dir;
    const std::string path = dir / "letter";
    struct Case {
        const char* name;
        std::function<void()> change;
        std::optional<std::string> left;  // nullopt: no file
    };
    const Case cases[] = {
        {"grown", [&] { WriteFile(path, kUnterminated + "more\r\n"); }, kUnterminated + "more\r\n"},
        {"touched", [&] { Age(path); }, kUnterminated},
        {"replaced", [&] {
             WriteFile(dir / "other", "other\r\n");
             ASSERT_EQ(::rename((dir / "other").c_str(), path.c_str()), 0);
         }, "other\r\n"},
        {"removed", [&] { ASSERT_EQ(::unlink(path.c_str()), 0); }, std::nullopt},
    };
    BeforeReplaceForTest = &CallMeanwhile;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, kUnterminated);
        std::set<std::string> during;
        Meanwhile = [&](const std::string& name) {
            EXPECT_EQ(name, "letter");
            during = Names(dir.path());
            c.change();
        };
        const Outcome outcome = Correct(dir.path(), "letter");
        EXPECT_EQ(outcome.code, 0);
        EXPECT_EQ(outcome.found, 1);
        EXPECT_EQ(outcome.corrected, 0);
        // The copy was written beside the letter under a hidden name, and
        // is gone.
        ASSERT_EQ(during.size(), 2u);
        EXPECT_EQ(during.begin()->rfind(platform::kTemporaryPrefix, 0), 0u) << *during.begin();
        if (c.left) {
            EXPECT_EQ(ReadFile(path), *c.left);
            EXPECT_EQ(Names(dir.path()), std::set<std::string>{"letter"});
        } else {
            EXPECT_EQ(Names(dir.path()), std::set<std::string>{});
        }
    }
    BeforeReplaceForTest = nullptr;
}

TEST(CorrectorTest, LetterOpenElsewhereIsLeftForTheNextRun) {
    // A writer that keeps the letter open between its writes: replacing the
    // letter now would send its next write into a file without a name.
    ScopedTempDir dir;
    const std::string path = dir / "letter";
    WriteFile(path, "first half\r\n");
    const int writer = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    const Outcome outcome = Correct(dir.path(), "letter");
    ASSERT_EQ(::write(writer, "second half\r\n", 13), 13);
    ::close(writer);
    if (outcome.corrected == 1) GTEST_SKIP() << "this file system grants no leases";
    EXPECT_EQ(ReadFile(path), "first half\r\nsecond half\r\n");
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"letter"});

    // Closed, it is corrected by the next run.
    EXPECT_EQ(Correct(dir.path(), "letter").corrected, 1);
    EXPECT_EQ(ReadFile(path), "first half\r\nsecond half\r\n" + std::string(kTerminatorBlock));
}

TEST(CorrectorTest, ReplacementKeepsMetadataAndOtherLinks) {
    ScopedTempDir dir;
    const std::string path = dir / "spool/letter";
    WriteFile(path, kUnterminated);
    MakeDirs(dir / "elsewhere");
    ASSERT_EQ(::link(path.c_str(), (dir / "elsewhere/link").c_str()), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
    }
    // Set-id bits go with a change of owner: they must come back after it.
    const mode_t mode = root ? 06751 : 0640;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    const bool xattrs = ::setxattr(path.c_str(), "user.qelm", "kept", 4, 0) == 0;
    // A default ACL on the spool that would let user 1234 read new files:
    // the letter, made before it, must not gain that access.
    const bool acls = SetDefaultAcl(dir / "spool", 1234);

    const Outcome outcome = Correct(dir / "spool", "letter");
    ASSERT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.corrected, 1);
    EXPECT_EQ(ReadFile(path), kCorrected);
    const struct stat status = Stat(path);
    EXPECT_EQ(status.st_mode & 07777, mode);
    EXPECT_EQ(status.st_nlink, 1u);
    if (root) {
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 5678u);
    }
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(::getxattr(path.c_str(), "user.qelm", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    } else {
        std::printf("extended attributes not checked: the test file system has none\n");
    }
    if (acls) {
        EXPECT_EQ(::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), -1);
        EXPECT_EQ(errno, ENODATA);
    } else {
        std::printf("ACLs not checked: the test file system has none\n");
    }
    // Only the name in the spool was replaced.
    EXPECT_EQ(ReadFile(dir / "elsewhere/link"), kUnterminated);
}

}  // namespace
