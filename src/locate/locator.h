// Finding the spool through the server's INI file.
#pragma once

// The "Spool Path" value of the INI file: at most 259 bytes and a zero.
// Written only by FindSpool.
extern char SpoolPath[260];

// Reads "Spool Path" from section "Server" of qelm.INI and tests that
// SpoolPath + "Users" is a directory. True: nothing printed. False: exactly
// one line printed, msgNoIni or msgNoSpool.
bool FindSpool();
