#include "wine/wine_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kPrefix = QELM_WINE_PREFIX;

// Wine without a display, a network download or a debug channel: Mono and
// Gecko are never asked for, so that no dialog waits for an answer.
std::vector<std::string> WineEnvironment() {
    const char* home = std::getenv("HOME");
    return {
        "WINEPREFIX=" + kPrefix,
        "WINEDEBUG=-all",
        "WINEDLLOVERRIDES=mscoree,mshtml=",
        "HOME=" + std::string(home != nullptr ? home : kPrefix.c_str()),
        "PATH=/usr/bin:/bin",
    };
}

// Runs a program with Wine's environment and no standard stream of ours:
// whatever it leaves running (the wineserver, Wine's own services) holds no
// pipe of the tests open. Returns the exit status.
int RunDetached(std::vector<std::string> arguments) {
    std::vector<std::string> environment = WineEnvironment();
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult RunInPrefix(RunOptions options) {
    std::vector<std::string> environment = WineEnvironment();
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    options.environment = environment;
    return RunProgram(options);
}

}  // namespace

void PrepareWinePrefix() {
    static bool ready = false;
    if (ready) return;
    const std::string marker = kPrefix + "/.qelm-ready";
    fs::create_directories(fs::path(kPrefix).parent_path());
    const int lock = ::open((kPrefix + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0) << "cannot lock " << kPrefix;
    ::flock(lock, LOCK_EX);
    // The server stays for some seconds after its last client, and Wine's
    // services with it, so that the runs of one test program, and of the
    // next, find them started.
    const std::string wine = QELM_PROGRAM;
    const std::string server = (fs::path(wine).parent_path() / "wineserver").string();
    RunDetached({server, "-p10"});
    if (!fs::exists(marker)) {
        const int status = RunDetached({wine, "wineboot", "--init"});
        if (status == 0) WriteFile(marker, "");
        else ADD_FAILURE() << "wineboot --init failed with status " << status;
    }
    RunDetached({wine, "cmd", "/c", "exit"});
    ::flock(lock, LOCK_UN);
    ::close(lock);
    ready = true;
}

RunResult RunUnderWine(const std::string& exe, RunOptions options) {
    PrepareWinePrefix();
    options.arguments.insert(options.arguments.begin(), exe);
    return RunInPrefix(options);
}

RunResult RunWindowsProgram(RunOptions options) { return RunUnderWine(QELM_WINDOWS_PROGRAM, std::move(options)); }

std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

void RemoveIni() {
    std::error_code ignored;
    fs::remove(IniDirectory() + "/qelm.INI", ignored);
}
