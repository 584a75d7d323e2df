// The file-system side of repairing and compacting a database, shared by the
// engine and the repair program: checks on paths, temporary files beside a
// target, syncing, the errors of failed file operations, and the names SQLite
// needs. Includes nothing of SQLite.
#pragma once

#include <signal.h>
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

// Which numbers a failed file operation is reported with. The engine reports
// its own (the 3000s); the repair program's own copies and renames report the
// file system's run-time errors (53, 61, 70, 76), as a program that works on
// files itself does. The table is in fileops.cpp; docs/catalogue-format.md
// lists it.
enum class FileLayer { Engine, Program };

// The error number for errno e in layer.
long fileErrorNumber(int e, FileLayer layer);

// Raises the error for errno e in a file operation on path, in layer's
// numbers; doing (e.g. "Cannot write") starts the engine's text.
[[noreturn]] void raiseFileError(int e, const std::string& path, FileLayer layer,
                                 const std::string& doing);

// Makes SIGINT, SIGTERM and SIGHUP remove the live temporary files before
// the process ends by the signal. A signal that was ignored stays ignored.
// Calling it again is harmless.
void removeTempFilesOnSignal();

// Holds back SIGINT, SIGTERM and SIGHUP for its lifetime; one that arrives
// meanwhile takes effect when it ends.
class SignalsDeferred {
public:
    SignalsDeferred();
    ~SignalsDeferred();
    SignalsDeferred(const SignalsDeferred&) = delete;
    SignalsDeferred& operator=(const SignalsDeferred&) = delete;

private:
    sigset_t old_;
};

// A new, empty file beside target, named "<target>.<tag>-XXXXXX" (mode less
// the umask; tag one of the tools' own, see removeLeftTempFiles), removed by
// the destructor, and by the signal handler of removeTempFilesOnSignal,
// until it is renamed or released. Failures raise in layer's numbers. With
// keepOpen the descriptor stays open for writing (fd()); otherwise it is closed at once, so that no
// descriptor of ours can drop a SQLite lock on the file when it is closed later.
class TempFile {
public:
    TempFile(const std::string& target, const std::string& tag, mode_t mode,
             FileLayer layer = FileLayer::Engine, bool keepOpen = false);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const noexcept { return path_; }
    int fd() const noexcept { return fd_; }

    // Closes the descriptor; raises (a write the kernel could not finish
    // shows here at the latest).
    void close();
    // Closes and removes the file but keeps the name reserved, so that
    // another writer can create it; the destructor still removes it.
    void vacate();
    // Renames the file over target, replacing whatever bears that name (a
    // link is replaced, not followed), and syncs the folder. Raises; the
    // file is then still removed by the destructor.
    void renameOver();
    // The file is no longer ours to remove (it was renamed or linked away).
    void release() noexcept;

private:
    std::string path_;
    std::string target_;
    FileLayer layer_;
    int fd_ = -1;
    int slot_ = -1;
};

// Removes the temporary files beside target that a run which ended by a
// signal could not remove: the names TempFile gives for target, with any of
// the tools' tags, and the files SQLite or a nested TempFile keeps beside
// them. Only regular files are removed. Call it only while holding what
// every run on target takes first (the catalogue's lock), so that none of
// the names can belong to a live run. One that cannot be removed is left.
void removeLeftTempFiles(const std::string& target);

// Flushes a file's contents, or a folder's entries, to the disk. Raises
// IoFailure (syncFile), or the error in layer's numbers (syncFolder). A file
// system that cannot flush a folder at all is not a failure.
void syncFile(const std::string& path);
void syncFolder(const std::string& folder, FileLayer layer = FileLayer::Engine);
// As syncFolder, returning the errno of a failure instead of raising.
int flushFolder(const std::string& folder);

// Removes a file if it exists; raises for any other failure.
void removeIfPresent(const std::string& path);

// Raises the engine's error for a failed file operation, in the engine's
// numbers: errno e, text saying what failed (the system's reason is appended).
[[noreturn]] void raiseErrno(int e, const std::string& text);

// A file: URI for path (made absolute, every byte outside the unreserved set
// percent-encoded), with query (e.g. "mode=ro") appended when not empty.
std::string fileUri(const std::string& path, const std::string& query = {});

} // namespace engine
