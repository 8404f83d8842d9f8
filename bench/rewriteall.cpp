// rewriteall DIR: the least a safe correcting run over a spool must do.
// Every letter below DIR is read and written, followed by the nine bytes of
// the terminator block, to a new file beside it; the new file gets the
// letter's permissions, is flushed to disk and renamed over the letter.
// Each directory in which letters were renamed is flushed once, after its
// last rename. Prints the number of letters and bytes written.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "tree.h"

namespace {

constexpr const char* kTool = "rewriteall";
constexpr char kBlock[] = "\r\n\r\n.\r\n\r\n";
constexpr std::size_t kBlockSize = sizeof kBlock - 1;

void WriteAll(int fd, const char* data, std::size_t size, const char* name) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            bench::Die(kTool, name);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rewriteall DIR\n");
        return 2;
    }
    constexpr std::size_t kBufferSize = std::size_t{1} << 18;
    static char buffer[kBufferSize + kBlockSize];
    std::uint64_t files = 0, bytes = 0;
    std::set<int> renamed_in;  // open directories that had a rename
    std::string temporary;
    auto rewrite_file = [&](int dir, const char* name) {
        const int in = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (in < 0) bench::Die(kTool, name);
        struct stat st;
        if (::fstat(in, &st) != 0) bench::Die(kTool, name);
        temporary.assign(".rewriteall-").append(name);
        const int out = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0) bench::Die(kTool, temporary);
        if (::fchmod(out, st.st_mode & 07777) != 0) bench::Die(kTool, temporary);
        // The block goes out with the last piece, so that a small letter
        // costs one write.
        std::size_t used = 0;
        for (;;) {
            const ssize_t n = ::read(in, buffer + used, kBufferSize - used);
            if (n < 0) {
                if (errno == EINTR) continue;
                bench::Die(kTool, name);
            }
            if (n == 0) break;
            used += static_cast<std::size_t>(n);
            if (used == kBufferSize) {
                WriteAll(out, buffer, used, name);
                bytes += used;
                used = 0;
            }
        }
        std::memcpy(buffer + used, kBlock, kBlockSize);
        used += kBlockSize;
        WriteAll(out, buffer, used, name);
        bytes += used;
        if (::fsync(out) != 0) bench::Die(kTool, temporary);
        if (::close(out) != 0) bench::Die(kTool, temporary);
        ::close(in);
        if (::renameat(dir, temporary.c_str(), dir, name) != 0) bench::Die(kTool, name);
        renamed_in.insert(dir);
        ++files;
    };
    auto sync_directory = [&](int dir) {
        if (renamed_in.erase(dir) != 0 && ::fsync(dir) != 0) bench::Die(kTool, "fsync of a directory");
    };
    bench::WalkTree(kTool, bench::OpenRoot(kTool, argv[1]), rewrite_file, sync_directory);
    std::printf("files %llu bytes %llu\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(bytes));
    return 0;
}
