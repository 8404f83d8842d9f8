// Tries to break the corrector: kills, full disks, file-size limits, other
// users' permissions, concurrent runs and hostile trees. After each, every
// letter must be either its original bytes or its complete corrected bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "e2e/program.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// A letter with LF line breaks and no full-stop line: it needs a full
// rewrite, and its corrected form is easy to state.
std::string LfLetter(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string letter;
    letter.reserve(size + 100);
    while (letter.size() < size) {
        const std::size_t length = random() % 120;
        for (std::size_t i = 0; i < length; ++i) letter += static_cast<char>('a' + random() % 26);
        letter += '\n';
    }
    return letter;
}

std::string Corrected(const std::string& lfLetter) {
    std::string out;
    out.reserve(lfLetter.size() * 2);
    for (char c : lfLetter) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out + "\r\n\r\n.\r\n\r\n";
}

const char* const kTerminated = "Text\r\n\r\n.\r\n\r\n";
const std::string kTerminatorBlock = "\r\n\r\n.\r\n\r\n";

// Names of the corrector's temporary files anywhere below `root`.
std::vector<std::string> Temporaries(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.path().filename().string().starts_with(".qelm-corrector-")) found.push_back(entry.path());
    return found;
}

std::string CountsLine(int found, int corrected) {
    return "Files found: " + std::to_string(found) + "\r\nFiles corrected: " + std::to_string(corrected) + "\r\n";
}

class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetIniDirectory();
        users_ = spool_ / "Users";
        MakeDirs(users_);
        PointIniAt(spool_.path());
    }

    // Writes letters below Users and remembers their original bytes.
    void AddLetter(const std::string& relative, const std::string& content) {
        WriteFile(users_ + "/" + relative, content);
        letters_[relative] = content;
    }

    // Every letter holds its original or its corrected bytes; returns how
    // many are corrected.
    int ExpectEveryLetterWhole() {
        int corrected = 0;
        for (const auto& [relative, original] : letters_) {
            const std::string now = ReadFile(users_ + "/" + relative);
            if (now == original) continue;
            if (now == Corrected(original)) {
                ++corrected;
                continue;
            }
            ADD_FAILURE() << relative << " is neither original nor corrected (" << now.size() << " bytes)";
        }
        return corrected;
    }

    ScopedTempDir spool_;
    std::string users_;
    std::map<std::string, std::string> letters_;
};

// Starts the program with its output thrown away.
pid_t Start(const std::string& user = "") {
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (!user.empty()) {
            const passwd* entry = ::getpwnam(user.c_str());
            if (entry == nullptr || ::setgid(entry->pw_gid) != 0 || ::setuid(entry->pw_uid) != 0) ::_exit(126);
        }
        char* const argv[] = {const_cast<char*>(QELM_PROGRAM), nullptr};
        char* const envp[] = {const_cast<char*>("LANG=C"), nullptr};
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    return child;
}

int Wait(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST_F(ReliabilityTest, KillAtAnyInstantLeavesEveryLetterWholeOrCorrected) {
    std::vector<std::string> originals;
    for (unsigned i = 0; i < 8; ++i) originals.push_back(LfLetter((1u << 20) + i * (3u << 20) / 8, i));

    // How long one uninterrupted run takes, so that kills land all across it.
    for (unsigned i = 0; i < originals.size(); ++i) AddLetter("u" + std::to_string(i % 3) + "/m" + std::to_string(i), originals[i]);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(Wait(Start()), 0);
    const auto fullRun = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(ExpectEveryLetterWhole(), static_cast<int>(originals.size()));

    std::mt19937 random(2026);
    for (int trial = 0; trial < 25; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        for (const auto& [relative, original] : letters_) WriteFile(users_ + "/" + relative, original);
        for (const std::string& temporary : Temporaries(users_)) fs::remove(temporary);

        const pid_t child = Start();
        std::this_thread::sleep_for(fullRun * (random() % 1000) / 1000);
        ::kill(child, SIGKILL);
        Wait(child);
        const int correctedBeforeKill = ExpectEveryLetterWhole();

        // The next run finishes the job, counting exactly what was left.
        const RunResult next = RunProgram();
        EXPECT_TRUE(next.out.ends_with(CountsLine(static_cast<int>(originals.size()),
                                                  static_cast<int>(originals.size()) - correctedBeforeKill)))
            << Visible(next.out);
        EXPECT_EQ(ExpectEveryLetterWhole(), static_cast<int>(originals.size()));
    }
}

TEST_F(ReliabilityTest, LeftoverTemporaryFilesAreRemovedOnlyWhenStale) {
    AddLetter("u/m", kTerminated);
    const std::string fresh = users_ + "/u/.qelm-corrector-1-fresh";
    const std::string stale = users_ + "/u/.qelm-corrector-2-stale";
    const std::string other = users_ + "/u/.other-stale";
    for (const std::string& path : {fresh, stale, other}) WriteFile(path, "partial");
    const auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    fs::last_write_time(stale, twoHoursAgo);
    fs::last_write_time(other, twoHoursAgo);

    const RunResult run = RunProgram();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(fs::exists(fresh)) << "a temporary file of a run still active beside this one";
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(other)) << "only the corrector's own temporary files are removed";
}

TEST_F(ReliabilityTest, TwoRunsAtOnceCorrectEveryLetterExactlyOnce) {
    for (unsigned i = 0; i < 300; ++i) AddLetter("u" + std::to_string(i % 5) + "/m" + std::to_string(i), LfLetter(2000 + i * 300, i));

    std::string outputs[2];
    std::thread runs[2];
    for (int i = 0; i < 2; ++i) runs[i] = std::thread([&, i] { outputs[i] = RunProgram().out; });
    for (auto& run : runs) run.join();

    int total = 0;
    for (const std::string& out : outputs) {
        const std::size_t at = out.find("Files corrected: ");
        ASSERT_NE(at, std::string::npos) << Visible(out);
        total += std::stoi(out.substr(at + 17));
    }
    EXPECT_EQ(total, 300);
    EXPECT_EQ(ExpectEveryLetterWhole(), 300);
    EXPECT_TRUE(Temporaries(users_).empty());
}

// Appends one line to `path` the way a mail server does: open, append, close.
void AppendLine(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(fd);
}

TEST_F(ReliabilityTest, ServerAppendingDuringTheRunRarelyLosesBytes) {
    // One append lands at a random moment of each correction. The check
    // before the rename leaves only the instant between it and the rename in
    // which the append can be lost; the same trials with a plain
    // read-then-truncate rewrite show what that check buys.
    constexpr int kTrials = 200;
    const std::string path = users_ + "/u/letter";
    const std::string original = LfLetter(256u << 10, 7);
    const std::string line = "appended line\n";

    WriteFile(path, original);
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(Wait(Start()), 0);
    const auto correctorRun = std::chrono::steady_clock::now() - begin;
    begin = std::chrono::steady_clock::now();
    WriteFile(path, Corrected(ReadFile(path)));
    const auto truncatingRun = std::chrono::steady_clock::now() - begin;

    std::mt19937 random(11);
    int lost[2] = {0, 0};
    int replaced = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        for (int truncating : {0, 1}) {
            WriteFile(path, original);
            const auto delay = (truncating ? truncatingRun : correctorRun) * (random() % 1000) / 1000;
            std::thread server([&] {
                std::this_thread::sleep_for(delay);
                AppendLine(path, line);
            });
            if (truncating) {
                WriteFile(path, Corrected(ReadFile(path)));
            } else {
                Wait(Start());
            }
            server.join();
            const std::string after = ReadFile(path);
            const bool kept = after.find("appended line") != std::string::npos;
            lost[truncating] += kept ? 0 : 1;
            if (!truncating && after.ends_with(kTerminatorBlock)) ++replaced;
        }
    }
    std::printf("trials losing the appended line: corrector %d of %d (letter replaced in %d), "
                "read-then-truncate %d of %d\n", lost[0], kTrials, replaced, lost[1], kTrials);
    EXPECT_LE(lost[0], kTrials / 20);
    EXPECT_GT(replaced, 0) << "no trial let the corrector replace the letter";
}

TEST_F(ReliabilityTest, LetterStillBeingWrittenIsLeftForTheNextRun) {
    // The server writes a letter in pieces and keeps it open in between.
    const std::string path = users_ + "/u/letter";
    WriteFile(path, "Subject: in pieces\n\nfirst half\n");
    const int server = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(server, 0);
    RunResult run = RunProgram();
    EXPECT_TRUE(run.out.ends_with(CountsLine(1, 0))) << Visible(run.out);
    ASSERT_EQ(::write(server, "second half\n", 12), 12);
    ::close(server);
    EXPECT_EQ(ReadFile(path), "Subject: in pieces\n\nfirst half\nsecond half\n");

    run = RunProgram();
    EXPECT_TRUE(run.out.ends_with(CountsLine(1, 1))) << Visible(run.out);
    EXPECT_EQ(ReadFile(path), "Subject: in pieces\r\n\r\nfirst half\r\nsecond half\r\n" + kTerminatorBlock);
}

TEST_F(ReliabilityTest, FileSizeLimitEndsTheRunWithoutHarm) {
    AddLetter("u/a", LfLetter(3u << 20, 1));
    RunOptions options;
    options.file_size = 1 << 20;
    const RunResult run = RunProgram(options);
    ExpectReport(run.err, "EInOutError", "I/O error 223\\.");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(ExpectEveryLetterWhole(), 0);
    EXPECT_TRUE(Temporaries(users_).empty());
}

TEST_F(ReliabilityTest, FullDiskEndsTheRunWithoutHarm) {
    if (!RunningAsRoot()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string small = spool_ / "small";
    MakeDirs(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=6m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};

    // Two letters of 2 MB: the first correction fits, the second does not.
    users_ = small + "/Users";
    PointIniAt(small);
    AddLetter("u/a", LfLetter(2u << 20, 1));
    AddLetter("u/b", LfLetter(2u << 20, 2));
    const RunResult run = RunProgram();
    ExpectReport(run.err, "EInOutError", "Disk full\\.");
    EXPECT_EQ(run.exit_status, 1);
    ExpectEveryLetterWhole();
    EXPECT_TRUE(Temporaries(users_).empty());
}

// Runs as the unprivileged user "nobody", over a spool it can traverse.
class NobodyTest : public ReliabilityTest {
protected:
    void SetUp() override {
        if (!RunningAsRoot() || ::getpwnam("nobody") == nullptr) GTEST_SKIP() << "needs root and the user nobody";
        ReliabilityTest::SetUp();
        nobody_ = ::getpwnam("nobody");
        fs::permissions(spool_.path(), fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
    }

    // Hands a path to nobody with the given mode.
    void Give(const std::string& path, fs::perms mode) {
        ASSERT_EQ(::chown(path.c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
        fs::permissions(path, mode);
    }

    RunResult RunAsNobody() {
        RunOptions options;
        options.user = "nobody";
        return RunProgram(options);
    }

    const passwd* nobody_ = nullptr;
};

TEST_F(NobodyTest, LetterThatCannotBeReadOrWrittenEndsTheRunUnchanged) {
    struct Case {
        const char* name;
        fs::perms mode;
        bool ownDirectory;  // nobody may create files in the letter's directory
    };
    const Case cases[] = {
        {"unreadable letter", fs::perms::none, true},
        {"read-only letter", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, true},
        {"directory without room for the new file", fs::perms::owner_read | fs::perms::owner_write, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(users_);
        letters_.clear();
        MakeDirs(users_);
        AddLetter("u/letter", "needs the block\n");
        Give(users_ + "/u/letter", c.mode);
        if (c.ownDirectory) Give(users_ + "/u", fs::perms::owner_all);
        const RunResult run = RunAsNobody();
        ExpectReport(run.err, "EInOutError", "File access denied\\.");
        EXPECT_EQ(run.exit_status, 1);
        fs::permissions(users_ + "/u/letter", fs::perms::owner_read, fs::perm_options::add);
        EXPECT_EQ(ExpectEveryLetterWhole(), 0);
        EXPECT_TRUE(Temporaries(users_).empty());
    }
}

TEST_F(NobodyTest, UnreadableDirectoryIsLeftOutSilently) {
    AddLetter("closed/letter", "needs the block\n");
    AddLetter("open/letter", "needs the block\n");
    fs::permissions(users_ + "/closed", fs::perms::owner_all);  // root's alone
    Give(users_ + "/open", fs::perms::owner_all);
    Give(users_ + "/open/letter", fs::perms::owner_read | fs::perms::owner_write);
    const RunResult run = RunAsNobody();
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with(CountsLine(1, 1))) << Visible(run.out);
    EXPECT_EQ(ReadFile(users_ + "/closed/letter"), "needs the block\n");
}

TEST_F(ReliabilityTest, LinksPipesAndSocketsInTheSpoolAreLeftAlone) {
    ScopedTempDir outside;
    WriteFile(outside / "secret", "not a letter\n");
    WriteFile(outside / "dir/secret", "not a letter either\n");
    AddLetter("u/m", "a real letter\n");
    fs::create_symlink(outside / "secret", users_ + "/u/link-to-file");
    fs::create_directory_symlink(outside / "dir", users_ + "/u/link-to-dir");
    fs::create_directory_symlink(users_, users_ + "/u/loop");
    ASSERT_EQ(::mkfifo((users_ + "/u/fifo").c_str(), 0666), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = users_ + "/u/socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    RunOptions options;
    options.timeout_seconds = 20;
    const RunResult run = RunProgram(options);
    ::close(sock);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with(CountsLine(1, 1))) << Visible(run.out);
    EXPECT_EQ(ReadFile(outside / "secret"), "not a letter\n");
    EXPECT_EQ(ReadFile(outside / "dir/secret"), "not a letter either\n");
    EXPECT_EQ(ExpectEveryLetterWhole(), 1);
}

TEST_F(ReliabilityTest, OddNamesAreCorrected) {
    const std::string names[] = {"caf\xE9\xFF\x80", "with space", "new\nline", "tab\there", "-dash", "a.b", "msg"};
    for (const std::string& name : names) AddLetter("u/" + name, "letter " + name + "\n");
    const RunResult run = RunProgram();
    EXPECT_TRUE(run.out.ends_with(CountsLine(7, 7))) << Visible(run.out);
    EXPECT_EQ(ExpectEveryLetterWhole(), 7);
}

TEST_F(ReliabilityTest, HundredThousandLettersInOneDirectory) {
    const std::string dir = users_ + "/big";
    MakeDirs(dir);
    for (int i = 0; i < 100000; ++i) {
        const int fd = ::open((dir + "/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        const std::string content = i % 1000 == 0 ? "needs it\r\n" : kTerminated;
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    RunOptions options;
    options.timeout_seconds = 300;
    const RunResult run = RunProgram(options);
    EXPECT_TRUE(run.out.ends_with(CountsLine(100000, 100))) << Visible(run.out);
    EXPECT_EQ(ReadFile(dir + "/1000"), "needs it\r\n\r\n\r\n.\r\n\r\n");
}

TEST_F(ReliabilityTest, TreeDeeperThanTheDescriptorLimitNeverFailsTheRun) {
    // A letter at every level of a tree deeper than the run may hold
    // directories open: the levels it can reach are corrected, the deeper
    // ones left out, and no letter fails to open for want of a descriptor.
    std::string level;
    for (int depth = 1; depth <= 80; ++depth) {
        level += "/d";
        AddLetter(level.substr(1) + "/letter", "level " + std::to_string(depth) + "\n");
    }
    RunOptions options;
    options.open_files = 48;
    const RunResult run = RunProgram(options);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const int corrected = ExpectEveryLetterWhole();
    EXPECT_GT(corrected, 20);
    EXPECT_LT(corrected, 80);
    EXPECT_TRUE(run.out.ends_with(CountsLine(corrected, corrected))) << Visible(run.out);
}

TEST_F(ReliabilityTest, TreeTenThousandLevelsDeep) {
    // Deeper than any path the system accepts: built, checked and removed
    // one level at a time relative to the level above, every level kept open.
    constexpr int kDepth = 10000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < kDepth + 100) GTEST_SKIP() << "the open-file limit is below " << kDepth + 100;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    std::vector<int> levels = {::open(users_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    for (int i = 0; i < kDepth; ++i) {
        ASSERT_EQ(::mkdirat(levels.back(), "d", 0755), 0) << i;
        levels.push_back(::openat(levels.back(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(levels.back(), 0) << i;
    }
    int fd = ::openat(levels.back(), "letter", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(fd, "deep\n", 5), 5);
    ::close(fd);

    RunOptions options;
    options.timeout_seconds = 300;
    const RunResult run = RunProgram(options);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with(CountsLine(1, 1))) << Visible(run.out);

    fd = ::openat(levels.back(), "letter", O_RDONLY | O_CLOEXEC);
    char buffer[64] = {};
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0), "deep\r\n\r\n\r\n.\r\n\r\n");

    ::unlinkat(levels.back(), "letter", 0);
    for (int i = kDepth; i > 0; --i) {
        ::close(levels[i]);
        ::unlinkat(levels[i - 1], "d", AT_REMOVEDIR);
    }
    ::close(levels[0]);
}

}  // namespace
