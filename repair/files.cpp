// The repair program's file operations: temporary files and their removal on
// signals, atomic replacing copies, and system errors as engine errors.
#include "files.h"

#include "error.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace repairfiles {

namespace {

// Names of the live temporary files, for the signal handler. A slot holds the
// c_str() of a TempFile's path while that file may exist; lock-free atomics
// are safe to read in a handler.
constexpr int slotCount = 8;
std::atomic<const char*> liveNames[slotCount];
static_assert(std::atomic<const char*>::is_always_lock_free);

const int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeLiveNames(int sig) {
    int saved = errno;
    for (auto& slot : liveNames)
        if (const char* name = slot.load())
            ::unlink(name);
    errno = saved;
    // The handler was reset on entry (SA_RESETHAND): the signal, pending until
    // this returns, then ends the process the way the sender expects.
    ::raise(sig);
}

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

// Flushes a folder's entries (a rename) to the disk. Raises the file system's error.
void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        raiseFileError(errno, folder);
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    // Some file systems cannot sync a folder at all; their renames are what they are.
    if (rc != 0 && e != EINVAL && e != EROFS)
        raiseFileError(e, folder);
}

} // namespace

void raiseFileError(int errnum, const std::string& path) {
    std::string detail = " '" + path + "' (" + std::strerror(errnum) + ").";
    switch (errnum) {
    case ENOENT:
        throw engine::Error(engine::err::FileNotFound, "File not found: '" + path + "'.");
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        throw engine::Error(engine::err::DiskFull, "Disk full:" + detail);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        throw engine::Error(engine::err::PermissionDenied, "Permission denied:" + detail);
    case ENOTDIR:
        throw engine::Error(engine::err::PathNotFound, "Path not found:" + detail);
    default:
        throw engine::Error(engine::err::PathFileAccess, "Path/file access error:" + detail);
    }
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

void removeTempFilesOnSignal() {
    for (int sig : cleanedSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = removeLiveNames;
        sa.sa_flags = SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        for (int other : cleanedSignals)
            sigaddset(&sa.sa_mask, other);
        ::sigaction(sig, &sa, nullptr);
    }
}

SignalsDeferred::SignalsDeferred() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : cleanedSignals)
        sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
}

SignalsDeferred::~SignalsDeferred() {
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

TempFile::TempFile(const std::string& folder, const std::string& target) : target_(target) {
    std::string name = (folder == "/" ? "" : folder) + "/repair-XXXXXX.tmp";
    SignalsDeferred blocked;
    int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
    if (fd < 0)
        raiseFileError(errno, target);
    path_ = std::move(name);
    fd_ = fd;
    for (int i = 0; i < slotCount && slot_ < 0; ++i) {
        const char* empty = nullptr;
        if (liveNames[i].compare_exchange_strong(empty, path_.c_str()))
            slot_ = i;
    }
}

TempFile::~TempFile() {
    SignalsDeferred blocked;
    if (fd_ >= 0)
        ::close(fd_);
    if (!path_.empty())
        ::unlink(path_.c_str());
    if (slot_ >= 0)
        liveNames[slot_].store(nullptr);
}

void TempFile::close() {
    if (fd_ < 0)
        return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR)
        raiseFileError(errno, target_);
}

void TempFile::vacate() {
    close();
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
        raiseFileError(errno, target_);
}

void TempFile::renameOver() {
    close();
    {
        SignalsDeferred blocked;
        if (::rename(path_.c_str(), target_.c_str()) != 0)
            raiseFileError(errno, target_);
        path_.clear(); // the name now belongs to target: nothing left to remove
        if (slot_ >= 0)
            liveNames[slot_].store(nullptr);
        slot_ = -1;
    }
    syncFolder(folderOf(target_));
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
    TempFile tmp(folderOf(target), target);
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
