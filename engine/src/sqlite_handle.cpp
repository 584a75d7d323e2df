// The engine's one error path, statement helpers and the checked opening of a file.
#include "sqlite_handle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>

namespace engine {

long errorNumber(int rc) {
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return err::FileInUse;
    case SQLITE_CORRUPT:
        return err::CannotOpenDatabase;
    case SQLITE_NOTADB:
        return err::NotADatabase;
    case SQLITE_CANTOPEN:
        return err::NotValidPath;
    case SQLITE_READONLY:
    case SQLITE_PERM:
        return err::ReadOnlyFile;
    case SQLITE_FULL:
    case SQLITE_IOERR:
        return err::IoFailure;
    case SQLITE_CONSTRAINT:
        return err::ConstraintViolation;
    case SQLITE_ERROR:
        return err::SqlSyntax;
    case SQLITE_MISUSE:
    case SQLITE_RANGE:
        return err::InvalidOperation;
    default:
        return err::EngineFailure;
    }
}

std::string sqliteText(const char* p, const std::string& absent) {
    return p ? std::string(p) : absent;
}

std::string errorMessage(sqlite3* db, int rc) {
    // sqlite3_errstr knows every code; the last fallback is for a code it does not.
    std::string fallback = sqliteText(sqlite3_errstr(rc), "unknown error");
    std::string text = db ? sqliteText(sqlite3_errmsg(db), fallback) : fallback;
    return text.empty() ? fallback : text;
}

std::string_view columnView(sqlite3_stmt* st, int col) {
    const unsigned char* p = sqlite3_column_text(st, col);
    if (!p)
        return {};
    // The length is asked for after the text, which it then describes.
    return {reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, col))};
}

void raiseMessage(int rc, const std::string& message, const std::string& doing) {
    std::string text = doing;
    if (!text.empty())
        text += ": ";
    text += message;
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        text += " (the file is in use by another program)";
    throw Error(errorNumber(rc), text);
}

void raise(int rc, sqlite3* db, const std::string& doing) {
    raiseMessage(rc, errorMessage(db, rc), doing);
}

int Stmt::prepare(sqlite3* db, const std::string& sql, const char** tail) {
    db_ = db;
    const char* t = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &st_, &t);
    if (rc != SQLITE_OK)
        finalize();
    else if (tail)
        *tail = t;
    return rc;
}

Stmt::Stmt(sqlite3* db, const std::string& sql, const char** tail) {
    if (int rc = prepare(db, sql, tail); rc != SQLITE_OK)
        raise(rc, db, "Cannot prepare statement");
}

Stmt Stmt::tryPrepare(sqlite3* db, const std::string& sql, int& rc) {
    Stmt st;
    rc = st.prepare(db, sql, nullptr);
    return st;
}

bool Stmt::step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    raise(rc, db_, "");
}

void Stmt::bind(int i, const std::string& text) {
    check(sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT),
          db_, "Cannot bind value");
}

void Stmt::bind(int i, long long v) {
    check(sqlite3_bind_int64(st_, i, v), db_, "Cannot bind value");
}

void Stmt::bind(int i, double v) {
    check(sqlite3_bind_double(st_, i, v), db_, "Cannot bind value");
}

void Stmt::bindNull(int i) {
    check(sqlite3_bind_null(st_, i), db_, "Cannot bind value");
}

void Stmt::bindBlob(int i, const void* bytes, int size) {
    // An empty blob is still a blob, not a Null.
    static const unsigned char none = 0;
    check(sqlite3_bind_blob(st_, i, size == 0 ? &none : bytes, size, SQLITE_TRANSIENT), db_,
          "Cannot bind value");
}

void Stmt::bindColumn(int i, const Stmt& from, int col) {
    check(sqlite3_bind_value(st_, i, sqlite3_column_value(from.st_, col)), db_,
          "Cannot bind value");
}

std::string Stmt::text(int col) const {
    return columnText(st_, col);
}

long long Stmt::integer(int col) const {
    return sqlite3_column_int64(st_, col);
}

Stmt prepareOne(sqlite3* db, const std::string& sql) {
    const char* tail = nullptr;
    Stmt st(db, sql, &tail);
    if (!st)
        throw Error(err::SqlSyntax, "Invalid SQL statement: the statement is empty.");
    for (; tail && *tail; ++tail)
        if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';')
            throw Error(err::ExtraCharacters, "Characters found after end of SQL statement.");
    return st;
}

void exec(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        std::string text = sqliteText(msg, errorMessage(nullptr, rc));
        sqlite3_free(msg);
        raiseMessage(rc, text, "");
    }
}

std::string queryText(sqlite3* db, const std::string& sql) {
    Stmt st(db, sql);
    if (!st.step())
        return {};
    return st.text(0);
}

namespace {

std::string enclose(const std::string& text, char quote) {
    std::string out(1, quote);
    for (char c : text) {
        out += c;
        if (c == quote)
            out += quote;
    }
    return out + quote;
}

} // namespace

std::string quoteLiteral(const std::string& text) {
    return enclose(text, '\'');
}

std::string quoteIdent(const std::string& name) {
    return enclose(name, '"');
}

std::string rowidAlias(const std::vector<std::string>& columns) {
    for (const char* alias : {"rowid", "_rowid_", "oid"}) {
        bool hidden = false;
        for (const auto& c : columns)
            hidden = hidden || sqlite3_stricmp(c.c_str(), alias) == 0;
        if (!hidden)
            return alias;
    }
    return {};
}

Connection& liveConnection(const std::shared_ptr<Connection>& c) {
    if (!c || !c->db)
        throw Error(err::ObjectClosed, "Object invalid or no longer set: the database is closed.");
    return *c;
}

void raiseInUse(const std::string& path) {
    throw Error(err::FileInUse,
                "Could not use '" + path + "'; file already in use by another program.");
}

void raiseReadOnly(const std::string& path) {
    throw Error(err::ReadOnlyFile, "The database '" + path + "' is read-only.");
}

void requireDatabaseFile(const std::string& path) {
    if (path.empty())
        throw Error(err::NotValidPath, "'' is not a valid path.");
    struct stat sb {};
    if (::stat(path.c_str(), &sb) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw Error(err::CannotFindFile, "Could not find file '" + path + "'.");
        throw Error(err::NotValidPath,
                    "'" + path + "' cannot be used: " + std::string(std::strerror(errno)) + ".");
    }
    if (S_ISDIR(sb.st_mode))
        throw Error(err::NotValidPath, "'" + path + "' is a folder, not a database file.");
    if (!S_ISREG(sb.st_mode))
        throw Error(err::NotValidPath, "'" + path + "' is not a regular file.");
    if (sb.st_size == 0)
        throw Error(err::NotADatabase,
                    "Unrecognized database format '" + path + "': the file is empty.");
}

namespace {

// What SQLite would answer vaguely or not at all, and a file that does not
// begin as a SQLite database.
void checkPath(const std::string& path) {
    requireDatabaseFile(path);
    std::ifstream in(path, std::ios::binary);
    char magic[16] = {};
    in.read(magic, sizeof magic);
    if (!in || std::memcmp(magic, "SQLite format 3", 16) != 0)
        throw Error(err::NotADatabase, "Unrecognized database format '" + path + "'.");
}

// Raises again, in the opening's words, what SQLite raised while path was
// being opened.
[[noreturn]] void openRefused(const Error& e, const std::string& path) {
    if (e.Number() == err::FileInUse)
        raiseInUse(path);
    throw Error(e.Number(), "Cannot open '" + path + "': " + e.Text());
}

} // namespace

DbHandle openConnection(const std::string& name, int flags, const std::string& doing) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(name.c_str(), &raw,
                             flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE, nullptr);
    DbHandle h(raw);
    check(rc, raw, doing + " '" + name + "'");
    sqlite3_extended_result_codes(raw, 1);
    return h;
}

DbHandle openFile(const std::string& path, bool readOnly, bool exclusive) {
    checkPath(path);
    if (exclusive && !readOnly && ::access(path.c_str(), W_OK) != 0)
        raiseReadOnly(path);
    DbHandle h = openConnection(path, readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    sqlite3* raw = h.get();
    if (exclusive) {
        exec(raw, "PRAGMA locking_mode=EXCLUSIVE");
        // The lock is taken by the first write; an empty immediate-then-
        // exclusive transaction takes it now and keeps it until close.
        try {
            exec(raw, "BEGIN EXCLUSIVE; COMMIT;");
        } catch (const Error& e) {
            openRefused(e, path);
        }
        // In WAL mode the exclusive write lock stays on the write-ahead log;
        // reading the schema below keeps readers out too.
    }
    try {
        queryText(raw, "SELECT count(*) FROM sqlite_schema");
    } catch (const Error& e) {
        openRefused(e, path);
    }
    return h;
}

} // namespace engine
