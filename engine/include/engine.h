// The database engine boundary: the engine object, open databases, table
// recordsets and their fields. Everything here raises engine::Error on failure;
// no operation shows anything.
#pragma once

#include "error.h"
#include "variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {

struct Connection; // the open SQLite handle and what hangs off it
class Recordset;

// Compaction options, summed.
namespace opt {
constexpr long Decrypt = 4;
constexpr long Version20 = 16; // schema format 1: every SQLite 3 reader opens it
constexpr long Version40 = 64; // the engine's current schema format (4)
} // namespace opt

// The only destination locale a compaction accepts: the general sort order.
inline constexpr const char* GeneralLocale = ";LANGID=0x0409;CP=1252;COUNTRY=0";

// One open database file.
class Database {
public:
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one SQL statement; it has taken effect when this returns (inside a
    // transaction: when the transaction commits). Square-bracketed names and
    // "DELETE * FROM" are accepted. Raises SqlSyntax, ExtraCharacters for a
    // second statement, and the engine's error for any failure.
    void Execute(const std::string& sql);
    // Rows changed by the last Execute.
    long long RecordsAffected() const;

    // A table recordset on the named table, on its first record in rowid
    // order (EOF on an empty table). Raises TableNotFound.
    std::unique_ptr<Recordset> OpenTable(const std::string& name);

    // Names of the database's tables, in the order of the schema.
    std::vector<std::string> TableNames();

    // Transactions. Rollback and CommitTrans without BeginTrans raise.
    void BeginTrans();
    void CommitTrans();
    void Rollback();
    bool InTransaction() const;

    // Closes the recordsets opened on it, then the file; the file is released
    // at once. Closing twice is harmless.
    void Close();
    bool IsOpen() const;
    const std::string& Name() const;

private:
    friend class DBEngine;
    friend class Query;
    explicit Database(std::shared_ptr<Connection> c);
    std::shared_ptr<Connection> conn_;
    long long affected_ = 0;
};

// Rolls back in its destructor unless Commit was called.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Database& db_;
    bool done_ = false;
};

// A field of a recordset: its name and the value in the current record.
class Field {
public:
    const std::string& Name() const;
    // Raises NoCurrentRecord when the recordset has no current record.
    Variant Value() const;

private:
    friend class FieldCollection;
    Field(const Recordset* rs, int pos) : rs_(rs), pos_(pos) {}
    const Recordset* rs_;
    int pos_;
};

class FieldCollection {
public:
    int Count() const;
    // By 0-based position or by name (exact, case-sensitive); raises ItemNotFound.
    Field Item(int position) const;
    Field Item(const std::string& name) const;

private:
    friend class Recordset;
    explicit FieldCollection(const Recordset* rs) : rs_(rs) {}
    const Recordset* rs_;
};

// A cursor over one table in the order of its current index. It streams: rows
// are read as the cursor moves, never loaded whole.
class Recordset {
public:
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    // Sets the current index (by its name, exact) and moves to the first
    // record in its order. Raises NotAnIndex when the table has no such index.
    void Index(const std::string& indexName);
    const std::string& Index() const;

    // Seek with comparison ">", ">=" or "=" on the first key of the current
    // index: ">" makes the current record the first whose key sorts after
    // the key in the index's order (Null keys sort first), "=" the first that
    // equals it in the index's collation. Sets NoMatch when there is none.
    // Raises InvalidOperation without an index or for any other comparison.
    void Seek(const std::string& comparison, const Variant& key);
    bool NoMatch() const;
    bool Eof() const;

    // Raises NoCurrentRecord on an empty table (MoveFirst) or past the end (MoveNext).
    void MoveFirst();
    void MoveNext();

    FieldCollection Fields() const { return FieldCollection(this); }

    // Releases the cursor. Closing twice is harmless; any use afterwards raises ObjectClosed.
    void Close();
    bool IsOpen() const;
    const std::string& TableName() const;

private:
    friend class Database;
    friend class Field;
    friend class FieldCollection;
    struct Impl;
    explicit Recordset(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d_;
};

// An advisory hold on a database file for a whole run, in SQLite's own lock
// bytes: while it is held no SQLite connection, in any process, reads or
// writes the file. Released by its destructor.
class FileLock {
public:
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    void Release() noexcept;

private:
    friend class DBEngine;
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// What a rebuild after a lost schema must know of a kind of file: the names
// its format gives a few tables and fields, and how those tables refer to
// each other, by which the recovered b-trees are told apart whatever other
// fields they hold; and the indexes to build on them where the file's own
// did not survive. Lookups are listed in the order their references stand
// in the item table.
struct RebuildLayout {
    struct Index {
        std::string field; // the field it needs
        std::string sql;   // the statement that creates it
    };
    struct Lookup {
        std::string table, codeField, nameField;
        std::vector<std::string> references; // item fields that name its codes, in order
        std::vector<Index> indexes;
    };
    std::string items; // the item table, found by its references
    std::vector<Index> itemIndexes;
    std::vector<Lookup> lookups;
    std::string info;        // the table whose row of least rowid holds the marker
    std::string markerField; // the field that holds it
    std::string marker;      // what that field starts with
};

// What a repair had to make up: the tables it rebuilt with field names of
// its own, because no record of the file's own names survived, each with
// its fields as they now are.
struct RepairNotes {
    struct Named {
        std::string table;
        std::vector<std::string> fields;
    };
    std::vector<Named> named;
};

// The engine object: one per process.
class DBEngine {
public:
    // Opens a database file for reading and writing. Exclusive: no other
    // connection, in this or any other process, can open or read the file
    // until it is closed. Raises CannotFindFile, NotValidPath (a folder),
    // NotADatabase (empty or not SQLite), FileInUse (held by another
    // process), ReadOnlyFile (file or folder not writable, exclusive only).
    std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive = false,
                                           bool readOnly = false);

    // Creates a new, empty database file. Raises DatabaseExists.
    std::unique_ptr<Database> CreateDatabase(const std::string& path);

    // Repairs the file in place: a sound file is left untouched, damaged
    // indexes are rebuilt, anything worse is rebuilt from what SQLite's
    // recovery reads, without rows from freed pages. A file whose schema is
    // lost is rebuilt with what layout tells of its tables; without one it is
    // refused. Returns what the rebuild had to make up. Raises FileInUse,
    // NotADatabase, RepairFailed and the engine's errors.
    RepairNotes RepairDatabase(const std::string& path, const RebuildLayout& layout = {});

    // Writes a compacted copy of source at destination, which must not exist
    // (DatabaseExists). Options: Version40, Version20 (exclusive of each
    // other), Decrypt. The locale must be GeneralLocale (BadLocale). The copy
    // is checked and synced before it appears at destination.
    void CompactDatabase(const std::string& source, const std::string& destination,
                         const std::string& locale, long options);

    // Settles the file (a hot journal rolled back, a write-ahead log folded
    // in, where SQLite can open it), then holds it against every other user.
    // Raises FileNotFound, FileInUse, ReadOnlyFile.
    std::unique_ptr<FileLock> LockDatabase(const std::string& path);

    // The version of the SQLite library behind the engine, as it names
    // itself at run time ("3.40.1"). Raises nothing.
    std::string Version() const;

private:
    friend DBEngine& DatabaseEngine();
    DBEngine();
};

// The process's engine object, created on first use.
DBEngine& DatabaseEngine();

} // namespace engine
