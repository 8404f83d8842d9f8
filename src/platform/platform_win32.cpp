// The platform on Windows, over the Win32 API (kernel32, user32, advapi32).
//
// Only Win32 calls belong here; the logic they serve lives in src/run,
// src/spool and src/locate. This is the one file that includes windows.h.
// Paths are byte strings in the ANSI code page, joined with a backslash, and
// every result code is the GetLastError number of the call that failed.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "run/failure.h"

namespace platform {

namespace {

// The result code of the call that just failed; never 0, so that a failure
// stays a failure even where the system forgot to set a code.
int LastErrorCode() {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

// Inlined, so that the failure's location is the call that failed.
[[noreturn]] inline __attribute__((always_inline)) void RaiseLastError() { RaiseInOutError(LastErrorCode()); }

// A handle that is closed when its owner goes; Close is CloseHandle for
// kernel handles and FindClose for directory searches.
template <BOOL(WINAPI* Close)(HANDLE)>
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void Reset() {
        if (*this) Close(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

using ScopedHandle = OwnedHandle<::CloseHandle>;
using ScopedFind = OwnedHandle<::FindClose>;

// Memory that the security functions allocate with LocalAlloc.
struct LocalMemory {
    HLOCAL memory = nullptr;
    ~LocalMemory() {
        if (memory != nullptr) ::LocalFree(memory);
    }
};

constexpr DWORD kCodePageCyrillic = 1251;

// How long a letter that another program holds open may keep it from being
// replaced: 100 tries, 20 ms apart.
constexpr int kBusyAttempts = 100;
constexpr DWORD kBusyPauseMilliseconds = 20;

// The standard output handle, once OpenStandardOutput found it usable.
HANDLE StandardOutput = INVALID_HANDLE_VALUE;

// Writes all bytes to `handle`; 0 or the result code of the failed write.
int WriteAll(HANDLE handle, const char* data, std::size_t size) {
    while (size != 0) {
        const DWORD piece = size < 0x40000000u ? static_cast<DWORD>(size) : 0x40000000u;
        DWORD written = 0;
        if (!::WriteFile(handle, data, piece, &written, nullptr)) return LastErrorCode();
        if (written == 0) return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return 0;
}

std::string Join(const std::string& directory, const std::string& name) { return directory + '\\' + name; }

bool IsDirectoryAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What identifies a file and tells whether it changed: the volume and file
// index (the same file) and the size and last write time (the same content);
// with the attributes and creation time that its corrected copy keeps.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    FILETIME lastWrite{};
    DWORD attributes = 0;
    FILETIME creation{};

    static FileIdentity Of(const BY_HANDLE_FILE_INFORMATION& info) {
        return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.nFileSizeHigh,
                info.nFileSizeLow, info.ftLastWriteTime, info.dwFileAttributes, info.ftCreationTime};
    }
    bool SameAs(const FileIdentity& other) const {
        return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow &&
               sizeHigh == other.sizeHigh && sizeLow == other.sizeLow &&
               lastWrite.dwHighDateTime == other.lastWrite.dwHighDateTime &&
               lastWrite.dwLowDateTime == other.lastWrite.dwLowDateTime;
    }
};

// The identity of the file that `path` names now (a link itself, not its
// target), or false when it cannot be had.
bool IdentityAtPath(const std::string& path, FileIdentity& identity) {
    ScopedHandle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return false;
    identity = FileIdentity::Of(info);
    return true;
}

// True when this process may open the file behind `file` for writing by its
// access control list: the same check that an open for writing makes, done
// without a second open, which the share mode of the first would refuse.
bool AccessAllowsWriting(HANDLE file) {
    LocalMemory descriptor;
    const DWORD parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr,
                          reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory)) != ERROR_SUCCESS)
        return true;  // a file system without security: nothing forbids it
    if (descriptor.memory == nullptr) return true;

    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &rawToken)) RaiseLastError();
    ScopedHandle processToken(rawToken);
    HANDLE rawImpersonation = nullptr;
    if (!::DuplicateToken(processToken.get(), SecurityImpersonation, &rawImpersonation)) RaiseLastError();
    ScopedHandle token(rawImpersonation);

    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD wanted = FILE_WRITE_DATA;
    ::MapGenericMask(&wanted, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!::AccessCheck(static_cast<PSECURITY_DESCRIPTOR>(descriptor.memory), token.get(), wanted, &mapping,
                       &privileges, &privilegesSize, &granted, &allowed))
        RaiseLastError();
    return allowed != FALSE;
}

}  // namespace

// ---------------------------------------------------------------- start-up

void StartUp() {
    // An unattended run must never wait for someone to close a dialog: a
    // drive that is not ready or a crash is an error code, not a message box.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// --------------------------------------------------------------- language

std::uint16_t DefaultLanguageId() { return ::GetSystemDefaultLangID(); }

std::string ConvertAnsiToOem(std::string_view text) {
    if (text.empty()) return std::string();
    if (::GetACP() == kCodePageCyrillic) {
        // The usual case on a Russian system: byte for byte, as the console
        // expects it.
        std::string converted(text.size(), '\0');
        ::CharToOemBuffA(text.data(), converted.data(), static_cast<DWORD>(text.size()));
        return converted;
    }
    // The ANSI code page is another one, so the texts go from code page 1251
    // to the OEM code page by way of UTF-16.
    const int inSize = static_cast<int>(text.size());
    const int wideSize = ::MultiByteToWideChar(kCodePageCyrillic, 0, text.data(), inSize, nullptr, 0);
    if (wideSize <= 0) return std::string(text);
    std::wstring wide(static_cast<std::size_t>(wideSize), L'\0');
    ::MultiByteToWideChar(kCodePageCyrillic, 0, text.data(), inSize, wide.data(), wideSize);
    const int outSize = ::WideCharToMultiByte(CP_OEMCP, 0, wide.data(), wideSize, nullptr, 0, nullptr, nullptr);
    if (outSize <= 0) return std::string(text);
    std::string converted(static_cast<std::size_t>(outSize), '\0');
    ::WideCharToMultiByte(CP_OEMCP, 0, wide.data(), wideSize, converted.data(), outSize, nullptr, nullptr);
    return converted;
}

// -------------------------------------------------------- standard streams

OutputKind OpenStandardOutput() {
    HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return OutputKind::Unusable;
    const DWORD type = ::GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN) {
        ::CloseHandle(handle);
        return OutputKind::Unusable;
    }
    StandardOutput = handle;
    return type == FILE_TYPE_CHAR ? OutputKind::Console : OutputKind::FileOrPipe;
}

int WriteStandardOutput(const char* data, std::size_t size) { return WriteAll(StandardOutput, data, size); }

void WriteStandardError(const char* data, std::size_t size) {
    // The report is converted to the OEM code page on its way out, piece by
    // piece in a buffer of its own: reporting allocates nothing.
    HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
    char converted[512];
    while (size != 0) {
        const std::size_t piece = size < sizeof converted ? size : sizeof converted;
        ::CharToOemBuffA(data, converted, static_cast<DWORD>(piece));
        if (WriteAll(handle, converted, piece) != 0) return;
        data += piece;
        size -= piece;
    }
}

bool DebuggerTakesFailure() { return ::IsDebuggerPresent() != FALSE; }

void DescribeCodeAddress(const void* address, char* module_name, std::size_t capacity,
                         std::uintptr_t& offset) {
    // The module that holds the address is the allocation its code was
    // mapped in; an address outside every module is shown against the
    // program itself.
    MEMORY_BASIC_INFORMATION region{};
    HMODULE module = nullptr;
    if (::VirtualQuery(address, &region, sizeof region) != 0) module = static_cast<HMODULE>(region.AllocationBase);
    if (module == nullptr) module = ::GetModuleHandleA(nullptr);

    char path[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH] = '\0';
    const char* backslash = std::strrchr(path, '\\');
    const char* name = backslash != nullptr ? backslash + 1 : path;
    std::size_t n = std::strlen(name);
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(module_name, name, n);
    module_name[n] = '\0';
    offset = reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module);
}

void ExitProcess(int status) { ::ExitProcess(static_cast<UINT>(status)); }

// ---------------------------------------------------------------- locator

std::string ConfigurationDirectory() {
    std::string directory(MAX_PATH, '\0');
    UINT length = ::GetWindowsDirectoryA(directory.data(), static_cast<UINT>(directory.size()));
    if (length >= directory.size()) {
        directory.resize(length);
        length = ::GetWindowsDirectoryA(directory.data(), static_cast<UINT>(directory.size()));
        if (length >= directory.size()) length = 0;
    }
    directory.resize(length);
    // A Windows directory at the root of a drive ("C:\") comes with its
    // separator; the others without.
    if (!directory.empty() && directory.back() == '\\') directory.pop_back();
    return directory;
}


std::string FindIniFile(const std::string& directory, std::string_view name) {
    // Without a Windows directory there is no INI file: an empty directory
    // would make the path relative to the root of the current drive.
    if (directory.empty()) return "";
    const std::string path = directory + '\\' + std::string(name);
    WIN32_FIND_DATAA entry{};
    {
        ScopedFind search(::FindFirstFileA(path.c_str(), &entry));
        if (!search) return "";
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "";
    return path;
}

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key) {
    // The profile functions cut a value to the buffer and say so only by
    // filling it; the buffer grows until the whole value fits, so that the
    // caller sees how long it really is.
    const std::string sectionName(section);
    const std::string keyName(key);
    std::string value(1024, '\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(value.size());
        const DWORD length = ::GetPrivateProfileStringA(sectionName.c_str(), keyName.c_str(), "", value.data(),
                                                        size, path.c_str());
        if (length + 1 < size) {
            value.resize(length);
            return value;
        }
        value.assign(value.size() * 2, '\0');
    }
}

bool IsDirectory(const std::string& path) { return IsDirectoryAttributes(::GetFileAttributesA(path.c_str())); }

// ------------------------------------------------------------ spool walk

// The path of the directory and a handle on the directory itself. The handle
// does not share deletion, so that while the walk is below a directory,
// nobody can rename it or put a junction in its place: the paths formed from
// it keep naming what was checked.
struct Directory::State {
    std::string path;
    ScopedHandle handle;
};

Directory::Directory() : state_(std::make_unique<State>()) {}
Directory::~Directory() = default;
Directory::Directory(Directory&&) noexcept = default;
Directory& Directory::operator=(Directory&&) noexcept = default;
Directory::operator bool() const { return state_ && state_->handle; }

namespace {

// Opens the directory at `path`; with `followLink` false, a reparse point
// there (a junction, a symbolic link, a mount point) is refused.
Directory OpenDirectoryAt(const std::string& path, bool followLink) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    ScopedHandle handle(::CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !::GetFileInformationByHandle(handle.get(), &info)) return Directory();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Directory();
    if (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Directory();
    Directory directory;
    directory.state().path = path;
    directory.state().handle = std::move(handle);
    return directory;
}

}  // namespace

Directory OpenDirectory(const std::string& path) { return OpenDirectoryAt(path, true); }

Directory OpenSubdirectory(const Directory& parent, const std::string& name) {
    return OpenDirectoryAt(Join(parent.state().path, name), false);
}

std::vector<DirectoryEntry> ListDirectory(const Directory& directory) {
    std::vector<DirectoryEntry> entries;
    WIN32_FIND_DATAA entry{};
    ScopedFind search(::FindFirstFileA((directory.state().path + "\\*.*").c_str(), &entry));
    if (!search) return entries;
    do {
        const std::string name = entry.cFileName;
        if (name.empty() || name == "." || name == "..") continue;
        EntryKind kind = EntryKind::File;
        // A name that the ANSI code page cannot spell comes with "?" in
        // place of its letters, which no Windows name holds: opening it would
        // fail, and fail again at every run, so it is left alone.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || name.find('?') != std::string::npos)
            kind = EntryKind::Other;
        else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            kind = EntryKind::Directory;
        entries.push_back({name, kind});
    } while (::FindNextFileA(search.get(), &entry));
    return entries;
}

// Renames are made durable by MOVEFILE_WRITE_THROUGH.
std::size_t MaxOpenDirectories() {
    // Handles are not counted against a limit that a deep tree could reach
    // before memory runs out; a path's own limit ends the descent first.
    return std::size_t{1} << 20;
}

void SyncDirectory(const Directory& directory) { (void)directory; }

void RemoveStaleTemporary(const Directory& directory, const std::string& name, long age_seconds) {
    if (!directory) return;
    // The open shares no writing: while another run still holds its file
    // open for writing, the open fails and the file stays. The file is then
    // deleted through this handle, so what is deleted is what was checked.
    ScopedHandle file(::CreateFileA(Join(directory.state().path, name).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.get(), &info))
        return;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return;

    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& time) {  // 100-nanosecond units
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    const unsigned long long age = static_cast<unsigned long long>(age_seconds) * 10'000'000ull;
    if (ticks(now) < ticks(info.ftLastWriteTime) || ticks(now) - ticks(info.ftLastWriteTime) < age) return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

// -------------------------------------------------------------- spool file

struct SpoolFile::State {
    std::string path;
    ScopedHandle lock;  // LockSpoolFile's; given up after the file
    ScopedHandle handle;
    FileIdentity identity;
};

SpoolFile::SpoolFile() : state_(std::make_unique<State>()) {}
SpoolFile::~SpoolFile() = default;
SpoolFile::SpoolFile(SpoolFile&&) noexcept = default;
SpoolFile& SpoolFile::operator=(SpoolFile&&) noexcept = default;
SpoolFile::operator bool() const { return state_ && state_->handle; }

struct Replacement::State {
    std::string path;
    std::string target;
    ScopedHandle handle;
    bool committed = false;

    ~State() {
        if (committed) return;
        handle.Reset();
        if (!path.empty()) ::DeleteFileA(path.c_str());
    }
};

Replacement::Replacement() : state_(std::make_unique<State>()) {}
Replacement::~Replacement() = default;
Replacement::Replacement(Replacement&&) noexcept = default;
Replacement& Replacement::operator=(Replacement&&) noexcept = default;

SpoolFile OpenSpoolFile(const Directory& directory, const std::string& name) {
    // Others may read the letter and move it away meanwhile, but not write
    // it. A link is opened as itself and then left alone.
    const std::string path = Join(directory.state().path, name);
    ScopedHandle handle(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr));
    if (!handle) RaiseLastError();
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK) return SpoolFile();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) RaiseLastError();
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return SpoolFile();
    SpoolFile file;
    file.state().path = path;
    file.state().handle = std::move(handle);
    file.state().identity = FileIdentity::Of(info);
    return file;
}

std::size_t ReadSpoolFile(SpoolFile& file, char* buffer, std::size_t size) {
    const DWORD wanted = size < 0x40000000u ? static_cast<DWORD>(size) : 0x40000000u;
    DWORD got = 0;
    if (!::ReadFile(file.state().handle.get(), buffer, wanted, &got, nullptr)) {
        if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
        RaiseLastError();
    }
    return got;
}

void RewindSpoolFile(SpoolFile& file) {
    if (!::SetFilePointerEx(file.state().handle.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN)) RaiseLastError();
}

void CheckWritable(const Directory& directory, const std::string& name, const SpoolFile& file) {
    (void)directory;
    (void)name;
    // A read-only letter is refused; so are hidden and system files, which
    // Windows itself keeps an ordinary rewrite from replacing.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.state().handle.get(), &info)) RaiseLastError();
    const DWORD refused = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((info.dwFileAttributes & refused) != 0) RaiseInOutError(ERROR_ACCESS_DENIED);
    if (!AccessAllowsWriting(file.state().handle.get())) RaiseInOutError(ERROR_ACCESS_DENIED);
}

bool LockSpoolFile(SpoolFile& file) {
    // The lock is a named event of the file's own identity, whose existence
    // says that a corrector run is at this letter. It is not tied to the
    // letter's handle, which is given up before the rename where an open
    // file cannot be replaced, so it holds until the letter is done with.
    // Named in the global namespace, so that runs in different sessions (a
    // scheduled one and one by hand) see each other.
    const FileIdentity& identity = file.state().identity;
    char name[80];
    std::snprintf(name, sizeof name, "Global\\qelm-spool-corrector-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(identity.volume), static_cast<unsigned long>(identity.indexHigh),
                  static_cast<unsigned long>(identity.indexLow));
    ScopedHandle lock(::CreateEventA(nullptr, TRUE, FALSE, name));
    if (!lock) {
        // Refused: either another account's run holds the lock, or this one
        // may not create global objects. Only a lock that is there stops it.
        ScopedHandle existing(::OpenEventA(SYNCHRONIZE, FALSE, name));
        return !existing && ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return false;
    file.state().lock = std::move(lock);
    return true;
}

Replacement CreateReplacement(const Directory& directory, const std::string& name, const SpoolFile& original) {
    (void)name;
    // The new file carries the letter's own attributes and, where the file
    // system keeps them, its access control list and creation time.
    const FileIdentity& identity = original.state().identity;
    const DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = (identity.attributes & kept) != 0 ? identity.attributes & kept : FILE_ATTRIBUTE_NORMAL;

    Replacement replacement;
    Replacement::State& state = replacement.state();
    state.target = original.state().path;
    // A name of our own: the process and a sequence number, so that a file
    // left behind by a run that was killed is never taken for ours.
    static unsigned sequence = 0;
    for (int attempt = 0; !state.handle; ++attempt) {
        char unique[32];
        const int length = std::snprintf(unique, sizeof unique, "%lx-%x",
                                         static_cast<unsigned long>(::GetCurrentProcessId()), ++sequence);
        const std::string path =
            Join(directory.state().path, std::string(kTemporaryPrefix) + std::string(unique, static_cast<std::size_t>(length)));
        HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE | WRITE_DAC | DELETE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, attributes, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
            RaiseInOutError(static_cast<int>(error));
        }
        state.path = path;
        state.handle = ScopedHandle(handle);
    }

    PACL acl = nullptr;
    LocalMemory descriptor;
    if (::GetSecurityInfo(original.state().handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, &acl, nullptr,
                          reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory)) == ERROR_SUCCESS &&
        acl != nullptr) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ::GetSecurityDescriptorControl(static_cast<PSECURITY_DESCRIPTOR>(descriptor.memory), &control, &revision);
        const DWORD inheritance = (control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION;
        const DWORD result = ::SetSecurityInfo(state.handle.get(), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION | inheritance, nullptr, nullptr, acl, nullptr);
        if (result != ERROR_SUCCESS) RaiseInOutError(static_cast<int>(result));
    }
    ::SetFileTime(state.handle.get(), &identity.creation, nullptr, nullptr);
    return replacement;
}

void WriteReplacement(Replacement& replacement, const char* data, std::size_t size) {
    const int code = WriteAll(replacement.state().handle.get(), data, size);
    if (code != 0) RaiseInOutError(code);
}

bool CommitReplacement(Replacement& replacement, SpoolFile& original) {
    Replacement::State& state = replacement.state();
    if (!::FlushFileBuffers(state.handle.get())) RaiseLastError();
    // Closed before it takes the letter's name: a program that opens the
    // letter just after the rename must not meet a file still open for
    // writing.
    state.handle.Reset();

    // The letter's name must still lead to the letter that was read: the
    // same file, unchanged. It is replaced in one step, so that the name
    // never stands empty and never holds half a letter.
    const FileIdentity& read = original.state().identity;
    FileIdentity now;
    if (!IdentityAtPath(state.target, now) || !now.SameAs(read)) return false;
    constexpr DWORD kMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!::MoveFileExA(state.path.c_str(), state.target.c_str(), kMove)) {
        DWORD error = ::GetLastError();
        // Where an open file cannot be replaced, the letter is let go just
        // before the rename. Another program that has it open too (a second
        // run of the corrector reading it) keeps it for moments only, so the
        // rename is tried again for a while, each time only when the name
        // still leads to the letter that was read.
        original.state().handle.Reset();
        for (int attempt = 0; error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; ++attempt) {
            if (attempt == kBusyAttempts) break;
            if (attempt != 0) ::Sleep(kBusyPauseMilliseconds);
            if (!IdentityAtPath(state.target, now) || !now.SameAs(read)) return false;
            if (::MoveFileExA(state.path.c_str(), state.target.c_str(), kMove)) error = ERROR_SUCCESS;
            else error = ::GetLastError();
        }
        if (error != ERROR_SUCCESS) RaiseInOutError(static_cast<int>(error));
    }
    state.committed = true;
    return true;
}

}  // namespace platform
