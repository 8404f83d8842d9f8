// readall DIR: the least any correct run over a spool must do. Walks the
// tree below DIR, and opens, reads to the end and closes every letter.
// Prints the number of letters and bytes read.
#include <cstdint>
#include <cstdio>

#include "tree.h"

namespace {
constexpr const char* kTool = "readall";
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: readall DIR\n");
        return 2;
    }
    static char buffer[1 << 16];
    std::uint64_t files = 0, bytes = 0;
    auto read_file = [&](int dir, const char* name) {
        const int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) bench::Die(kTool, name);
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                bench::Die(kTool, name);
            }
            bytes += static_cast<std::uint64_t>(n);
        }
        if (::close(fd) != 0) bench::Die(kTool, name);
        ++files;
    };
    auto nothing = [](int) {};
    bench::WalkTree(kTool, bench::OpenRoot(kTool, argv[1]), read_file, nothing);
    std::printf("files %llu bytes %llu\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(bytes));
    return 0;
}
