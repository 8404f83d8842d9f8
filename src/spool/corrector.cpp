#include "spool/corrector.h"

#include <memory>

#include "run/driver.h"

void (*BeforeReplaceForTest)(const platform::Directory&, const std::string&) = nullptr;

namespace {

// The read buffer, allocated at the first file and kept for the run. A file
// that fits in it whole is read once, even when it must be rewritten.
constexpr std::size_t kReadBufferSize = 1 << 20;
std::unique_ptr<char[]> ReadBuffer;

void WriteToReplacement(void* replacement, const char* data, std::size_t size) {
    platform::WriteReplacement(*static_cast<platform::Replacement*>(replacement), data, size);
}

}  // namespace

bool IsTerminated(const LineScan& scan) {
    return scan.lines >= 3 && scan.last[0] == LineKind::Empty && scan.last[1] == LineKind::FullStop &&
           scan.last[2] == LineKind::Empty;
}

void CorrectFile(const platform::Directory& directory, const std::string& name) {
    ++FilesFound;
    platform::SpoolFile file = platform::OpenSpoolFile(directory, name);
    if (!file) return;  // a link, pipe, socket or device is left alone

    if (!ReadBuffer) ReadBuffer = std::make_unique_for_overwrite<char[]>(kReadBufferSize);
    char* const buffer = ReadBuffer.get();

    // First pass: judge the file. The buffer is filled from its start and
    // only begun again when full, so that a small file stays in it whole.
    LineScan scan;
    std::size_t filled = 0;
    bool whole = true;
    while (!scan.ended) {
        if (filled == kReadBufferSize) {
            filled = 0;
            whole = false;
        }
        const std::size_t got = platform::ReadSpoolFile(file, buffer + filled, kReadBufferSize - filled);
        if (got == 0) break;
        ScanLines(scan, buffer + filled, got);
        filled += got;
    }
    FinishScan(scan);
    if (IsTerminated(scan)) return;

    // Second pass: write the corrected copy beside the file, then put it in
    // the file's place unless the file changed meanwhile.
    platform::CheckWritable(directory, name, file);
    // Another corrector run is replacing this letter right now; both would
    // pass the check before the rename. The letter is that run's.
    if (!platform::LockSpoolFile(file)) return;
    platform::Replacement replacement = platform::CreateReplacement(directory, name, file);
    const LineSink sink{&WriteToReplacement, &replacement};
    LineRewrite rewrite = StartRewrite(scan);
    if (whole) {
        RewriteLines(rewrite, buffer, filled, sink);
    } else {
        platform::RewindSpoolFile(file);
        while (rewrite.offset < rewrite.cut) {
            const std::size_t got = platform::ReadSpoolFile(file, buffer, kReadBufferSize);
            if (got == 0) break;  // shrunk meanwhile: the commit will see it
            RewriteLines(rewrite, buffer, got, sink);
        }
    }
    FinishRewrite(rewrite, sink);

    if (BeforeReplaceForTest != nullptr) BeforeReplaceForTest(directory, name);
    if (platform::CommitReplacement(replacement, file)) ++FilesCorrected;
}
