// Holding a database file against every other user for a whole run.
#include "engine.h"
#include "sqlite_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace engine {

namespace {

bool exists(const std::string& p) {
    struct stat sb {};
    return ::stat(p.c_str(), &sb) == 0;
}

// Rolls back a hot journal and folds a write-ahead log into the file, so
// that a byte copy of the file alone holds every committed change. A file
// that SQLite cannot open is left to the caller's later steps.
void settle(const std::string& path) {
    if (!exists(path + "-journal") && !exists(path + "-wal"))
        return;
    DbHandle h;
    try {
        h = openFile(path, false, false); // reading the schema rolls a hot journal back
    } catch (const Error& e) {
        if (e.Number() == err::FileInUse)
            throw;
        return;
    }
    if (queryText(h.get(), "PRAGMA journal_mode") == "wal")
        queryText(h.get(), "PRAGMA wal_checkpoint(TRUNCATE)");
    // Closing the last connection removes the log.
}

// True when a write-ahead log with frames, or a hot rollback journal, still
// lies beside path: changes that a byte copy of path alone would miss or
// that SQLite would later play into whatever file bears the name.
bool pendingLog(const std::string& path) {
    struct stat sb {};
    if (::stat((path + "-wal").c_str(), &sb) == 0 && sb.st_size > 0)
        return true;
    std::ifstream journal(path + "-journal", std::ios::binary);
    static const unsigned char magic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
    char head[8] = {};
    return journal.read(head, sizeof head) && std::memcmp(head, magic, sizeof magic) == 0;
}

} // namespace

FileLock::~FileLock() {
    Release();
}

void FileLock::Release() noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::unique_ptr<FileLock> DBEngine::LockDatabase(const std::string& path) {
    struct stat sb {};
    if (path.empty() || ::stat(path.c_str(), &sb) != 0)
        throw Error(err::FileNotFound, "File not found: '" + path + "'.");
    if (S_ISDIR(sb.st_mode))
        throw Error(err::NotValidPath, "'" + path + "' is a folder, not a database file.");
    settle(path);
    if (pendingLog(path))
        throw Error(err::CannotOpenDatabase,
                    "The database '" + path +
                        "' has changes in its journal or write-ahead log "
                        "that could not be applied to it; nothing was changed.");
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == EACCES || e == EROFS || e == EPERM)
            raiseReadOnly(path);
        if (e == ENOENT)
            throw Error(err::FileNotFound, "File not found: '" + path + "'.");
        throw Error(err::PathFileAccess,
                    "Path/file access error: '" + path + "': " + std::strerror(e) + ".");
    }
    auto lock = std::unique_ptr<FileLock>(new FileLock(fd));
    // An open-file-description lock: unlike a process lock it is not dropped
    // when this process closes another descriptor of the same file (a copy).
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = lockPendingByte;
    fl.l_len = 2 + lockSharedSize;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        int e = errno;
        if (e == EAGAIN || e == EACCES)
            raiseInUse(path);
        throw Error(err::PathFileAccess,
                    "Cannot lock '" + path + "': " + std::string(std::strerror(e)) + ".");
    }
    return lock;
}

} // namespace engine
