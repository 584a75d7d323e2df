// The repair program's file operations: temporary files beside a target that
// disappear on every way out, copies that replace a name atomically, and the
// mapping of the system's failures to the tools' error numbers.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <string>

namespace repairfiles {

// Raises the engine::Error that matches errno value errnum for an operation
// on path (file not found, disk full, permission denied, ...).
[[noreturn]] void raiseFileError(int errnum, const std::string& path);

// The folder that holds path: everything before its last slash, "." when it
// has none.
std::string folderOf(const std::string& path);

// Makes SIGINT, SIGTERM and SIGHUP remove the live temporary files before
// the process ends by the signal. A signal that was ignored stays ignored.
// Calling it again is harmless.
void removeTempFilesOnSignal();

// Holds back SIGINT, SIGTERM and SIGHUP for its lifetime; one that arrives
// meanwhile takes effect when it ends. Around work whose own temporary
// files only that work knows how to remove.
class SignalsDeferred {
public:
    SignalsDeferred();
    ~SignalsDeferred();
    SignalsDeferred(const SignalsDeferred&) = delete;
    SignalsDeferred& operator=(const SignalsDeferred&) = delete;

private:
    sigset_t old_;
};

// A new file under a unique name in a folder, removed by the destructor and
// by the signal handler until it has been renamed to its final name.
class TempFile {
public:
    // Creates the empty file (mode 0600) in folder; target is the name it is
    // meant for (in folder), used in error texts. Raises the file system's error.
    TempFile(const std::string& folder, const std::string& target);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Closes the descriptor; raises the file system's error (a write the
    // kernel could not finish shows here at the latest).
    void close();
    // Closes and removes the file but keeps the name reserved, so that
    // another writer can create it; the destructor still removes it.
    void vacate();
    // Renames the file over target, replacing whatever bears that name (a
    // link is replaced, not followed), and syncs the folder. Raises the file
    // system's error; the file is then still removed by the destructor.
    void renameOver();

private:
    std::string path_;
    std::string target_;
    int fd_ = -1;
    int slot_ = -1;
};

// An open, read-only descriptor on a regular file, closed by the destructor.
class SourceFile {
public:
    // Raises FileNotFound, PathFileAccess for a file that is not a regular
    // file, and the file system's error.
    explicit SourceFile(const std::string& path);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    int fd() const { return fd_; }
    const struct stat& status() const { return st_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    struct stat st_ {};
};

// Copies the whole of source under a temporary name beside target, gives it
// the source's permission bits, syncs it when sync is set, calls beforeRename
// (which may be empty) and renames it over target. Uses a reflink where the
// file system offers one, else an in-kernel copy, else reads and writes.
// Raises the file system's error; target is then as it was.
void copyOver(const SourceFile& source, const std::string& target, bool sync,
              const std::function<void()>& beforeRename);

} // namespace repairfiles
