// Runs the Windows program under Wine, in a Wine prefix of the build tree.
//
// The prefix is created with wineboot on first use and kept for later runs.
// The program reads qelm.INI from the prefix's Windows directory, which is
// what IniDirectory() of e2e/program.h names here: WriteIni writes it, and
// RemoveIni removes it. ResetIniDirectory would empty the whole Windows
// directory and is never called in these tests.
#pragma once

#include <string>

#include "e2e/program.h"

// Creates the prefix, once per build tree; a lock keeps test programs that
// run side by side from creating it twice.
void PrepareWinePrefix();

// Runs the Windows program `exe` with `options` as RunProgram does; the
// arguments and environment given are passed on, Wine's settings added.
RunResult RunUnderWine(const std::string& exe, RunOptions options = {});

// Runs qelm-spool-corrector.exe that way.
RunResult RunWindowsProgram(RunOptions options = {});

// A path of this machine as the Windows program sees it, on drive Z:.
std::string WindowsPath(const std::string& path);

// Removes qelm.INI from the prefix's Windows directory.
void RemoveIni();
