// The walk of the spool tree.
#pragma once

#include <string>

// Hands every regular file below `dir` to CorrectFile, depth first in the
// platform's listing order. Names beginning with "." are skipped, links and
// special files are left alone, and a directory that cannot be listed is
// left out without a message. Failures of CorrectFile pass out unchanged.
void ScanDirectory(const std::string& dir);
