// Failures and the one report that every failure ends in.
//
// An input/output failure carries the result code of the operation that
// failed and the code address at which it was raised. Nothing in the program
// catches it except the entry point, which hands it to ReportFailure.
#pragma once

#include <exception>

// Result codes of the text-file layer itself.
inline constexpr int kCodeAccessDenied = 5;
inline constexpr int kCodeFileNotOpen = 105;

class EInOutError : public std::exception {
public:
    EInOutError(int code, const void* location) noexcept : code_(code), location_(location) {}
    int code() const noexcept { return code_; }
    const void* location() const noexcept { return location_; }
    const char* what() const noexcept override { return "EInOutError"; }

private:
    int code_;
    const void* location_;
};

// Raises EInOutError with `code`, located at the caller.
[[noreturn]] void RaiseInOutError(int code);

// The pending result code of the buffered standard output: set by a failed
// write, taken by IoCheck.
extern int IoResult;

// The I/O check: when IoResult is not 0, takes it (IoResult returns to 0)
// and raises the input/output failure.
void IoCheck();

// The message that the report gives for a result code: the fixed wording of
// the well-known codes, "I/O error %d" for every other. Writes into `buffer`
// (at least 32 bytes) and returns it.
const char* InOutErrorMessage(int code, char* buffer, unsigned capacity);

// Writes the failure report for a failure of `kind` with `message`, raised
// at `location`, to standard error, after flushing standard output. Returns
// the exit status (1), or 0 after leaving the failure to a debugger. Uses no
// heap memory.
int ReportFailure(const char* kind, const char* message, const void* location);
