// The platform on POSIX systems (Linux with glibc).
//
// Only generic POSIX and Linux calls belong here; the logic they serve lives
// in src/run, src/spool and src/locate. Errors become the result codes that
// Windows gives for the same failure (MapErrno), so that the report words
// them the same way on both systems.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "locate/ini.h"
#include "run/failure.h"

// The directory of qelm.INI, fixed when the program is built.
extern const char* const kConfigurationDirectory;

namespace platform {

namespace {

// Result codes for errno values: where Windows reports the same failure with
// a number of its own, that number, so that both builds word it alike;
// every other errno as 1000 + errno ("I/O error 1005" is EIO).
int MapErrno(int error) {
    switch (error) {
        case ENOENT: return 2;
        case ENOTDIR:
        case ENAMETOOLONG: return 3;
        case EMFILE:
        case ENFILE: return 4;
        case EACCES:
        case EPERM:
        case EROFS: return 5;
        case EBUSY:
        case ETXTBSY: return 32;
        case ENOSPC:
        case EDQUOT: return 101;
        case EFBIG: return 223;
        default: return 1000 + error;
    }
}

[[noreturn]] void RaiseErrno(int error) { RaiseInOutError(MapErrno(error)); }

// A file descriptor that is closed when its owner goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

bool StandardOutputMissing = false;
char ModuleName[256] = "qelm-spool-corrector";
std::uintptr_t ModuleBase = 0;

// Copies a zero-terminated text into a buffer, cutting what does not fit.
void CopyText(char* buffer, std::size_t capacity, const char* text) {
    std::size_t n = 0;
    for (; text[n] != '\0' && n + 1 < capacity; ++n) buffer[n] = text[n];
    buffer[n] = '\0';
}

// The locale name that decides the language: LC_ALL, else LC_MESSAGES, else
// LANG, the first that is set and not empty.
std::string LocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') return value;
    }
    return "";
}

}  // namespace

// ---------------------------------------------------------------- start-up

void StartUp() {
    // Standard handles that are closed are noted and then taken by /dev/null,
    // so that no spool file or listing can ever be opened on descriptor 1 or
    // 2 and receive the program's output.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        if (fd == 1) StandardOutputMissing = true;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }

    // A reader that goes away or a file-size limit must end in a report and
    // exit status 1, not in death by a signal.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    // The walk keeps one descriptor per level of the tree.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }

    // What the failure report needs is looked up now, while memory is there.
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        const char* slash = std::strrchr(path, '/');
        const char* name = slash != nullptr ? slash + 1 : path;
        CopyText(ModuleName, sizeof ModuleName, name);
    }
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&StartUp), &info) != 0)
        ModuleBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

// --------------------------------------------------------------- language

std::uint16_t DefaultLanguageId() {
    // ru_RU with any codeset or modifier is Russian (Russia); everything else,
    // ru_UA included, is not.
    const std::string name = LocaleName();
    const std::size_t end = name.find_first_of(".@");
    const std::string base = name.substr(0, end);
    return base == "ru_RU" ? 0x0419 : 0x0409;
}

std::string ConvertAnsiToOem(std::string_view text) {
    // The console's code page is the codeset of the locale; ru_RU without one
    // is ISO-8859-5, as glibc defines it.
    const std::string name = LocaleName();
    std::string codeset = "ISO-8859-5";
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos) codeset = name.substr(dot + 1, name.find('@', dot) - dot - 1);

    iconv_t converter = ::iconv_open(codeset.c_str(), "CP1251");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string input(text);
    std::string output(text.size() * 4 + 16, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t result = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    ::iconv_close(converter);
    if (result == static_cast<std::size_t>(-1)) return std::string(text);
    output.resize(output.size() - outLeft);
    return output;
}

// -------------------------------------------------------- standard streams

OutputKind OpenStandardOutput() {
    if (StandardOutputMissing) return OutputKind::Unusable;
    return ::isatty(1) ? OutputKind::Console : OutputKind::FileOrPipe;
}

int WriteStandardOutput(const char* data, std::size_t size) {
    while (size != 0) {
        const ssize_t written = ::write(1, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return MapErrno(errno);
        }
        if (written == 0) return MapErrno(EIO);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

void WriteStandardError(const char* data, std::size_t size) {
    while (size != 0) {
        const ssize_t written = ::write(2, data, size);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

bool DebuggerTakesFailure() { return false; }

void DescribeCodeAddress(const void* address, char* module_name, std::size_t capacity,
                         std::uintptr_t& offset) {
    CopyText(module_name, capacity, ModuleName);
    offset = reinterpret_cast<std::uintptr_t>(address) - ModuleBase;
}

void ExitProcess(int status) { std::exit(status); }

// ---------------------------------------------------------------- locator

std::string ConfigurationDirectory() { return kConfigurationDirectory; }


namespace {

// The presence test of the INI file: an entry of that name exists and is no
// directory. A link counts as the entry it is, so a dangling link is present
// (as a file link is on Windows) and a link to a directory is not.
bool IsIniEntry(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) return ::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
    return !S_ISDIR(status.st_mode);
}

// The most that is read of the INI file: 64 MiB, far more than any real
// configuration holds. A larger file is read as its first 64 MiB.
constexpr std::size_t kIniReadLimit = std::size_t{64} << 20;

}  // namespace

std::string FindIniFile(const std::string& directory, std::string_view name) {
    const std::string exact = directory + "/" + std::string(name);
    if (IsIniEntry(exact)) return exact;

    // Windows finds the file whatever the letter case of its name. Of several
    // such names the smallest in byte order is taken, so that the choice does
    // not depend on the listing order.
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return "";
    std::string best;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view candidate = entry->d_name;
        if (!SameName(candidate, name)) continue;
        if (!best.empty() && candidate >= best) continue;
        if (IsIniEntry(directory + "/" + std::string(candidate))) best = candidate;
    }
    ::closedir(listing);
    return best.empty() ? "" : directory + "/" + best;
}

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key) {
    // A file that cannot be opened or read gives the default, as the profile
    // functions do; only a regular file is read, so a FIFO or device of that
    // name neither blocks the run nor is touched.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return "";
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return "";

    std::string content;
    content.reserve(std::min(static_cast<std::size_t>(status.st_size), kIniReadLimit));
    char buffer[65536];
    while (content.size() < kIniReadLimit) {
        const ssize_t got = ::read(fd.get(), buffer, std::min(sizeof buffer, kIniReadLimit - content.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return "";
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    return ParseIniString(content, section, key);
}

bool IsDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// ------------------------------------------------------------ spool walk

struct Directory::State {
    Fd fd;
    bool renamed = false;
};

Directory::Directory() : state_(std::make_unique<State>()) {}
Directory::~Directory() = default;
Directory::Directory(Directory&&) noexcept = default;
Directory& Directory::operator=(Directory&&) noexcept = default;
Directory::operator bool() const { return state_ && state_->fd; }

Directory OpenDirectory(const std::string& path) {
    Directory directory;
    directory.state().fd = Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory;
}

Directory OpenSubdirectory(const Directory& parent, const std::string& name) {
    Directory directory;
    if (!parent) return directory;
    // A link is never entered (O_NOFOLLOW fails on it), so a user who can
    // write in the spool cannot lead the walk out of it; O_NONBLOCK keeps an
    // entry swapped for a FIFO meanwhile from blocking the open.
    directory.state().fd = Fd(::openat(parent.state().fd.get(), name.c_str(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    return directory;
}

std::vector<DirectoryEntry> ListDirectory(const Directory& directory) {
    std::vector<DirectoryEntry> entries;
    if (!directory) return entries;
    const int fd = directory.state().fd.get();

    // The listing runs on a duplicate, which the listing owns and closes; it
    // shares the directory's read position, so it starts from the top.
    Fd duplicate(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!duplicate) return entries;
    DIR* listing = ::fdopendir(duplicate.get());
    if (listing == nullptr) return entries;
    duplicate.Release();
    ::rewinddir(listing);

    for (;;) {
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;  // the end, or a failure: what came so far counts
        EntryKind kind = EntryKind::Other;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat status {};
            if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) type = IFTODT(status.st_mode);
        }
        if (type == DT_DIR) kind = EntryKind::Directory;
        else if (type == DT_REG) kind = EntryKind::File;
        entries.push_back(DirectoryEntry{entry->d_name, kind});
    }
    ::closedir(listing);
    return entries;
}

std::size_t MaxOpenDirectories() {
    // The open-file limit (raised at start as far as allowed), less what the
    // run needs besides: the standard descriptors, a listing, a letter, its
    // copy and the check of its writability.
    constexpr rlim_t kReserve = 16;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
    return limit.rlim_cur > kReserve ? static_cast<std::size_t>(limit.rlim_cur - kReserve) : 1;
}

void SyncDirectory(const Directory& directory) {
    if (!directory || !directory.state().renamed) return;
    // A file system that cannot sync a directory says EINVAL; its renames
    // are as durable as it makes them.
    if (::fsync(directory.state().fd.get()) != 0 && errno != EINVAL) RaiseErrno(errno);
    directory.state().renamed = false;
}

void RemoveStaleTemporary(const Directory& directory, const std::string& name, long age_seconds) {
    if (!directory) return;
    struct stat status {};
    if (::fstatat(directory.state().fd.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(status.st_mode)) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // A run that is still writing its file moves the modification time
    // with every block it writes.
    if (now.tv_sec - status.st_mtim.tv_sec < age_seconds) return;
    ::unlinkat(directory.state().fd.get(), name.c_str(), 0);
}

// -------------------------------------------------------------- spool file

namespace {

// The identity of a file as fstat gives it: what must not have changed
// between the reading of a spool file and its replacement.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

Identity IdentityOf(const struct stat& status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

bool operator==(const Identity& a, const Identity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

// Writes all of [data, data + size) to `fd`, however many calls it takes.
void WriteAll(int fd, const char* data, std::size_t size) {
    while (size != 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            RaiseErrno(errno);
        }
        if (written == 0) RaiseErrno(EIO);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Something to tell temporary names apart that others cannot guess.
std::uint64_t RandomNumber() {
    std::uint64_t number = 0;
    if (::getrandom(&number, sizeof number, GRND_NONBLOCK) != sizeof number) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        number = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30);
    }
    return number;
}

}  // namespace

struct SpoolFile::State {
    Fd fd;
    off_t position = 0;
    bool atEnd = false;
    Identity identity;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
};

SpoolFile::SpoolFile() : state_(std::make_unique<State>()) {}
SpoolFile::~SpoolFile() = default;
SpoolFile::SpoolFile(SpoolFile&&) noexcept = default;
SpoolFile& SpoolFile::operator=(SpoolFile&&) noexcept = default;
SpoolFile::operator bool() const { return state_ && state_->fd; }

struct Replacement::State {
    Directory::State* directory = nullptr;  // outlives the replacement
    std::string name;                       // the original's name
    std::string temporary;                  // the copy's name while it exists
    Fd fd;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        // Not committed: the copy goes, the original was never touched.
        if (!temporary.empty()) ::unlinkat(directory->fd.get(), temporary.c_str(), 0);
    }
};

Replacement::Replacement() : state_(std::make_unique<State>()) {}
Replacement::~Replacement() = default;
Replacement::Replacement(Replacement&&) noexcept = default;
Replacement& Replacement::operator=(Replacement&&) noexcept = default;

namespace {

// openat(2) on a spool file. A file that another corrector run holds a
// lease on, for the instant of its rename, refuses a non-blocking open with
// EWOULDBLOCK (and the attempt breaks that lease, so the other run leaves
// the letter to this one): it is tried again for a few milliseconds.
int OpenSpoolEntry(int directory, const std::string& name, int flags) {
    for (int attempt = 0;; ++attempt) {
        const int fd = ::openat(directory, name.c_str(), flags);
        if (fd >= 0 || errno != EWOULDBLOCK || attempt == 50) return fd;
        ::usleep(1000);
    }
}

}  // namespace

SpoolFile OpenSpoolFile(const Directory& directory, const std::string& name) {
    SpoolFile file;
    SpoolFile::State& state = file.state();
    // O_NONBLOCK: a FIFO put in the file's place must not hang the run.
    state.fd = Fd(OpenSpoolEntry(directory.state().fd.get(), name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!state.fd) {
        // A link (ELOOP), a socket or a device without a driver: not a file.
        // EWOULDBLOCK still: someone holds a lease on the letter; it is left
        // for the next run.
        if (errno == ELOOP || errno == ENXIO || errno == ENODEV || errno == EWOULDBLOCK) return file;
        RaiseErrno(errno);
    }
    struct stat status {};
    if (::fstat(state.fd.get(), &status) != 0) RaiseErrno(errno);
    if (!S_ISREG(status.st_mode)) {
        state.fd.Reset();
        return file;
    }
    state.identity = IdentityOf(status);
    state.owner = status.st_uid;
    state.group = status.st_gid;
    state.mode = status.st_mode & 07777;
    return file;
}

std::size_t ReadSpoolFile(SpoolFile& file, char* buffer, std::size_t size) {
    SpoolFile::State& state = file.state();
    if (state.atEnd) return 0;
    for (;;) {
        const ssize_t got = ::pread(state.fd.get(), buffer, size, state.position);
        if (got >= 0) {
            state.position += got;
            // A short read that reaches the size the file had when opened is
            // its end: the read that would only say so is saved.
            state.atEnd = static_cast<std::size_t>(got) < size && state.position >= state.identity.size;
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) RaiseErrno(errno);
    }
}

void RewindSpoolFile(SpoolFile& file) {
    file.state().position = 0;
    file.state().atEnd = false;
}

void CheckWritable(const Directory& directory, const std::string& name, const SpoolFile& file) {
    // A letter that nobody may write is read-only, for root as well, whose
    // open for writing would succeed: it is refused, never replaced.
    if ((file.state().mode & 0222) == 0) RaiseInOutError(kCodeAccessDenied);
    // Opened for writing and closed at once: no byte of it changes.
    Fd fd(OpenSpoolEntry(directory.state().fd.get(), name,
                         O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    // EWOULDBLOCK still: a lease, not a refusal; the commit will not get the
    // lease either, and the letter is left for the next run.
    if (!fd && errno != EWOULDBLOCK) RaiseErrno(errno);
}

bool LockSpoolFile(SpoolFile& file) {
    // Another corrector run takes the same lock before it replaces a letter.
    if (::flock(file.state().fd.get(), LOCK_EX | LOCK_NB) == 0) return true;
    // A file system without locks cannot be shared this way; go on.
    return errno != EWOULDBLOCK;
}

Replacement CreateReplacement(const Directory& directory, const std::string& name, const SpoolFile& original) {
    (void)original;
    static std::uint64_t counter = 0;
    Replacement replacement;
    Replacement::State& state = replacement.state();
    state.directory = &directory.state();
    state.name = name;
    for (int attempt = 0;; ++attempt) {
        const std::string temporary = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
                                      std::to_string(++counter) + "-" + std::to_string(RandomNumber());
        // Exclusive: an entry that someone planted under the name is never
        // opened, let alone followed.
        const int fd = ::openat(state.directory->fd.get(), temporary.c_str(),
                                O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            state.fd = Fd(fd);
            state.temporary = temporary;
            break;
        }
        if (errno != EEXIST || attempt == 100) RaiseErrno(errno);
    }
    return replacement;
}

void WriteReplacement(Replacement& replacement, const char* data, std::size_t size) {
    // The line engine hands its output over in large pieces already.
    WriteAll(replacement.state().fd.get(), data, size);
}

namespace {

// Gives the copy the original's extended attributes (POSIX ACLs and
// security labels among them). Where the file system has none, or the
// process may not set a namespace, the copy goes without. An access ACL that
// the copy inherited from the directory but the original lacks is removed:
// it would let others read the letter.
void CopyExtendedAttributes(int from, int to) {
    auto ignorable = [](int error) { return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM; };
    constexpr std::string_view kAccessAcl = "system.posix_acl_access";
    std::vector<char> names;
    for (int attempt = 0;; ++attempt) {
        ssize_t size = ::flistxattr(from, nullptr, 0);
        if (size > 0) {
            names.resize(static_cast<std::size_t>(size));
            size = ::flistxattr(from, names.data(), names.size());
        }
        if (size >= 0) {
            names.resize(static_cast<std::size_t>(size));
            break;
        }
        if (ignorable(errno)) return;
        if (errno != ERANGE || attempt == 10) RaiseErrno(errno);  // grew meanwhile: ask again
    }
    bool accessAcl = false;
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        const std::size_t length = ::strnlen(name, names.size() - at);
        at += length + 1;
        if (length == 0 || at > names.size()) continue;
        if (name == kAccessAcl) accessAcl = true;
        // An attribute removed meanwhile (ENODATA) or not for the process to
        // read is skipped; one that grew meanwhile (ERANGE) is asked again.
        ssize_t got = -1;
        for (int attempt = 0; got < 0; ++attempt) {
            ssize_t size = ::fgetxattr(from, name, nullptr, 0);
            if (size >= 0) {
                value.resize(static_cast<std::size_t>(size));
                got = size = ::fgetxattr(from, name, value.data(), value.size());
            }
            if (size >= 0) break;
            if (errno == ENODATA || ignorable(errno)) break;
            if (errno != ERANGE || attempt == 10) RaiseErrno(errno);
        }
        if (got < 0) continue;
        if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0 && !ignorable(errno))
            RaiseErrno(errno);
    }
    if (!accessAcl && ::fremovexattr(to, kAccessAcl.data()) != 0 && errno != ENODATA && !ignorable(errno))
        RaiseErrno(errno);
}

}  // namespace

bool CommitReplacement(Replacement& replacement, SpoolFile& original) {
    Replacement::State& state = replacement.state();
    const SpoolFile::State& source = original.state();

    // The original's owner, group, attributes and permission bits, set after
    // the last write, since writing clears set-id bits and capabilities, and
    // the bits after the owner for the same reason.
    const int fd = state.fd.get();
    if (::fchown(fd, source.owner, source.group) != 0) {
        if (errno != EPERM || ::geteuid() == 0) RaiseErrno(errno);
        // Not root: the owner may already be right, and the group may be one
        // the process belongs to. A letter whose owner or group the copy
        // cannot keep is not replaced: the server could lose access to it.
        if (::fchown(fd, static_cast<uid_t>(-1), source.group) != 0 && errno != EPERM) RaiseErrno(errno);
        struct stat copy {};
        if (::fstat(fd, &copy) != 0) RaiseErrno(errno);
        if (copy.st_uid != source.owner || copy.st_gid != source.group) RaiseInOutError(kCodeAccessDenied);
    }
    CopyExtendedAttributes(source.fd.get(), fd);
    if (::fchmod(fd, source.mode) != 0) RaiseErrno(errno);
    if (::fsync(fd) != 0) RaiseErrno(errno);
    if (::close(state.fd.Release()) != 0) RaiseErrno(errno);

    // A write lease is granted only while no other process has the letter
    // open. A writer that keeps it open between its writes (the server
    // delivering it in pieces) would otherwise go on writing into the old
    // file once the copy has taken its name, so such a letter is left for
    // the next run. While the lease is held, anyone opening the letter waits
    // for the rename; one already waiting breaks the lease, and the letter
    // is left to it. Where leases cannot be had (EINVAL, EACCES), the
    // identity check alone remains.
    static const bool ignoreBreaks = ::signal(SIGIO, SIG_IGN) != SIG_ERR;  // the break is asked for below
    (void)ignoreBreaks;
    const int readFd = source.fd.get();
    bool leased = false;
    for (int attempt = 0;; ++attempt) {
        leased = ::fcntl(readFd, F_SETLEASE, F_WRLCK) == 0;
        if (leased || (errno != EAGAIN && errno != EBUSY)) break;
        // Someone has the letter open. A reader that is about to close it
        // (another run that found the letter locked) is given a moment.
        if (attempt == 20) return false;
        ::usleep(1000);
    }

    // The file that was read must still be the one under its name, with the
    // bytes that were read: a change since then is left for the next run.
    struct stat opened {};
    struct stat named {};
    const int dirfd = state.directory->fd.get();
    if (::fstat(readFd, &opened) != 0 ||
        ::fstatat(dirfd, state.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(IdentityOf(opened) == source.identity) || !(IdentityOf(named) == source.identity))
        return false;  // the copy is removed with the replacement
    if (leased && ::fcntl(readFd, F_GETLEASE) != F_WRLCK) return false;

    if (::renameat(dirfd, state.temporary.c_str(), dirfd, state.name.c_str()) != 0) RaiseErrno(errno);
    state.temporary.clear();
    state.directory->renamed = true;
    return true;
}

}  // namespace platform
