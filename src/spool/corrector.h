// The correction of one spool file.
#pragma once

#include <string>

#include "platform/platform.h"
#include "spool/lines.h"

// Makes the file `name` in `directory` end with the terminator block: a
// terminated file is left untouched, any other regular file is replaced by
// its corrected bytes. Counts the file in FilesFound and, when replaced, in
// FilesCorrected. Failures are raised as EInOutError.
void CorrectFile(const platform::Directory& directory, const std::string& name);

// True when the scanned file holds at least three lines and its last three
// are an empty line, a full-stop line and an empty line.
bool IsTerminated(const LineScan& scan);

// When set, called by CorrectFile after the corrected copy of `name` is
// written and before it replaces the file. Null in the program; tests use
// it to change the file in that gap.
extern void (*BeforeReplaceForTest)(const platform::Directory& directory, const std::string& name);
