// The walk of the spool tree.
#pragma once

#include <string>

#include "platform/platform.h"

// Hands every regular file below `dir` to CorrectFile, depth first in the
// platform's listing order: a subdirectory is walked where its parent's
// listing meets it. Names beginning with "." are skipped, links and special
// files are left alone, and a directory that cannot be opened or listed is
// left out without a message. Failures of CorrectFile pass out unchanged and
// end the walk.
void ScanDirectory(const std::string& dir);

// What the walk calls for each file: CorrectFile, or a test's stand-in.
extern void (*CorrectFileProc)(const platform::Directory& directory, const std::string& name);
