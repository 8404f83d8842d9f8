// The directory that holds qelm.INI on POSIX, chosen when the program is
// built (QELM_INI_DIR); the environment is never read for it.
#ifndef QELM_INI_DIR
#define QELM_INI_DIR "/etc"
#endif

extern const char* const kConfigurationDirectory;
const char* const kConfigurationDirectory = QELM_INI_DIR;
