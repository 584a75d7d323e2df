// Internal to the engine: the file-system side of repairing and compacting a
// database: checks on paths, temporary files beside a target, syncing, and
// the names SQLite needs for them.
#pragma once

#include <sys/types.h>

#include <string>

namespace engine {

// The folder that holds path ("." for a bare file name).
std::string folderOf(const std::string& path);

// True when the file at path is a SQLite database, or was one before its first
// page was damaged: the 16-byte magic is there, or the rest of the header is
// intact, or the following pages are b-tree pages of one page size. Reads
// the file with its own descriptor: call it before any lock is taken.
bool looksLikeSqlite(const std::string& path);

// A new, empty file beside base ("<base>.<tag>-XXXXXX"), removed again by the
// destructor unless release() was called. Raises ReadOnlyFile when the folder
// cannot be written, PathNotFound when it does not exist.
class TempFile {
public:
    TempFile(const std::string& base, const std::string& tag, mode_t mode);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const noexcept { return path_; }
    // The file is no longer ours to remove (it was renamed or linked away).
    void release() noexcept { owned_ = false; }

private:
    std::string path_;
    bool owned_ = true;
};

// Flushes a file's contents, or a folder's entries, to the disk. Raises IoFailure.
void syncFile(const std::string& path);
void syncFolder(const std::string& folder);
// As syncFolder, returning the errno of a failure instead of raising.
int flushFolder(const std::string& folder);

// Removes a file if it exists; raises for any other failure.
void removeIfPresent(const std::string& path);

// Raises the engine's error for a failed file operation: errno e, text saying
// what failed (the system's reason is appended).
[[noreturn]] void raiseErrno(int e, const std::string& text);

// A file: URI for path (made absolute, every byte outside the unreserved set
// percent-encoded), with query (e.g. "mode=ro") appended when not empty.
std::string fileUri(const std::string& path, const std::string& query = {});

} // namespace engine
