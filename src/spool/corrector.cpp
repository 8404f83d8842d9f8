#include "spool/corrector.h"

#include "run/driver.h"

void CorrectFile(const platform::Directory& directory, const std::string& name) {
    (void)directory;
    (void)name;
    ++FilesFound;
}
