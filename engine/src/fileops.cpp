// The file-system side of repairing and compacting: path checks, the test for
// a SQLite file whose first page is damaged, temporary files and their
// removal on signals, syncing, and the errors of failed file operations.
#include "fileops.h"

#include "error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>
#include <vector>

namespace engine {

namespace {

unsigned be16(const unsigned char* p) {
    return (unsigned{p[0]} << 8) | p[1];
}

// Reads up to n bytes at offset; returns how many were read.
size_t readAt(int fd, unsigned char* buf, size_t n, off_t offset) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, buf + got, n - got, offset + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

// A b-tree page header that SQLite would accept: a known page type, a cell
// count that fits, cell offsets inside the cell content area.
bool plausibleBtreePage(const unsigned char* p, unsigned pageSize) {
    unsigned type = p[0];
    if (type != 2 && type != 5 && type != 10 && type != 13)
        return false;
    unsigned header = (type == 2 || type == 5) ? 12 : 8;
    unsigned cells = be16(p + 3);
    unsigned content = be16(p + 5);
    if (content == 0)
        content = 65536;
    if (header + 2 * cells > pageSize || content > pageSize || p[7] > 60)
        return false;
    if (cells > 0 && content < header + 2 * cells)
        return false;
    unsigned freeblock = be16(p + 1);
    if (freeblock != 0 && (freeblock < header + 2 * cells || freeblock >= pageSize))
        return false;
    for (unsigned i = 0; i < cells; ++i) {
        unsigned cell = be16(p + header + 2 * i);
        if (cell < content || cell >= pageSize)
            return false;
    }
    return true;
}

// The numbers for each cause of a failed file operation, in both layers. The
// columns differ by layer only: the engine reports its own numbers, the
// repair program's own file operations the file system's (for a missing
// catalogue the file-not-found error, 53). An EIO is a failed write to the
// engine and an access error to the program; anything else is an access
// error to both.
struct FileErrorRow {
    int errnoValue;
    long engine;
    long program;
};
constexpr FileErrorRow fileErrors[] = {
    {ENOENT, err::CannotFindFile, err::FileNotFound},
    {ENOTDIR, err::CannotFindFile, err::PathNotFound},
    {EACCES, err::ReadOnlyFile, err::PermissionDenied},
    {EPERM, err::ReadOnlyFile, err::PermissionDenied},
    {EROFS, err::ReadOnlyFile, err::PermissionDenied},
    {ETXTBSY, err::ReadOnlyFile, err::PermissionDenied},
    {ENOSPC, err::IoFailure, err::DiskFull},
    {EDQUOT, err::IoFailure, err::DiskFull},
    {EFBIG, err::IoFailure, err::DiskFull},
    {EIO, err::IoFailure, err::PathFileAccess},
};

// Names of the live temporary files, for the signal handler. A slot holds the
// c_str() of a TempFile's path while that file may exist; lock-free atomics
// are safe to read in a handler.
constexpr int slotCount = 16;
std::atomic<const char*> liveNames[slotCount];
static_assert(std::atomic<const char*>::is_always_lock_free);

const int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The tags of every temporary file the tools make, and the characters of the
// random part that follows them.
constexpr std::string_view tempTags[] = {"tmp", "header", "repair", "rebuilt", "compact"};
constexpr std::string_view tempDigits = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr size_t tempDigitCount = 6;

bool isTempTag(std::string_view tag) {
    for (std::string_view t : tempTags)
        if (t == tag)
            return true;
    return false;
}

// True when rest, what follows a name, is "." tag "-" and the random part,
// then nothing, SQLite's journal, log or shared-memory suffix, or the same
// again (a temporary file beside a temporary file).
bool isTempSuffix(std::string_view rest) {
    if (rest.empty() || rest[0] != '.')
        return false;
    size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !isTempTag(rest.substr(1, dash - 1)))
        return false;
    std::string_view random = rest.substr(dash + 1, tempDigitCount);
    if (random.size() != tempDigitCount ||
        random.find_first_not_of(tempDigits) != std::string_view::npos)
        return false;
    rest.remove_prefix(dash + 1 + tempDigitCount);
    return rest.empty() || rest == "-journal" || rest == "-wal" || rest == "-shm" ||
           isTempSuffix(rest);
}

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

} // namespace

long fileErrorNumber(int e, FileLayer layer) {
    for (const FileErrorRow& row : fileErrors)
        if (row.errnoValue == e)
            return layer == FileLayer::Engine ? row.engine : row.program;
    return err::PathFileAccess;
}

void raiseErrno(int e, const std::string& text) {
    throw Error(fileErrorNumber(e, FileLayer::Engine), text + ": " + std::strerror(e) + ".");
}

void raiseFileError(int e, const std::string& path, FileLayer layer, const std::string& doing) {
    if (layer == FileLayer::Engine)
        raiseErrno(e, doing + " '" + path + "'");
    // The program's texts are the run-time errors' own, with the file named.
    const long number = fileErrorNumber(e, layer);
    if (number == err::FileNotFound)
        throw Error(number, "File not found: '" + path + "'.");
    const char* what = number == err::DiskFull           ? "Disk full"
                       : number == err::PermissionDenied ? "Permission denied"
                       : number == err::PathNotFound     ? "Path not found"
                                                         : "Path/file access error";
    throw Error(number, std::string(what) + ": '" + path + "' (" + std::strerror(e) + ").");
}

std::string folderOf(const std::string& path) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

bool looksLikeSqlite(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        raiseErrno(errno, "Cannot read '" + path + "'");
    struct stat sb {};
    ::fstat(fd, &sb);
    std::array<unsigned char, 100> head{};
    size_t got = readAt(fd, head.data(), head.size(), 0);
    bool yes = false;
    if (got >= 16 && std::memcmp(head.data(), "SQLite format 3", 16) == 0)
        yes = true;
    if (!yes && got == head.size()) {
        // The magic is gone but the fields that never vary are still there.
        unsigned size = be16(head.data() + 16);
        if (size == 1)
            size = 65536;
        bool power = size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
        yes = power && head[21] == 64 && head[22] == 32 && head[23] == 32;
    }
    // The whole header is gone: look for b-tree pages behind the first one,
    // for each page size. Zeros, text and random bytes do not pass this.
    std::vector<unsigned char> page(65536);
    for (unsigned size = 512; !yes && size <= 65536; size *= 2) {
        int sampled = 0;
        int plausible = 0;
        for (off_t no = 1; no <= 16 && (no + 1) * off_t{size} <= sb.st_size; ++no) {
            if (readAt(fd, page.data(), size, no * off_t{size}) != size)
                break;
            ++sampled;
            plausible += plausibleBtreePage(page.data(), size) ? 1 : 0;
        }
        yes = plausible >= 2 && 2 * plausible >= sampled;
    }
    ::close(fd);
    return yes;
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

TempFile::TempFile(const std::string& target, const std::string& tag, mode_t mode, FileLayer layer,
                   bool keepOpen)
    : target_(target), layer_(layer) {
    std::random_device seed;
    std::mt19937_64 gen(seed());
    if (!isTempTag(tag))
        throw Error(err::InvalidOperation, "Unknown temporary file tag '" + tag + "'.");
    SignalsDeferred blocked;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        std::string name = target + "." + tag + "-";
        for (size_t i = 0; i < tempDigitCount; ++i)
            name += tempDigits[gen() % tempDigits.size()];
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            raiseFileError(errno, target, layer, "Cannot create a file beside");
        if (fd >= 0) {
            path_ = std::move(name);
            fd_ = fd;
        }
    }
    if (path_.empty())
        throw Error(err::PathFileAccess,
                    "Cannot create a temporary file beside '" + target + "': every name is taken.");
    for (int i = 0; i < slotCount && slot_ < 0; ++i) {
        const char* empty = nullptr;
        if (liveNames[i].compare_exchange_strong(empty, path_.c_str()))
            slot_ = i;
    }
    if (!keepOpen) {
        ::close(fd_);
        fd_ = -1;
    }
}

TempFile::~TempFile() {
    SignalsDeferred blocked;
    if (fd_ >= 0)
        ::close(fd_);
    if (!path_.empty())
        ::unlink(path_.c_str());
    release();
}

void TempFile::release() noexcept {
    if (slot_ >= 0)
        liveNames[slot_].store(nullptr);
    slot_ = -1;
    path_.clear();
}

void TempFile::close() {
    if (fd_ < 0)
        return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR)
        raiseFileError(errno, target_, layer_, "Cannot write");
}

void TempFile::vacate() {
    close();
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
        raiseFileError(errno, target_, layer_, "Cannot remove a file beside");
}

void TempFile::renameOver() {
    close();
    {
        SignalsDeferred blocked;
        if (::rename(path_.c_str(), target_.c_str()) != 0)
            raiseFileError(errno, target_, layer_, "Cannot replace");
        release(); // the name now belongs to target: nothing left to remove
    }
    syncFolder(folderOf(target_), layer_);
}

void removeLeftTempFiles(const std::string& target) {
    namespace fs = std::filesystem;
    const std::string base = fs::path(target).filename().string();
    std::error_code ec;
    for (fs::directory_iterator it(folderOf(target), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(base, 0) != 0 || !isTempSuffix(std::string_view(name).substr(base.size())))
            continue;
        // Only plain files: a link or a folder of that name is not ours.
        struct stat sb {};
        const std::string path = it->path().string();
        if (::lstat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
            continue;
        // One that cannot be removed is only in the way of nothing: its name
        // is random, and the run makes names of its own.
        ::unlink(path.c_str());
    }
}

void syncFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        raiseErrno(errno, "Cannot open '" + path + "' to flush it");
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    if (rc != 0)
        raiseErrno(e, "Cannot flush '" + path + "' to the disk");
}

int flushFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    // Some file systems cannot flush a folder at all; their renames are what they are.
    return rc != 0 && e != EINVAL && e != ENOTSUP && e != EROFS ? e : 0;
}

void syncFolder(const std::string& folder, FileLayer layer) {
    if (int e = flushFolder(folder))
        raiseFileError(e, folder, layer, "Cannot flush to the disk the folder");
}

void removeIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        raiseErrno(errno, "Cannot remove '" + path + "'");
}

std::string fileUri(const std::string& path, const std::string& query) {
    std::string abs = std::filesystem::absolute(path).lexically_normal().string();
    std::string uri = "file:";
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : abs) {
        bool unreserved =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (unreserved || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    if (!query.empty())
        uri += "?" + query;
    return uri;
}

} // namespace engine
