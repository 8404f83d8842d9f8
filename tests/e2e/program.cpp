#include "e2e/program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>

#include "run/version.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Reads both pipes until they close or the deadline passes.
void Collect(int outFd, int errFd, std::string& out, std::string& err, int timeoutSeconds, pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(child, SIGKILL);
            ADD_FAILURE() << "the program did not end within " << timeoutSeconds << " s";
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0) ::close(p.fd);
}

}  // namespace

RunResult RunProgram(const RunOptions& options) {
    RunResult result;
    int outPipe[2] = {-1, -1};
    int errPipe[2];
    if (::pipe(errPipe) != 0) ADD_FAILURE() << "pipe";
    std::string outFile;
    if (options.stdout_kind == Stdout::Pipe || options.stdout_kind == Stdout::ClosedPipe) {
        if (::pipe(outPipe) != 0) ADD_FAILURE() << "pipe";
    }
    if (options.stdout_kind == Stdout::ClosedPipe) {
        ::close(outPipe[0]);
        outPipe[0] = -1;
    }
    if (options.stdout_kind == Stdout::File) {
        char pattern[] = "/tmp/qelm-stdout-XXXXXX";
        const int fd = ::mkstemp(pattern);
        ::close(fd);
        outFile = pattern;
    }

    uid_t uid = 0;
    gid_t gid = 0;
    if (!options.user.empty()) {
        const passwd* entry = ::getpwnam(options.user.c_str());
        if (entry == nullptr) ADD_FAILURE() << "no user " << options.user;
        else {
            uid = entry->pw_uid;
            gid = entry->pw_gid;
        }
    }

    std::vector<std::string> args = {QELM_PROGRAM};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = options.environment;
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(errPipe[1], 2);
        switch (options.stdout_kind) {
            case Stdout::Pipe:
            case Stdout::ClosedPipe: ::dup2(outPipe[1], 1); break;
            case Stdout::File: {
                const int fd = ::open(outFile.c_str(), O_WRONLY | O_TRUNC);
                ::dup2(fd, 1);
                break;
            }
            case Stdout::DevFull: {
                const int fd = ::open("/dev/full", O_WRONLY);
                ::dup2(fd, 1);
                break;
            }
            case Stdout::Closed: ::close(1); break;
        }
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::signal(SIGPIPE, SIG_DFL);
        if (options.address_space > 0) {
            rlimit limit{static_cast<rlim_t>(options.address_space), static_cast<rlim_t>(options.address_space)};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (options.open_files > 0) {
            rlimit limit{static_cast<rlim_t>(options.open_files), static_cast<rlim_t>(options.open_files)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (options.file_size >= 0) {
            rlimit limit{static_cast<rlim_t>(options.file_size), static_cast<rlim_t>(options.file_size)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (!options.user.empty()) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(errPipe[1]);
    if (outPipe[1] >= 0) ::close(outPipe[1]);
    Collect(outPipe[0], errPipe[0], result.out, result.err, options.timeout_seconds, child);

    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    if (!outFile.empty()) {
        result.out = ReadFile(outFile);
        ::unlink(outFile.c_str());
    }
    return result;
}

const std::string& IniDirectory() {
    static const std::string directory = QELM_E2E_INI_DIR;
    return directory;
}

void ResetIniDirectory() {
    std::error_code ignored;
    fs::remove_all(IniDirectory(), ignored);
    fs::create_directories(IniDirectory());
}

void WriteIni(const std::string& content) { WriteFile(IniDirectory() + "/qelm.INI", content); }

std::string EnglishBanner() {
    return "\r\nQELM Spool Corrector\r\nVersion " QELM_VERSION ": ends every letter with its terminator block\r\n\r\n";
}

std::string Summary(int found, int corrected) {
    return EnglishBanner() + "QELM Spool found...\r\n\r\nFiles found: " + std::to_string(found) +
           "\r\nFiles corrected: " + std::to_string(corrected) + "\r\n";
}

std::string Letter(const std::string& subject) { return "Subject: " + subject + "\r\n\r\nHello.\r\n\r\n.\r\n\r\n"; }

std::map<std::string, std::string> Contents(const std::string& dir) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && !entry.is_symlink()) contents[entry.path().string()] = ReadFile(entry.path());
    return contents;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

void ExpectReport(const std::string& err, const std::string& kind, const std::string& message) {
    const std::regex form("Exception " + kind + " in module qelm-spool-corrector-e2e at [0-9A-F]{8}\\.\r\n" +
                          message + "\r\n\r\n");
    EXPECT_TRUE(std::regex_match(err, form)) << Visible(err);
}

void PointIniAt(const std::string& spool) { WriteIni("[Server]\r\nSpool Path=" + spool + "/\r\n"); }
