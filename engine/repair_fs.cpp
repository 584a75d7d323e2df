// The file-system side of repairing and compacting: path checks, the test for
// a SQLite file whose first page is damaged, temporary files, syncing.
#include "repair_fs.h"

#include "error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
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

} // namespace

void raiseErrno(int e, const std::string& text) {
    std::string full = text + ": " + std::strerror(e) + ".";
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        throw Error(err::PathNotFound, full);
    case EACCES:
    case EPERM:
    case EROFS:
        throw Error(err::ReadOnlyFile, full);
    case ENOSPC:
    case EDQUOT:
    case EIO:
        throw Error(err::IoFailure, full);
    default:
        throw Error(err::PathFileAccess, full);
    }
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

TempFile::TempFile(const std::string& base, const std::string& tag, mode_t mode) {
    std::random_device seed;
    std::mt19937_64 gen(seed());
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = base + "." + tag + "-";
        for (int i = 0; i < 6; ++i)
            name += digits[gen() % 36];
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::close(fd);
            path_ = name;
            return;
        }
        if (errno != EEXIST)
            raiseErrno(errno, "Cannot create a file in the folder '" + folderOf(base) + "'");
    }
    throw Error(err::PathFileAccess,
                "Cannot create a temporary file beside '" + base + "': every name is taken.");
}

TempFile::~TempFile() {
    if (owned_ && !path_.empty())
        ::unlink(path_.c_str());
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
    // Some file systems cannot flush a folder; the entry itself is written.
    return rc != 0 && e != EINVAL && e != ENOTSUP ? e : 0;
}

void syncFolder(const std::string& folder) {
    if (int e = flushFolder(folder))
        raiseErrno(e, "Cannot flush the folder '" + folder + "' to the disk");
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
