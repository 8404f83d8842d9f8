#include "run/driver.h"

#include <exception>
#include <new>
#include <string>

#include "locate/locator.h"
#include "platform/platform.h"
#include "run/failure.h"
#include "run/messages.h"
#include "spool/walk.h"

std::int32_t FilesFound = 0;
std::int32_t FilesCorrected = 0;

void RunCorrector() {
    ChooseLanguage();
    FilesFound = 0;
    FilesCorrected = 0;
    WriteConsoleText(msgBanner);
    if (!FindSpool()) return;
    WriteConsoleText(msgSpoolFound);
    WriteEmptyLine();
    ScanDirectory(std::string(SpoolPath) + "Users");
    WriteConsoleText(msgFilesFound, FilesFound);
    WriteConsoleText(msgFilesCorrected, FilesCorrected);
}

int Main() {
    platform::StartUp();
    try {
        RunCorrector();
        // A summary that never reached its file is a failure like any other,
        // not a success: the last flush is checked too.
        FlushStandardOutput();
        IoCheck();
        return 0;
    } catch (const EInOutError& failure) {
        char message[32];
        return ReportFailure("EInOutError", InOutErrorMessage(failure.code(), message, sizeof message),
                             failure.location());
    } catch (const std::bad_alloc&) {
        return ReportFailure("EOutOfMemory", "Out of memory", reinterpret_cast<const void*>(&RunCorrector));
    } catch (const std::exception& failure) {
        // Nothing of the program's own raises these; should the library do
        // so, the run still ends in the report and exit status 1.
        return ReportFailure("Exception", failure.what(), reinterpret_cast<const void*>(&RunCorrector));
    } catch (...) {
        return ReportFailure("Exception", "", reinterpret_cast<const void*>(&RunCorrector));
    }
}
