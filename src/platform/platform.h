// The operating system as the corrector sees it.
//
// Everything the program asks of the operating system goes through the
// procedures declared here; platform_posix.cpp and platform_win32.cpp each
// implement all of them, and the build compiles exactly one of the two.
// Nothing outside src/platform/ includes a system header.
//
// Failures of spool files, directories and the INI file are raised as
// EInOutError (run/failure.h) carrying the result code that the report words;
// "not there" and "not a regular file" are answers, not failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- start-up

// Makes the process fit for an unattended run: standard handles that are
// closed are noted (and, on POSIX, their numbers taken so that no spool file
// can land on them), broken pipes and over-large files become write errors
// instead of signals, and the open-file limit is raised as far as allowed.
// Also records what the failure report needs, so that reporting allocates
// nothing. Called once, first thing.
void StartUp();

// --------------------------------------------------------------- language

// The system's default language identifier (0x0419 is Russian, Russia).
std::uint16_t DefaultLanguageId();

// Converts text from code page 1251 to the console's code page. The result
// may differ in length from the input (a UTF-8 console needs two bytes per
// Cyrillic letter); where no conversion is possible the text comes back as
// it was.
std::string ConvertAnsiToOem(std::string_view text);

// -------------------------------------------------------- standard streams

enum class OutputKind { Unusable, Console, FileOrPipe };

// What standard output is. Unusable when there is no standard output handle.
OutputKind OpenStandardOutput();

// Writes all bytes to standard output. Returns 0 or the result code of the
// failed write; a short write counts as a failure.
int WriteStandardOutput(const char* data, std::size_t size);

// Writes to standard error without buffering; the result is not examined.
void WriteStandardError(const char* data, std::size_t size);

// True when a debugger is attached and a failure should be left to it.
bool DebuggerTakesFailure();

// Where a code address lies: the file name of its module (no directory) in
// a caller's buffer, and its offset from the module's load address. Needs
// no heap memory.
void DescribeCodeAddress(const void* address, char* module_name, std::size_t capacity,
                         std::uintptr_t& offset);

// Ends the process with the exit status. Never returns.
[[noreturn]] void ExitProcess(int status);

// ---------------------------------------------------------------- locator

// The directory that holds qelm.INI (no trailing separator).
std::string ConfigurationDirectory();

// The path of the INI file named `name` in `directory`, when an entry of that
// name exists there and is no directory; an empty string otherwise. On POSIX
// a name that differs only in letter case is found too, the exact name
// winning.
std::string FindIniFile(const std::string& directory, std::string_view name);

// Reads `key` of `section` from the INI file at `path`, with "" as the
// default. Returns the whole value, however long; the caller decides what a
// value too long for it means.
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key);

// True when `path` (links followed) is an existing directory.
bool IsDirectory(const std::string& path);

// ------------------------------------------------------------ spool walk

// An open directory of the spool. It stays open while its entries and the
// files in it are handled; files and subdirectories are reached relative to
// it, never by resolving a whole path again.
class Directory {
public:
    struct State;
    Directory();
    ~Directory();
    Directory(Directory&&) noexcept;
    Directory& operator=(Directory&&) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    explicit operator bool() const;
    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

enum class EntryKind { File, Directory, Other };

struct DirectoryEntry {
    std::string name;
    EntryKind kind;  // Other: links, reparse points, pipes, sockets, devices
};

// Opens the walk root (links followed: the root is the administrator's
// setting). Returns an unopened Directory when it cannot be opened.
Directory OpenDirectory(const std::string& path);

// Opens the subdirectory `name` of `parent` without following a link.
// Returns an unopened Directory when it cannot be opened.
Directory OpenSubdirectory(const Directory& parent, const std::string& name);

// Every entry of the directory, in the platform's listing order, read in full
// before it returns. A listing that fails part-way gives the entries
// delivered before the failure; one that cannot start gives none.
std::vector<DirectoryEntry> ListDirectory(const Directory& directory);

// How many directories the walk may hold open at once, leaving room for the
// files it handles; a directory deeper than that is left out.
std::size_t MaxOpenDirectories();

// Makes the renames done in the directory durable (no-op where not needed).
void SyncDirectory(const Directory& directory);

// Removes `name`, a temporary file left behind by a corrector run that was
// killed, when it is a regular file that has not changed for `age_seconds`:
// younger files may belong to a run still active beside this one. Failures
// are ignored.
void RemoveStaleTemporary(const Directory& directory, const std::string& name, long age_seconds);

// -------------------------------------------------------------- spool file

// A spool file open for reading, with the identity it had when opened.
class SpoolFile {
public:
    struct State;
    SpoolFile();
    ~SpoolFile();
    SpoolFile(SpoolFile&&) noexcept;
    SpoolFile& operator=(SpoolFile&&) noexcept;
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    explicit operator bool() const;
    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// Opens `name` in `directory` for reading, without following a link and
// without blocking. Returns an unopened SpoolFile when the entry is no
// regular file (a link, pipe, socket or device is left alone); raises the
// failure of any other open.
SpoolFile OpenSpoolFile(const Directory& directory, const std::string& name);

// Reads up to `size` bytes at the current position; 0 at the end of the file.
std::size_t ReadSpoolFile(SpoolFile& file, char* buffer, std::size_t size);

// Goes back to the first byte.
void RewindSpoolFile(SpoolFile& file);

// Raises result code 5 (or the failure of the open) when the file could not
// be opened for writing in place; a read-only letter is refused, never
// replaced.
void CheckWritable(const Directory& directory, const std::string& name, const SpoolFile& file);

// Takes the corrector's own lock on the file without waiting, held until
// the file is closed. False when another corrector run holds it: that run is
// replacing the same letter.
bool LockSpoolFile(SpoolFile& file);

// The corrected copy of a spool file, written beside it under a temporary
// name that begins with "." and carrying the original's permissions. Unless
// committed, it is removed when destroyed.
class Replacement {
public:
    struct State;
    Replacement();
    ~Replacement();
    Replacement(Replacement&&) noexcept;
    Replacement& operator=(Replacement&&) noexcept;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// The prefix of every temporary name the corrector creates.
inline constexpr std::string_view kTemporaryPrefix = ".qelm-corrector-";

// Creates the replacement of `name` in `directory`.
Replacement CreateReplacement(const Directory& directory, const std::string& name,
                              const SpoolFile& original);

// Appends bytes to the replacement.
void WriteReplacement(Replacement& replacement, const char* data, std::size_t size);

// Flushes the replacement to stable storage and, if the original is still the
// file that was read (same file, size and modification time) and, on POSIX,
// no other process has it open (a writer keeping a letter open between its
// writes), renames it over the original and returns true. Returns false,
// removing the replacement, when the original must be left for a later run.
bool CommitReplacement(Replacement& replacement, SpoolFile& original);

}  // namespace platform
