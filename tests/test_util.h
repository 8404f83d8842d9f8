// Helpers shared by the tests: a fresh directory per test and whole-file
// reads and writes.
#pragma once

#include <string>
#include <string_view>

// A directory of its own for one test, removed with everything in it when
// the test passed and kept (its path printed) when it failed.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(std::string_view relative) const;

private:
    std::string path_;
};

// The whole content of a file; fails the test when it cannot be read.
std::string ReadFile(const std::string& path);

// Writes a file, creating the directories above it.
void WriteFile(const std::string& path, std::string_view content);

// Creates a directory and those above it.
void MakeDirs(const std::string& path);

// Shows bytes with CR, LF and other control bytes made visible, for
// readable failure messages.
std::string Visible(std::string_view bytes);
