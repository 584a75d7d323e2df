// Internal to the engine: RAII over SQLite's handles and the one check that
// turns a failing SQLite call into engine::Error. Only engine/ includes this.
#pragma once

#include "error.h"

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

class Recordset;

// Raises the engine's error for a failing result code rc of a call on db
// (db may be null). The error's text names what was being done.
[[noreturn]] void raise(int rc, sqlite3* db, const std::string& doing);
// The same, with SQLite's message for the failure given (sqlite3_exec's, the
// recovery's) rather than read from a connection.
[[noreturn]] void raiseMessage(int rc, const std::string& message, const std::string& doing);

// A message that SQLite hands back as a pointer, read through here: p may be
// null (a failed allocation, a message that was never set), and the text is
// absent then. Column texts are read by columnView below.
std::string sqliteText(const char* p, const std::string& absent = {});

// SQLite's message for the last failure on db (db may be null), else its
// text for result code rc; never empty.
std::string errorMessage(sqlite3* db, int rc);

// Column col of the current row of st as text: a view of SQLite's own
// bytes, valid until the statement moves on, or a copy; empty for a Null.
std::string_view columnView(sqlite3_stmt* st, int col);
inline std::string columnText(sqlite3_stmt* st, int col) {
    return std::string(columnView(st, col));
}

// Returns rc when it is SQLITE_OK, SQLITE_ROW or SQLITE_DONE; raises otherwise.
inline int check(int rc, sqlite3* db, const std::string& doing) {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
        raise(rc, db, doing);
    return rc;
}

// True for the result codes of a damaged file.
inline bool isDamage(int rc) {
    rc &= 0xff;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

// The engine number for a SQLite result code.
long errorNumber(int rc);

// An open SQLite connection; closes it in its destructor.
class DbHandle {
public:
    DbHandle() = default;
    explicit DbHandle(sqlite3* db) : db_(db) {}
    ~DbHandle() { close(); }
    DbHandle(DbHandle&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
    DbHandle& operator=(DbHandle&& o) noexcept {
        if (this != &o) {
            close();
            db_ = o.db_;
            o.db_ = nullptr;
        }
        return *this;
    }
    DbHandle(const DbHandle&) = delete;
    DbHandle& operator=(const DbHandle&) = delete;
    sqlite3* get() const noexcept { return db_; }
    explicit operator bool() const noexcept { return db_ != nullptr; }
    // Closes the connection (it lingers until its last statement is finalized).
    void close() noexcept {
        if (db_)
            sqlite3_close_v2(db_);
        db_ = nullptr;
    }

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement; finalized in its destructor. The engine's one owner
// of a statement: an empty one (made so, moved from, or refused by
// tryPrepare) holds none.
class Stmt {
public:
    Stmt() = default;
    // Prepares sql on db; raises on failure. tail, when given, receives the
    // unparsed rest of sql.
    Stmt(sqlite3* db, const std::string& sql, const char** tail = nullptr);
    // Prepares sql on db for a caller that sorts the failures itself (damage
    // is a finding there): SQLite's result code goes to rc, and the statement
    // is empty unless it is SQLITE_OK. Raises nothing.
    static Stmt tryPrepare(sqlite3* db, const std::string& sql, int& rc);
    ~Stmt() { finalize(); }
    Stmt(Stmt&& o) noexcept : st_(o.st_), db_(o.db_) { o.st_ = nullptr; }
    Stmt& operator=(Stmt&& o) noexcept {
        if (this != &o) {
            finalize();
            st_ = o.st_;
            db_ = o.db_;
            o.st_ = nullptr;
        }
        return *this;
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    sqlite3_stmt* get() const noexcept { return st_; }
    explicit operator bool() const noexcept { return st_ != nullptr; }
    // Destroys the statement; the wrapper is empty afterwards.
    void finalize() noexcept {
        if (st_)
            sqlite3_finalize(st_);
        st_ = nullptr;
    }
    // Puts the statement back before its first row (sqlite3_reset), keeping
    // its bound values, so that it can run again and holds no read open.
    void rewind() noexcept {
        if (st_)
            sqlite3_reset(st_);
    }
    // Steps once; true while a row is there. Raises on failure.
    bool step();
    // Steps once for a caller that reads damage as a finding: returns
    // SQLITE_ROW, SQLITE_DONE or a damage code; raises anything else, with
    // doing as its text.
    int stepOrDamage(const std::string& doing) {
        int rc = sqlite3_step(st_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE && !isDamage(rc))
            raise(rc, db_, doing);
        return rc;
    }
    // Parameter i (from 1) takes a value; each raises when SQLite refuses.
    void bind(int i, const std::string& text);
    void bind(int i, long long v);
    void bind(int i, double v);
    void bindNull(int i);
    void bindBlob(int i, const void* bytes, int size);
    // Parameter i takes column col of the current row of from, type and all.
    void bindColumn(int i, const Stmt& from, int col);
    std::string text(int col) const;
    long long integer(int col) const;
    bool isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    sqlite3* db() const noexcept { return db_; }

private:
    // SQLite's result code for preparing sql on db into this statement.
    int prepare(sqlite3* db, const std::string& sql, const char** tail);

    sqlite3_stmt* st_ = nullptr;
    sqlite3* db_ = nullptr;
};

// Prepares sql on db, which must be exactly one statement: raises SqlSyntax
// for none, ExtraCharacters for anything but blanks and semicolons after it,
// and what SQLite raises.
Stmt prepareOne(sqlite3* db, const std::string& sql);

// Runs SQL that returns no rows (several statements allowed); raises on failure.
void exec(sqlite3* db, const std::string& sql);
// The first column of the first row of a query, as text ("" when there is none).
std::string queryText(sqlite3* db, const std::string& sql);

// A SQL string literal in single quotes.
std::string quoteLiteral(const std::string& text);
// A SQL identifier in double quotes (any name, double quotes doubled).
std::string quoteIdent(const std::string& name);

// The first of SQLite's names for the rowid (rowid, _rowid_, oid) that none
// of columns hides, compared as SQLite compares names; empty when all are.
std::string rowidAlias(const std::vector<std::string>& columns);

// The open connection behind a Database and its recordsets.
struct Connection {
    DbHandle db;
    std::string path;
    std::vector<Recordset*> recordsets; // open recordsets, closed with the database
};

// The connection c, still open; raises ObjectClosed when it is not.
Connection& liveConnection(const std::shared_ptr<Connection>& c);

// The errors for a database file that another program holds, and for one
// that cannot be written.
[[noreturn]] void raiseInUse(const std::string& path);
[[noreturn]] void raiseReadOnly(const std::string& path);

// The checks on a database path that SQLite answers vaguely or not at all:
// raises NotValidPath (empty, a folder, not a regular file), CannotFindFile
// (SQLite would create it) and NotADatabase for an empty file (SQLite would
// take it for a new database).
void requireDatabaseFile(const std::string& path);

// Opens a plain connection on name (a path, or a file: URI where flags allow
// it) with extended result codes; raises when SQLite refuses, the text
// being doing and the name.
DbHandle openConnection(const std::string& name, int flags,
                        const std::string& doing = "Cannot open");

// Opens path with SQLite and reads its schema, so that a file that is no
// database, or one held by another process, fails here and not later.
// The checks on the path itself (missing, folder, empty) come first.
DbHandle openFile(const std::string& path, bool readOnly, bool exclusive);

// SQLite's lock bytes (see os_unix.c): PENDING, RESERVED, then SHARED_SIZE bytes.
constexpr long long lockPendingByte = 0x40000000;
constexpr long long lockSharedSize = 510;

} // namespace engine
