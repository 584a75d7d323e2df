// Repairing a database file in place: a sound file is left as it is, damaged
// indexes are rebuilt from their tables, and anything worse is rebuilt from
// what SQLite's recovery reads, then put in place of the damaged file.
#include "check.h"
#include "engine.h"
#include "evidence.h"
#include "fileops.h"
#include "rebuild.h"
#include "sqlite_handle.h"

#include <sqlite3recover.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

namespace engine {

namespace {

// Reads the whole file through the page cache's memory map where it fits:
// the check reads every page, most of them more than once.
void mapWholeFile(sqlite3* db, const std::string& path, const std::string& schema = "main") {
    struct stat sb {};
    if (::stat(path.c_str(), &sb) == 0)
        exec(db, "PRAGMA " + quoteIdent(schema) + ".mmap_size=" + std::to_string(sb.st_size));
}

sqlite3_file* fileOf(sqlite3* db) {
    sqlite3_file* file = nullptr;
    check(sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file), db,
          "Cannot reach the database file");
    if (!file || !file->pMethods)
        raise(SQLITE_CANTOPEN, db, "Cannot reach the database file");
    return file;
}

// Takes SQLite's exclusive lock on the file open on db and keeps it until db
// closes. Returns false when SQLite cannot read the file's first page; the
// lock is then taken on the file directly. Raises FileInUse.
bool lockFile(sqlite3* db, const std::string& path) {
    exec(db, "PRAGMA locking_mode=EXCLUSIVE");
    // The empty transaction also rolls a hot journal back.
    int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        raiseInUse(path);
    if (!isDamage(rc)) {
        check(rc, db, "Cannot lock '" + path + "'");
        return true;
    }
    // In exclusive locking mode the pager never lowers a lock it finds held.
    sqlite3_file* file = fileOf(db);
    for (int level : {SQLITE_LOCK_SHARED, SQLITE_LOCK_EXCLUSIVE}) {
        int lrc = file->pMethods->xLock(file, level);
        if ((lrc & 0xff) == SQLITE_BUSY)
            raiseInUse(path);
        check(lrc, nullptr, "Cannot lock '" + path + "'");
    }
    return false;
}

// Bytes 18 and 19 of the header of the file open on db, reached through
// file: its write and read versions.
std::array<unsigned char, 2> headerVersions(sqlite3* db, sqlite3_file* file) {
    std::array<unsigned char, 2> versions{};
    check(file->pMethods->xRead(file, versions.data(), 2, 18), db,
          "Cannot read the database header");
    return versions;
}

// True when the file's header marks it for a write-ahead log.
bool walMode(sqlite3* db) {
    const auto versions = headerVersions(db, fileOf(db));
    return versions[0] == 2 || versions[1] == 2;
}

// Rebuilds the named indexes from their tables. Returns false, having
// changed nothing, when the rebuild meets damage.
bool rebuildIndexes(sqlite3* db, const std::set<std::string>& names) {
    exec(db, "BEGIN");
    for (const auto& name : names) {
        int rc = sqlite3_exec(db, ("REINDEX main." + quoteIdent(name)).c_str(), nullptr, nullptr,
                              nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            if (isDamage(rc))
                return false;
            raise(rc, db, "Cannot rebuild the index " + name);
        }
    }
    exec(db, "COMMIT");
    return true;
}

// Finishes a recovery handle however the recovery ends.
struct RecoverHandle {
    sqlite3_recover* p;
    ~RecoverHandle() { sqlite3_recover_finish(p); }
};

// Writes what SQLite's recovery reads from the file open on db into the
// empty file at out, rows that belong to no table into the table laf.
void recoverInto(sqlite3* db, const std::string& path, const std::string& out,
                 const std::string& laf) {
    RecoverHandle r{sqlite3_recover_init(db, "main", fileUri(out).c_str())};
    if (!r.p)
        raise(SQLITE_NOMEM, nullptr, "Cannot start the recovery of '" + path + "'");
    int on = 1, off = 0;
    const std::string doing = "Cannot configure the recovery";
    check(
        sqlite3_recover_config(r.p, SQLITE_RECOVER_LOST_AND_FOUND, const_cast<char*>(laf.c_str())),
        nullptr, doing);
    check(sqlite3_recover_config(r.p, SQLITE_RECOVER_ROWIDS, &on), nullptr, doing);
    // Freed pages hold rows deleted before the damage: they stay deleted.
    check(sqlite3_recover_config(r.p, SQLITE_RECOVER_FREELIST_CORRUPT, &off), nullptr, doing);
    int rc = sqlite3_recover_run(r.p);
    // The recovery's own message says more than the code's, where it has one.
    if (rc != SQLITE_OK)
        raiseMessage(rc, sqliteText(sqlite3_recover_errmsg(r.p), errorMessage(nullptr, rc)),
                     "Cannot recover the data of '" + path + "'");
}

// True when the main database of db has a table of that name.
bool hasTable(sqlite3* db, const std::string& name) {
    return queryText(db, "SELECT count(*) FROM sqlite_schema WHERE type='table' AND name=" +
                             quoteLiteral(name)) != "0";
}

// A table that rows of the lost-and-found table may go back to.
struct Home {
    std::string name;
    std::vector<std::string> columns;
    int rowidColumn = -1; // the INTEGER PRIMARY KEY, whose field a record leaves Null
    std::string rowid;    // otherwise a name for the rowid that no column hides
};

// The tables of db that recovered rows can be put back into, by their
// number of fields. Tables with hidden or generated columns are left out.
std::map<size_t, std::vector<Home>> homesByFields(sqlite3* db, const std::string& laf) {
    std::map<size_t, std::vector<Home>> homes;
    Stmt tables(db, "SELECT name FROM pragma_table_list WHERE schema='main' AND type='table' AND "
                    "wr=0 AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' AND name<>?1");
    tables.bind(1, laf);
    while (tables.step()) {
        Home h;
        h.name = tables.text(0);
        Stmt cols(db, "SELECT name, upper(type), pk, hidden FROM pragma_table_xinfo(?1)");
        cols.bind(1, h.name);
        bool usable = true;
        int keys = 0, keyColumn = -1;
        while (cols.step()) {
            usable = usable && cols.integer(3) == 0;
            if (cols.integer(2) > 0) {
                ++keys;
                if (cols.text(1) == "INTEGER")
                    keyColumn = static_cast<int>(h.columns.size());
            }
            h.columns.push_back(cols.text(0));
        }
        Stmt pk(db, "SELECT count(*) FROM pragma_index_list(?1) WHERE origin='pk'");
        pk.bind(1, h.name);
        pk.step();
        if (keys == 1 && pk.integer(0) == 0)
            h.rowidColumn = keyColumn;
        h.rowid = rowidAlias(h.columns);
        if (usable && !h.columns.empty() && (h.rowidColumn >= 0 || !h.rowid.empty()))
            homes[h.columns.size()].push_back(std::move(h));
    }
    return homes;
}

// Puts rows of the lost-and-found table back into the one table whose field
// count they share, keeping their rowid, when the damaged file open on source
// shows that the row was live (see LiveWitness): a row of a page freed before
// the damage must not come back. A row that no table or more than one table
// could hold, that nothing shows live, or that its table's constraints refuse
// (a rowid or a unique key already taken), stays.
void restoreOrphans(sqlite3* db, sqlite3* source, const std::string& laf) {
    if (!hasTable(db, laf))
        return;
    // Its columns: rootpgno, pgno, nfield, id, then c0, c1, ...
    size_t fields = static_cast<size_t>(std::stoll(
        queryText(db, "SELECT count(*) - 4 FROM pragma_table_info(" + quoteLiteral(laf) + ")")));
    for (const auto& [count, candidates] : homesByFields(db, laf)) {
        if (candidates.size() != 1 || count > fields)
            continue;
        const Home& h = candidates.front();
        std::string names, values, picks;
        if (h.rowidColumn < 0) {
            names = h.rowid + ", ";
            values = "?, ";
        }
        for (size_t c = 0; c < count; ++c) {
            names += quoteIdent(h.columns[c]) + (c + 1 < count ? ", " : "");
            values += c + 1 < count ? "?, " : "?";
            picks += ", c" + std::to_string(c);
        }
        Stmt insert(db, "INSERT INTO main." + quoteIdent(h.name) + " (" + names + ") VALUES (" +
                            values + ")");
        Stmt rows(db, "SELECT rowid, id" + picks + " FROM " + quoteIdent(laf) +
                          " WHERE nfield=?1 AND id IS NOT NULL");
        rows.bind(1, static_cast<long long>(count));
        LiveWitness witness(source, h.name, h.columns, h.rowidColumn);
        std::vector<long long> placed;
        while (rows.step()) {
            if (h.rowidColumn >= 0 && !rows.isNull(2 + h.rowidColumn))
                continue; // a record of this table leaves its INTEGER PRIMARY KEY Null
            if (!witness.live(rows.integer(1), rows.get(), 2))
                continue;
            insert.rewind();
            int at = 1;
            if (h.rowidColumn < 0)
                insert.bindColumn(at++, rows, 1);
            for (size_t c = 0; c < count; ++c) {
                int from = static_cast<int>(c) == h.rowidColumn ? 1 : 2 + static_cast<int>(c);
                insert.bindColumn(at++, rows, from);
            }
            int rc = sqlite3_step(insert.get());
            if (rc == SQLITE_DONE)
                placed.push_back(rows.integer(0));
            else if ((rc & 0xff) != SQLITE_CONSTRAINT)
                raise(rc, db, "Cannot put a recovered row back into " + h.name);
            insert.rewind();
        }
        Stmt remove(db, "DELETE FROM " + quoteIdent(laf) + " WHERE rowid=?1");
        for (long long id : placed) {
            remove.bind(1, id);
            remove.step();
            remove.rewind();
        }
    }
}

// Drops the lost-and-found table when it is empty, else names it
// lost_and_found (or lost_and_found_N when a table of the file has that name).
void settleLostAndFound(sqlite3* db, const std::string& laf) {
    if (!hasTable(db, laf))
        return;
    if (queryText(db, "SELECT count(*) FROM " + quoteIdent(laf)) == "0") {
        exec(db, "DROP TABLE " + quoteIdent(laf));
        return;
    }
    std::string name = "lost_and_found";
    for (int n = 1; queryText(db, "SELECT count(*) FROM sqlite_schema WHERE name=" +
                                      quoteLiteral(name) + " COLLATE NOCASE") != "0";
         ++n)
        name = "lost_and_found_" + std::to_string(n);
    exec(db, "ALTER TABLE " + quoteIdent(laf) + " RENAME TO " + quoteIdent(name));
}

// A name for the recovery's lost-and-found table that no table of the
// damaged file bears, so that an older lost_and_found stays as it was.
std::string scratchName() {
    std::random_device seed;
    std::mt19937_64 gen(seed());
    static const char hex[] = "0123456789abcdef";
    std::string name = "recovered_orphans_";
    for (int i = 0; i < 12; ++i)
        name += hex[gen() % 16];
    return name;
}

// SQLite's recovery keeps the header's read and write versions (bytes 18
// and 19) and stops at a value it does not know. When the header is damaged
// there, the recovery reads a copy of the file, made through db's own handle
// (a second descriptor would drop the lock when closed), with both set to 1.
// Returns an empty handle when the file can be read as it is.
DbHandle readableCopy(sqlite3* db, const std::string& path, std::optional<TempFile>& copy) {
    sqlite3_file* file = fileOf(db);
    const auto versions = headerVersions(db, file);
    if (versions[0] <= 2 && versions[1] <= 2)
        return {};
    copy.emplace(path, "header", 0600);
    sqlite3_int64 size = 0;
    check(file->pMethods->xFileSize(file, &size), db, "Cannot read '" + path + "'");
    int fd = ::open(copy->path().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        raiseErrno(errno, "Cannot write '" + copy->path() + "'");
    std::vector<char> chunk(size_t{1} << 20);
    for (sqlite3_int64 at = 0; at < size;) {
        int n = static_cast<int>(
            std::min<sqlite3_int64>(size - at, static_cast<sqlite3_int64>(chunk.size())));
        int rc = file->pMethods->xRead(file, chunk.data(), n, at);
        if (at == 0)
            chunk[18] = chunk[19] = 1;
        if (rc != SQLITE_OK || ::pwrite(fd, chunk.data(), static_cast<size_t>(n), at) != n) {
            int e = errno;
            ::close(fd);
            if (rc != SQLITE_OK)
                raise(rc, db, "Cannot read '" + path + "'");
            raiseErrno(e, "Cannot write '" + copy->path() + "'");
        }
        at += n;
    }
    ::close(fd);
    return openConnection(copy->path(), SQLITE_OPEN_READONLY);
}

// Gives a new file the permissions, and where it may, the owner of the old.
void likeOld(const TempFile& f, const struct stat& old) {
    if (::chmod(f.path().c_str(), old.st_mode & 07777) != 0)
        raiseErrno(errno, "Cannot set the permissions of '" + f.path() + "'");
    // Giving the file to its old owner needs privileges a user may lack; the
    // file is usable without it.
    [[maybe_unused]] int owned = ::chown(f.path().c_str(), old.st_uid, old.st_gid);
}

// Gives the empty file open on to the settings the recovery carried over
// from the damaged file into the one open on from.
void carrySettings(sqlite3* from, sqlite3* to) {
    for (const char* pragma :
         {"encoding", "page_size", "auto_vacuum", "user_version", "application_id"})
        exec(to, std::string("PRAGMA ") + pragma + "=" +
                     quoteLiteral(queryText(from, std::string("PRAGMA ") + pragma)));
}

// Rebuilds the file open (and locked) on db from what the recovery reads,
// checks the new file and puts it in place of the old one. Raises
// RepairFailed when the new file is not sound; the old file is then untouched.
// What a rebuild had to make up goes into notes.
void rebuildFile(sqlite3* db, bool headerReadable, const std::string& path, const struct stat& old,
                 const RebuildLayout& layout, RepairNotes& notes) {
    std::optional<TempFile> copy;
    DbHandle source = headerReadable ? DbHandle() : readableCopy(db, path, copy);
    TempFile out(path, "repair", 0600);
    likeOld(out, old);
    const std::string laf = scratchName();
    sqlite3* damaged = source ? source.get() : db;
    recoverInto(damaged, path, out.path(), laf);
    // With its schema unreadable, every row lands in lost-and-found and no
    // other table is left. A catalogue's tables are then built anew, in a
    // file of their own, from its known shape and the recovered rows; a file
    // that shows none is no repair of the old one.
    std::optional<TempFile> fresh;
    {
        DbHandle rebuilt = openConnection(out.path(), SQLITE_OPEN_READWRITE);
        const bool schemaLost =
            queryText(rebuilt.get(), "SELECT count(*) FROM sqlite_schema WHERE type='table' AND "
                                     "name NOT LIKE 'lost\\_and\\_found%' ESCAPE '\\' AND name<>" +
                                         quoteLiteral(laf)) == "0";
        if (schemaLost) {
            fresh.emplace(path, "rebuilt", 0600);
            likeOld(*fresh, old);
            // One thread uses it: SQLite need not lock it for every value read.
            DbHandle empty =
                openConnection(fresh->path(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
            carrySettings(rebuilt.get(), empty.get());
            rebuilt = std::move(empty);
            // Whatever stops the rebuild, the new file is removed unread; it is
            // synced once, whole, before it replaces the old.
            exec(rebuilt.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
            exec(rebuilt.get(), "ATTACH " + quoteLiteral(out.path()) + " AS recovered");
            mapWholeFile(rebuilt.get(), out.path(), "recovered");
        }
        // The rows go back as they were; triggers ran when they were first written.
        check(sqlite3_db_config(rebuilt.get(), SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr),
              rebuilt.get(), "Cannot configure the connection");
        exec(rebuilt.get(), "BEGIN");
        if (schemaLost && !rebuildCatalogue(rebuilt.get(), "recovered", laf, layout, &notes))
            throw Error(err::RepairFailed, "The database '" + path +
                                               "' could not be repaired: none of its tables " +
                                               "could be read back. The file was left as it was.");
        if (!schemaLost)
            restoreOrphans(rebuilt.get(), damaged, laf);
        settleLostAndFound(rebuilt.get(), laf);
        exec(rebuilt.get(), "COMMIT");
        if (schemaLost)
            exec(rebuilt.get(), "DETACH recovered");
        const TempFile& result = fresh ? *fresh : out;
        // A rebuilt catalogue's indexes were all just built from its tables
        // by SQLite itself, so comparing them with the tables again would
        // check SQLite against itself; its pages and rows are still checked.
        DbHandle peer;
        if (!schemaLost)
            peer = openConnection(result.path(), SQLITE_OPEN_READONLY);
        CheckReport report =
            schemaLost ? quickCheck(rebuilt.get()) : checkDatabase(rebuilt.get(), peer.get());
        if (!report.sound())
            throw Error(err::RepairFailed,
                        "The database '" + path + "' could not be repaired: the rebuilt file " +
                            "fails the integrity check (" + report.problems.front() +
                            "). The file was left as it was.");
    }
    TempFile& result = fresh ? *fresh : out;
    syncFile(result.path());
    // A journal or log beside the old file belongs to it alone: left there,
    // SQLite would play it into the new file.
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        removeIfPresent(path + suffix);
    if (::rename(result.path().c_str(), path.c_str()) != 0)
        raiseErrno(errno, "Cannot put the repaired file in place of '" + path + "'");
    result.release();
    syncFolder(folderOf(path));
}

} // namespace

RepairNotes DBEngine::RepairDatabase(const std::string& path, const RebuildLayout& layout) {
    requireDatabaseFile(path);
    if (!looksLikeSqlite(path))
        throw Error(err::NotADatabase, "Unrecognized database format '" + path + "'.");
    if (::access(path.c_str(), R_OK | W_OK) != 0)
        raiseReadOnly(path);
    // A rebuilt file replaces the file itself, not a symbolic link to it.
    std::error_code ec;
    std::string file = std::filesystem::canonical(path, ec).string();
    if (ec)
        file = path;
    struct stat old {};
    if (::stat(file.c_str(), &old) != 0)
        raiseErrno(errno, "Cannot read '" + path + "'");

    // POSIX drops every lock a process holds on a file when any descriptor of
    // that file is closed, so the peer (which takes no locks of its own) is
    // declared first and closes only after db has released the lock.
    DbHandle peer;
    DbHandle db = openConnection(file, SQLITE_OPEN_READWRITE);
    bool readable = lockFile(db.get(), file);
    if (readable) {
        mapWholeFile(db.get(), file);
        // A file in write-ahead-log mode is checked on the locked connection
        // alone: a second connection without locks could not share its log.
        if (!walMode(db.get())) {
            peer = openConnection(fileUri(file, "mode=ro&nolock=1"),
                                  SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
            mapWholeFile(peer.get(), file);
        }
        CheckReport report = checkDatabase(db.get(), peer.get());
        if (report.sound())
            return {};
        if (!report.structural && rebuildIndexes(db.get(), report.damagedIndexes) &&
            checkDatabase(db.get(), peer.get()).sound())
            return {};
    }
    RepairNotes notes;
    rebuildFile(db.get(), readable, file, old, layout, notes);
    return notes;
}

} // namespace engine
