// The spool tree walk, observed through the files it hands on.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/failure.h"
#include "spool/corrector.h"
#include "spool/walk.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The names handed on, in order, and the name on which the stand-in fails.
std::vector<std::string> Handed;
std::string FailAt;

void Record(const platform::Directory& directory, const std::string& name) {
    EXPECT_TRUE(directory);
    Handed.push_back(name);
    if (name == FailAt) RaiseInOutError(kCodeAccessDenied);
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        Handed.clear();
        FailAt.clear();
        CorrectFileProc = Record;
    }
    void TearDown() override { CorrectFileProc = CorrectFile; }

    std::vector<std::string> Walk(const std::string& dir) {
        Handed.clear();
        ScanDirectory(dir);
        return Handed;
    }

    ScopedTempDir temp_;
};

// The names of a directory in the order its listing gives them.
std::vector<std::string> Listed(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(WalkTest, SubdirectoriesAreWalkedWhereTheListingMeetsThem) {
    // R holds the files a and b and the directory sub, which holds the file c
    // and the directory inner with the file e. Whatever the listing order,
    // each subtree's files come at its directory's place in its parent.
    const std::string root = temp_ / "R";
    WriteFile(root + "/a", "");
    WriteFile(root + "/b", "");
    WriteFile(root + "/sub/c", "");
    WriteFile(root + "/sub/inner/e", "");

    std::vector<std::string> expected;
    for (const std::string& name : Listed(root)) {
        if (name != "sub") {
            expected.push_back(name);
            continue;
        }
        for (const std::string& below : Listed(root + "/sub")) expected.push_back(below == "inner" ? "e" : below);
    }
    EXPECT_EQ(Walk(root), expected);
}

TEST_F(WalkTest, DotNamesAreSkippedAtEveryLevel) {
    const std::string root = temp_ / "R";
    const std::pair<std::string, std::string> levels[] = {{"", ""}, {"/sub", "-sub"}, {"/sub/deeper", "-deeper"}};
    for (const auto& [dir, tag] : levels) {
        WriteFile(root + dir + "/.profile", "");
        WriteFile(root + dir + "/.cache/below" + tag, "");
        WriteFile(root + dir + "/..x", "");
        WriteFile(root + dir + "/a.b" + tag, "");
        WriteFile(root + dir + "/msg" + tag, "");
    }
    EXPECT_EQ(Sorted(Walk(root)), Sorted({"a.b", "msg", "a.b-sub", "msg-sub", "a.b-deeper", "msg-deeper"}));
}

TEST_F(WalkTest, LinksAndSpecialFilesAreLeftAlone) {
    const std::string outside = temp_ / "outside";
    WriteFile(outside + "/secret", "");
    WriteFile(outside + "/dir/inside", "");
    const std::string root = temp_ / "R";
    WriteFile(root + "/letter", "");
    fs::create_symlink(outside + "/secret", root + "/link-to-file");
    fs::create_directory_symlink(outside + "/dir", root + "/link-to-dir");
    fs::create_directory_symlink(root, root + "/link-to-itself");
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);

    EXPECT_EQ(Walk(root), std::vector<std::string>{"letter"});

    // A link is never opened as a subdirectory; the root may be one.
    const platform::Directory parent = platform::OpenDirectory(root);
    ASSERT_TRUE(parent);
    EXPECT_FALSE(platform::OpenSubdirectory(parent, "link-to-dir"));
    fs::create_directory_symlink(root, temp_ / "root-link");
    EXPECT_EQ(Walk(temp_ / "root-link"), std::vector<std::string>{"letter"});
}

TEST_F(WalkTest, TreesWithoutFilesHandOnNothing) {
    MakeDirs(temp_ / "empty");
    MakeDirs(temp_ / "hollow/a/b");
    MakeDirs(temp_ / "hollow/c");
    WriteFile(temp_ / "file", "");
    for (const char* root : {"missing", "empty", "hollow", "file", "file/below"}) {
        SCOPED_TRACE(root);
        EXPECT_EQ(Walk(temp_ / root), std::vector<std::string>{});
    }
}

// A chain of `depth` directories named d below `root`, with a file f<level>
// in each directory (f0 in root itself). Built and removed through
// descriptors: its paths are far longer than any path the system resolves.
class Chain {
public:
    Chain(const std::string& root, int depth) : root_(root) {
        MakeDirs(root);
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; fd >= 0; ++level) {
            const int file = ::openat(fd, ("f" + std::to_string(level)).c_str(), O_WRONLY | O_CREAT, 0644);
            EXPECT_GE(file, 0);
            ::close(file);
            if (level == depth) break;
            EXPECT_EQ(::mkdirat(fd, "d", 0755), 0);
            const int below = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = below;
        }
        EXPECT_GE(fd, 0);
        ::close(fd);
    }

    // Removes the chain from the top: each step lifts the grandchild up to
    // the root, then removes the emptied child.
    ~Chain() {
        const int top = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        for (;;) {
            const int child = ::openat(top, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (child < 0) break;
            const bool more = ::renameat(child, "d", top, "next") == 0;
            DIR* listing = ::fdopendir(child);
            while (const dirent* entry = ::readdir(listing))
                if (entry->d_name[0] != '.') ::unlinkat(::dirfd(listing), entry->d_name, 0);
            ::closedir(listing);
            ::unlinkat(top, "d", AT_REMOVEDIR);
            if (!more || ::renameat(top, "next", top, "d") != 0) break;
        }
        ::close(top);
    }

private:
    std::string root_;
};

// The levels whose files were handed on, sorted.
std::vector<int> Levels(const std::vector<std::string>& names) {
    std::vector<int> levels;
    for (const std::string& name : names) levels.push_back(std::stoi(name.substr(1)));
    std::sort(levels.begin(), levels.end());
    return levels;
}

TEST_F(WalkTest, DeepTreeIsWalkedToTheBottom) {
    constexpr int kDepth = 10000;
    const std::string root = temp_ / "R";
    Chain chain(root, kDepth);

    // One descriptor per level is needed; the program raises its soft limit
    // to the hard one at start, as this test does.
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit limit = original;
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    if (limit.rlim_cur >= kDepth + 64) {
        std::vector<int> all(kDepth + 1);
        for (int level = 0; level <= kDepth; ++level) all[level] = level;
        EXPECT_EQ(Levels(Walk(root)), all);
    } else {
        ADD_FAILURE() << "the hard limit of open files (" << limit.rlim_max << ") is below " << kDepth + 64;
    }

    // Where the limit is hit, the directories below are left out without a
    // failure, and every level above is walked.
    limit.rlim_cur = 200;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    const std::vector<int> reached = Levels(Walk(root));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_FALSE(reached.empty());
    EXPECT_LT(reached.back(), 200);
    for (std::size_t i = 0; i < reached.size(); ++i) EXPECT_EQ(reached[i], static_cast<int>(i));
}

TEST_F(WalkTest, FailureStopsTheWalkAtEveryLevel) {
    // A tree three levels deep in which every directory holds a file and two
    // subdirectories. The first file met at the bottom lies in the first
    // subtree walked at every level, so something is still to come at each.
    const std::string root = temp_ / "R";
    std::function<void(const std::string&, const std::string&)> make = [&](const std::string& dir,
                                                                           const std::string& digits) {
        WriteFile(dir + "/f" + digits, "");
        if (digits.size() == 3) return;
        for (const char* sub : {"0", "1"}) make(dir + "/" + sub, digits + sub);
    };
    make(root, "");

    const std::vector<std::string> full = Walk(root);
    ASSERT_EQ(full.size(), 15u);
    const auto bottom = std::find_if(full.begin(), full.end(), [](const std::string& n) { return n.size() == 4; });
    ASSERT_NE(bottom, full.end());

    FailAt = *bottom;
    Handed.clear();
    try {
        ScanDirectory(root);
        ADD_FAILURE() << "the failure did not pass out of the walk";
    } catch (const EInOutError& failure) {
        EXPECT_EQ(failure.code(), kCodeAccessDenied);
    }
    EXPECT_EQ(Handed, std::vector<std::string>(full.begin(), bottom + 1));
}

}  // namespace
