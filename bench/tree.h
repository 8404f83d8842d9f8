// The directory walk shared by the baselines: the same visits as the
// corrector's walk (depth first, each directory listed in full before its
// entries are handled, names beginning with "." left out, links and special
// files left alone), with files reached relative to an open directory.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

[[noreturn]] inline void Die(const char* tool, const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", tool, what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Calls on_file(directory_fd, name) for every regular file below the open
// directory `fd`, and after_directory(directory_fd) once each directory's
// entries are done. Takes ownership of `fd`.
template <typename OnFile, typename AfterDirectory>
void WalkTree(const char* tool, int fd, OnFile& on_file, AfterDirectory& after_directory) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) Die(tool, "fdopendir");
    struct Entry {
        std::string name;
        bool is_directory;
    };
    std::vector<Entry> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) Die(tool, entry->d_name);
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR || type == DT_REG) entries.push_back({entry->d_name, type == DT_DIR});
    }
    if (errno != 0) Die(tool, "readdir");
    for (const Entry& entry : entries) {
        if (entry.is_directory) {
            const int child = ::openat(fd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) Die(tool, entry.name);
            WalkTree(tool, child, on_file, after_directory);
        } else {
            on_file(fd, entry.name.c_str());
        }
    }
    after_directory(fd);
    ::closedir(dir);
}

// Opens the walk root named on the command line.
inline int OpenRoot(const char* tool, const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Die(tool, path);
    return fd;
}

}  // namespace bench
