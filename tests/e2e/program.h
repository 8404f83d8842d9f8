// Runs the built corrector as a separate process and collects what it did.
#pragma once

#include <map>
#include <string>
#include <vector>

enum class Stdout { Pipe, File, Closed, DevFull, ClosedPipe };

struct RunOptions {
    std::vector<std::string> arguments;
    std::vector<std::string> environment = {"LANG=C"};  // the whole environment
    Stdout stdout_kind = Stdout::Pipe;
    std::string user;         // run as this user (needs root); empty: as is
    long address_space = 0;   // RLIMIT_AS in bytes; 0: unlimited
    long file_size = -1;      // RLIMIT_FSIZE in bytes; -1: unlimited
    long open_files = 0;      // RLIMIT_NOFILE, soft and hard; 0: as inherited
    int timeout_seconds = 60;
};

struct RunResult {
    std::string out;          // standard output (or the file it went to)
    std::string err;          // standard error
    int exit_status = -1;     // -1 when ended by a signal
    int signal = 0;
};

// The corrector built for these tests: it reads qelm.INI from IniDirectory().
RunResult RunProgram(const RunOptions& options = {});

// The directory the tested program reads qelm.INI from (created, emptied of
// any qelm.INI by ResetIniDirectory).
const std::string& IniDirectory();
void ResetIniDirectory();
// Writes qelm.INI there.
void WriteIni(const std::string& content);

// The banner and status texts, as the program prints them in English.
std::string EnglishBanner();

// What a run that found the spool prints, with its two counts.
std::string Summary(int found, int corrected);

// A letter that already ends with its terminator block.
std::string Letter(const std::string& subject);

// Every regular file below `dir` with its bytes; links are not followed.
std::map<std::string, std::string> Contents(const std::string& dir);

// Expects `err` to be the failure report for a failure of `kind` whose
// message matches the regular expression `message` (full stop included).
void ExpectReport(const std::string& err, const std::string& kind, const std::string& message);

// Writes a qelm.INI whose Spool Path is `spool` + "/".
void PointIniAt(const std::string& spool);

// True when the tests run as root.
bool RunningAsRoot();
