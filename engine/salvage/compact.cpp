// Compacting a database into a new file: VACUUM INTO a temporary file beside
// the destination, checked against the source, synced, then linked into place
// so that the destination is either complete or absent.
#include "check.h"
#include "engine.h"
#include "fileops.h"
#include "sqlite_handle.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <future>
#include <map>
#include <vector>

namespace engine {

namespace {

constexpr long knownOptions = opt::Decrypt | opt::Version20 | opt::Version40;

// The row count of every table that has rows of its own (virtual tables have none).
std::map<std::string, long long> rowCounts(sqlite3* db) {
    std::vector<std::string> names;
    Stmt tables(db, "SELECT name FROM sqlite_schema WHERE type='table' AND rootpage>0");
    while (tables.step())
        names.push_back(tables.text(0));
    std::map<std::string, long long> counts;
    for (const auto& name : names)
        counts[name] = std::stoll(queryText(db, "SELECT count(*) FROM main." + quoteIdent(name)));
    return counts;
}

// VACUUM copies records byte for byte, and schema format 4 writes the
// integers 0 and 1 without a payload (serial types 8 and 9), which readers of
// format 1 do not know. Updating a row writes it, and its index entries,
// afresh in the file's own format; so every row that may hold such a value,
// in a column, its rowid or an index expression, is updated to itself.
//
// One table's share: the SET list that rewrites a row, and the rows, either
// by rowid (found in the source: VACUUM keeps the rowids of the records it
// copies as they are) or by a condition on the copy (every row if empty).
struct Rewrite {
    std::string table, set, rowid, where;
    bool byRowid = false;
    std::vector<sqlite3_int64> rowids;
};

// Plans the rewrite on the source, while VACUUM copies it.
std::vector<Rewrite> planFormat1(sqlite3* db) {
    std::vector<std::pair<std::string, bool>> tables; // name, without rowid
    Stmt list(db, "SELECT name, wr FROM pragma_table_list WHERE schema='main' AND "
                  "type IN ('table','shadow') AND name NOT IN ('sqlite_schema','sqlite_master')");
    while (list.step())
        tables.emplace_back(list.text(0), list.integer(1) != 0);
    std::vector<Rewrite> plan;
    for (const auto& [name, withoutRowid] : tables) {
        Rewrite r;
        r.table = name;
        std::vector<std::string> names;
        Stmt cols(db, "SELECT name, hidden FROM pragma_table_xinfo(?1)");
        cols.bind(1, name);
        while (cols.step()) {
            long long hidden = cols.integer(1);
            std::string col = quoteIdent(cols.text(0));
            names.push_back(cols.text(0));
            if (hidden == 0)
                r.set += (r.set.empty() ? "" : ", ") + col + "=" + col;
            if (hidden == 0 || hidden == 3) // stored in the record
                r.where += (r.where.empty() ? "" : " OR ") + col + " IN (0,1)";
        }
        if (r.set.empty())
            continue;
        Stmt expr(db, "SELECT count(*) FROM pragma_index_list(?1) AS i, "
                      "pragma_index_xinfo(i.name) WHERE cid=-2");
        expr.bind(1, name);
        expr.step();
        bool everyRow = expr.integer(0) > 0 || r.where.empty();
        if (!withoutRowid)
            r.rowid = rowidAlias(names);
        if (!withoutRowid && r.rowid.empty())
            everyRow = true; // columns hide every name of the rowid
        if (!r.rowid.empty())
            r.where += " OR " + r.rowid + " IN (0,1)";
        if (everyRow) {
            r.where.clear();
        } else if (!withoutRowid) {
            r.byRowid = true;
            Stmt rows(db,
                      "SELECT " + r.rowid + " FROM main." + quoteIdent(name) + " WHERE " + r.where);
            while (rows.step())
                r.rowids.push_back(rows.integer(0));
        }
        plan.push_back(std::move(r));
    }
    return plan;
}

void rewriteForFormat1(sqlite3* db, const std::vector<Rewrite>& plan) {
    check(sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr), db,
          "Cannot configure the connection");
    exec(db, "PRAGMA ignore_check_constraints=ON");
    exec(db, "BEGIN");
    for (const auto& r : plan) {
        std::string update = "UPDATE main." + quoteIdent(r.table) + " SET " + r.set;
        if (!r.byRowid) {
            exec(db, update + (r.where.empty() ? "" : " WHERE " + r.where));
            continue;
        }
        if (r.rowids.empty())
            continue;
        Stmt row(db, update + " WHERE " + r.rowid + "=?1");
        for (auto id : r.rowids) {
            row.bind(1, static_cast<long long>(id));
            row.step();
            row.rewind();
        }
    }
    exec(db, "COMMIT");
}

std::int64_t fileSize(const std::string& path) {
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0 ? static_cast<std::int64_t>(sb.st_size) : 0;
}

// The schema format number in the header of the file at path.
unsigned schemaFormat(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        raiseErrno(errno, "Cannot read '" + path + "'");
    unsigned char b[4] = {};
    ssize_t got = ::pread(fd, b, 4, 44);
    ::close(fd);
    if (got != 4)
        return 0;
    return (unsigned{b[0]} << 24) | (unsigned{b[1]} << 16) | (unsigned{b[2]} << 8) | b[3];
}

// Makes the file at from appear at to, failing when to exists.
void placeWithoutOverwriting(TempFile& from, const std::string& to) {
    if (::link(from.path().c_str(), to.c_str()) == 0)
        return; // the temporary name is removed with `from`
    int e = errno;
    if (e == EEXIST)
        throw Error(err::DatabaseExists, "Database '" + to + "' already exists.");
    if (e != EPERM && e != ENOTSUP && e != EOPNOTSUPP)
        raiseErrno(e, "Cannot create '" + to + "'");
    // A file system without hard links: a rename that refuses to overwrite.
    if (::renameat2(AT_FDCWD, from.path().c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        e = errno;
        if (e == EEXIST)
            throw Error(err::DatabaseExists, "Database '" + to + "' already exists.");
        raiseErrno(e, "Cannot create '" + to + "'");
    }
    from.release();
}

} // namespace

void DBEngine::CompactDatabase(const std::string& source, const std::string& destination,
                               const std::string& locale, long options) {
    if ((options & ~knownOptions) != 0 || options < 0 ||
        ((options & opt::Version20) && (options & opt::Version40)))
        throw Error(err::InvalidOperation, "Invalid argument: compaction options " +
                                               std::to_string(options) +
                                               " (allowed: 64 or 16, plus 4).");
    if (locale != GeneralLocale)
        throw Error(err::BadLocale, "Invalid locale setting '" + locale +
                                        "': only the general sort order (" + GeneralLocale +
                                        ") is available.");
    const bool legacy = (options & opt::Version20) != 0;

    // An open read transaction keeps writers out of the source from before
    // the copy until its rows have been counted.
    DbHandle pin = openFile(source, true, false);
    exec(pin.get(), "BEGIN");
    queryText(pin.get(), "SELECT count(*) FROM sqlite_schema");

    if (destination.empty())
        throw Error(err::NotValidPath, "'' is not a valid path.");
    struct stat sb {};
    if (::lstat(destination.c_str(), &sb) == 0)
        throw Error(err::DatabaseExists, "Database '" + destination + "' already exists.");
    const std::string folder = folderOf(destination);
    TempFile temp(destination, "compact", 0666);
    // The pin's snapshot is the one VACUUM copies.
    std::future<std::vector<Rewrite>> plan;
    if (legacy)
        plan = std::async(std::launch::async, [&] { return planFormat1(pin.get()); });

    {
        // Nothing is written through this connection: VACUUM INTO only reads
        // its source. It is opened for writing because SQLite copies the
        // b-trees of a read-only source row by row, rebuilding every index
        // by insertion: thirty times slower, and a larger file.
        DbHandle src = openConnection(source, SQLITE_OPEN_READWRITE);
        // The copy is flushed once, when it is complete.
        exec(src.get(), "PRAGMA synchronous=OFF");
        // Reading a format-4 schema clears the setting, so it is set after the read.
        queryText(src.get(), "SELECT count(*) FROM sqlite_schema");
        check(sqlite3_db_config(src.get(), SQLITE_DBCONFIG_LEGACY_FILE_FORMAT, legacy ? 1 : 0,
                                nullptr),
              src.get(), "Cannot configure the connection");
        exec(src.get(), "VACUUM INTO " + quoteLiteral(temp.path()));
    }
    {
        DbHandle copy = openConnection(temp.path(), SQLITE_OPEN_READWRITE);
        // A failed rewrite discards the whole copy, so it needs no journal;
        // the file is flushed once, below.
        exec(copy.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
        if (legacy)
            rewriteForFormat1(copy.get(), plan.get());
        // The copy's b-trees are checked page by page; its indexes hold what
        // the source's held (VACUUM copies them), so comparing them with
        // their tables, which costs several times the copy, is left to
        // RepairDatabase, which the source has been through.
        exec(copy.get(), "PRAGMA mmap_size=" + std::to_string(fileSize(temp.path())));
        // The file is complete: flushing it overlaps the check. (Closing the
        // flush's descriptor drops the check's read lock, on a file that no
        // one else knows of.)
        auto flushed = std::async(std::launch::async, [&] { syncFile(temp.path()); });
        CheckReport report = quickCheck(copy.get());
        flushed.get();
        if (!report.sound())
            throw Error(err::EngineFailure,
                        "The compacted copy of '" + source + "' fails the integrity check (" +
                            report.problems.front() + "); '" + destination + "' was not written.");
        if (rowCounts(copy.get()) != rowCounts(pin.get()))
            throw Error(err::EngineFailure, "The compacted copy of '" + source +
                                                "' does not hold every row of it; '" + destination +
                                                "' was not written.");
    }
    // A read-only connection that closes last leaves a write-ahead log and
    // its index beside the source; a read-write one removes them.
    if (queryText(pin.get(), "PRAGMA journal_mode") == "wal") {
        DbHandle last = openConnection(source, SQLITE_OPEN_READWRITE);
        queryText(last.get(), "SELECT count(*) FROM sqlite_schema");
        pin.close();
    }
    unsigned format = schemaFormat(temp.path());
    if (format != (legacy ? 1u : 4u))
        throw Error(err::EngineFailure, "The compacted copy of '" + source +
                                            "' has schema format " + std::to_string(format) +
                                            "; '" + destination + "' was not written.");
    placeWithoutOverwriting(temp, destination);
    if (int e = flushFolder(folder)) {
        // Not durable, so not there: the destination is complete or absent.
        ::unlink(destination.c_str());
        raiseErrno(e, "Cannot flush the folder '" + folder + "' to the disk");
    }
}

} // namespace engine
