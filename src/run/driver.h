// The run: banner, location of the spool, the walk, the summary.
#pragma once

#include <cstdint>

// Files handed to CorrectFile during the run, and files it rewrote.
extern std::int32_t FilesFound;
extern std::int32_t FilesCorrected;

// The fixed sequence of a run, from the language choice to the summary.
// Failures pass out of it.
void RunCorrector();

// The whole program: start-up, the run, the report of a failure and the
// flush of standard output. Returns the exit status, 0 or 1.
int Main();
