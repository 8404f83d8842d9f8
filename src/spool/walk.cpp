#include "spool/walk.h"

#include <utility>
#include <vector>

#include "spool/corrector.h"

void (*CorrectFileProc)(const platform::Directory& directory, const std::string& name) = CorrectFile;

namespace {

constexpr long kStaleTemporarySeconds = 60 * 60;

// One directory on the way down: open, for the files and subdirectories
// reached through it, with the entries of its listing not yet taken.
struct Level {
    platform::Directory directory;
    std::vector<platform::DirectoryEntry> entries;
    std::size_t next = 0;
};

// Opens a level for `directory`; one that is not open is left out.
void Enter(std::vector<Level>& levels, platform::Directory directory) {
    if (!directory) return;
    std::vector<platform::DirectoryEntry> entries = platform::ListDirectory(directory);
    levels.push_back(Level{std::move(directory), std::move(entries)});
}

}  // namespace

void ScanDirectory(const std::string& dir) {
    // The descent keeps its own stack of levels instead of recursing, so a
    // deep tree is walked in constant stack space. Each level holds
    // one open directory and one directory's names; the listing itself is
    // read in full and closed before anything below it is handled, so a file
    // replaced by a rename is never met twice.
    const std::size_t maxOpen = platform::MaxOpenDirectories();
    std::vector<Level> levels;
    Enter(levels, platform::OpenDirectory(dir));
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.entries.size()) {
            platform::SyncDirectory(level.directory);
            levels.pop_back();
            continue;
        }
        const platform::DirectoryEntry& entry = level.entries[level.next++];
        if (entry.name.starts_with(platform::kTemporaryPrefix)) {
            // Left by a corrector run that was killed; once it has not
            // changed for an hour, no run beside this one is writing it.
            platform::RemoveStaleTemporary(level.directory, entry.name, kStaleTemporarySeconds);
            continue;
        }
        if (entry.name.empty() || entry.name.front() == '.') continue;
        switch (entry.kind) {
            case platform::EntryKind::File: CorrectFileProc(level.directory, entry.name); break;
            case platform::EntryKind::Directory:
                // Each level holds a directory open. Deeper than the system
                // lets the run hold open, with room for the files it
                // handles, a directory is left out like one that cannot be
                // opened, so that no letter ever fails to open for want of
                // a descriptor.
                if (levels.size() >= maxOpen) break;
                // `level` and `entry` are not used again: Enter may move them.
                Enter(levels, platform::OpenSubdirectory(level.directory, entry.name));
                break;
            case platform::EntryKind::Other: break;  // links, FIFOs, sockets, devices
        }
    }
}
