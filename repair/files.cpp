// The repair program's file operations: atomic replacing copies, and system
// errors as the file system's error numbers.
#include "files.h"

#include "error.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace repairfiles {

namespace {

// Writes all of len bytes of buf at the descriptor's position.
void writeAll(int fd, const char* buf, size_t len, const std::string& target) {
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raiseFileError(errno, target);
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
}

// Copies the source's bytes into the empty file out: a reflink where the file
// system shares blocks, else copy_file_range, else plain reads and writes.
void copyContents(const SourceFile& source, int out, const std::string& target) {
    if (::ioctl(out, FICLONE, source.fd()) == 0)
        return;
    loff_t inPos = 0;
    loff_t outPos = 0;
    for (;;) {
        ssize_t n = ::copy_file_range(source.fd(), &inPos, out, &outPos, size_t{1} << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return;
        if (errno == EINTR)
            continue;
        // Not offered between these files: fall back before anything is written.
        bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EBADF;
        if (inPos == 0 && unsupported)
            break;
        raiseFileError(errno, target);
    }
    std::vector<char> buf(size_t{1} << 20);
    off_t pos = 0;
    for (;;) {
        ssize_t n = ::pread(source.fd(), buf.data(), buf.size(), pos);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raiseFileError(errno, source.path());
        }
        if (n == 0)
            return;
        writeAll(out, buf.data(), static_cast<size_t>(n), target);
        pos += n;
    }
}

} // namespace

void raiseFileError(int errnum, const std::string& path) {
    engine::raiseFileError(errnum, path, engine::FileLayer::Program, {});
}

SourceFile::SourceFile(const std::string& path) : path_(path) {
    // Non-blocking, so that a pipe or device named on the command line is
    // refused below and not waited on.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        raiseFileError(errno, path);
    if (::fstat(fd_, &st_) != 0) {
        int e = errno;
        ::close(fd_);
        raiseFileError(e, path);
    }
    if (!S_ISREG(st_.st_mode)) {
        ::close(fd_);
        if (S_ISDIR(st_.st_mode))
            throw engine::Error(engine::err::NotValidPath,
                                "'" + path + "' is a folder, not a database file.");
        throw engine::Error(engine::err::PathFileAccess,
                            "Path/file access error: '" + path + "' is not a regular file.");
    }
}

SourceFile::~SourceFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

void copyOver(const SourceFile& source, const std::string& target, bool sync,
              const std::function<void()>& beforeRename) {
    TempFile tmp(target, "tmp", 0600, engine::FileLayer::Program, true);
    copyContents(source, tmp.fd(), target);
    if (::fchmod(tmp.fd(), source.status().st_mode & 0777) != 0)
        raiseFileError(errno, target);
    if (sync && ::fsync(tmp.fd()) != 0)
        raiseFileError(errno, target);
    tmp.close();
    if (beforeRename)
        beforeRename();
    tmp.renameOver();
}

} // namespace repairfiles
