// Differential fuzzing of the line engine: the streaming engine, fed in
// blocks of a size taken from the input, must give exactly what a literal
// reading of the rules gives on the whole file at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spool/corrector.h"
#include "spool/lines.h"

namespace {

// The rules, read literally: the input ends at the first 0x1A; LF ends a
// line; every CR is dropped; bytes after the last LF are one more line when
// there are any. Returns the corrected file, or nothing when terminated.
bool Model(std::string_view file, std::string& corrected) {
    file = file.substr(0, file.find('\x1A'));
    std::vector<std::string> lines;
    std::string line;
    std::size_t rawBytes = 0;
    for (char c : file) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            rawBytes = 0;
            continue;
        }
        ++rawBytes;
        if (c != '\r') line += c;
    }
    if (rawBytes != 0) lines.push_back(line);

    const std::size_t n = lines.size();
    if (n >= 3 && lines[n - 3].empty() && lines[n - 2] == "." && lines[n - 1].empty()) return false;
    std::size_t cut = n;
    for (std::size_t i = n; i-- > 0;) {
        if (lines[i] == ".") {
            cut = i;
            break;
        }
    }
    corrected.clear();
    for (std::size_t i = 0; i < cut; ++i) corrected += lines[i] + "\r\n";
    corrected += "\r\n\r\n.\r\n\r\n";
    return true;
}

void Append(void* context, const char* data, std::size_t size) {
    static_cast<std::string*>(context)->append(data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the block size, the rest is the file.
    const std::size_t block = 1 + data[0] % 64;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);

    LineScan scan;
    for (std::size_t at = 0; at < file.size(); at += block)
        ScanLines(scan, file.data() + at, std::min(block, file.size() - at));
    FinishScan(scan);

    std::string expected;
    const bool needsRewrite = Model(file, expected);
    if (IsTerminated(scan) == needsRewrite) __builtin_trap();
    if (!needsRewrite) return 0;

    std::string actual;
    const LineSink sink{Append, &actual};
    LineRewrite rewrite = StartRewrite(scan);
    for (std::size_t at = 0; at < file.size(); at += block)
        if (!RewriteLines(rewrite, file.data() + at, std::min(block, file.size() - at), sink)) break;
    FinishRewrite(rewrite, sink);
    if (actual != expected) __builtin_trap();
    return 0;
}
