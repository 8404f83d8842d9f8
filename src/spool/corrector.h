// The correction of one spool file.
#pragma once

#include <string>

#include "platform/platform.h"

// Makes the file `name` in `directory` end with the terminator block: a
// terminated file is left untouched, any other regular file is replaced by
// its corrected bytes. Counts the file in FilesFound and, when replaced, in
// FilesCorrected. Failures are raised as EInOutError.
void CorrectFile(const platform::Directory& directory, const std::string& name);
