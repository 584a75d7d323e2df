// The repair program's file operations: the catalogue opened for copying,
// copies that replace a name atomically, and the system's failures as the
// file system's error numbers.
#pragma once

#include "fileops.h"

#include <sys/stat.h>

#include <functional>
#include <string>

namespace repairfiles {

// The temporary files, their removal on signals and the folder sync are the
// engine's (fileops.h); the program's own file operations report failures
// in the file system's numbers (engine::FileLayer::Program).
using engine::folderOf;
using engine::removeLeftTempFiles;
using engine::removeTempFilesOnSignal;
using engine::SignalsDeferred;
using engine::TempFile;

// Raises the engine::Error that matches errno value errnum for an operation
// on path, in the file system's numbers (file not found 53, disk full 61,
// permission denied 70, path not found 76, else 75).
[[noreturn]] void raiseFileError(int errnum, const std::string& path);

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
