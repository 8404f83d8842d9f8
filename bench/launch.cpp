// bench-launch OUT ERR PROGRAM [ARG]...: runs PROGRAM (looked up in PATH)
// with standard output and standard error going to the files OUT and ERR,
// and prints one line: wall seconds, CPU seconds (user + system), peak
// resident set in KiB, and the exit status (-1 when ended by a signal).
//
// A separate, small process: a child's peak resident set as the kernel
// reports it includes the memory of the process it was forked from, so the
// runner, with its buffers, must not be that process.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench-launch OUT ERR PROGRAM [ARG]...\n");
        return 2;
    }
    timespec start{}, end{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("bench-launch: fork");
        return 1;
    }
    if (pid == 0) {
        const int out = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execvp(argv[3], argv + 3);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("bench-launch: wait4");
            return 1;
        }
    }
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.6f %.6f %ld %d\n", seconds, cpu, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
