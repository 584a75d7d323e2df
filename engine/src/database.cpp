// The engine object, opening and creating databases, Execute and transactions.
#include "engine.h"
#include "sqlite_handle.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace engine {

namespace {

void tune(sqlite3* db) {
    // A larger page cache keeps the index pages of a million-item table in
    // memory while a combine re-points references.
    exec(db, "PRAGMA cache_size=-65536");
}

// Accepts the engine's DELETE form "DELETE * FROM": SQLite takes no column list there.
std::string normalise(const std::string& sql) {
    size_t i = 0;
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i])))
        ++i;
    static const std::string del = "DELETE";
    if (sql.size() - i < del.size())
        return sql;
    for (size_t k = 0; k < del.size(); ++k)
        if (std::toupper(static_cast<unsigned char>(sql[i + k])) != del[k])
            return sql;
    size_t j = i + del.size();
    if (j < sql.size() && !std::isspace(static_cast<unsigned char>(sql[j])))
        return sql;
    while (j < sql.size() && std::isspace(static_cast<unsigned char>(sql[j])))
        ++j;
    if (j < sql.size() && sql[j] == '*')
        return sql.substr(0, j) + sql.substr(j + 1);
    return sql;
}

} // namespace

DBEngine::DBEngine() {
    sqlite3_initialize();
}

std::string DBEngine::Version() const {
    return sqliteText(sqlite3_libversion(), "unknown");
}

DBEngine& DatabaseEngine() {
    static DBEngine engine;
    return engine;
}

std::unique_ptr<Database> DBEngine::OpenDatabase(const std::string& path, bool exclusive,
                                                 bool readOnly) {
    auto c = std::make_shared<Connection>();
    c->db = openFile(path, readOnly, exclusive);
    c->path = path;
    tune(c->db.get());
    return std::unique_ptr<Database>(new Database(std::move(c)));
}

std::unique_ptr<Database> DBEngine::CreateDatabase(const std::string& path) {
    struct stat sb {};
    if (::lstat(path.c_str(), &sb) == 0)
        throw Error(err::DatabaseExists, "Database '" + path + "' already exists.");
    DbHandle h = openConnection(
        path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE, "Cannot create");
    // Write the header now, so that the file is a database from the start.
    exec(h.get(), "PRAGMA user_version=0; BEGIN; CREATE TABLE engine_create_probe(x); "
                  "DROP TABLE engine_create_probe; COMMIT;");
    auto c = std::make_shared<Connection>();
    c->db = std::move(h);
    c->path = path;
    tune(c->db.get());
    return std::unique_ptr<Database>(new Database(std::move(c)));
}

Database::Database(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}

Database::~Database() {
    Close();
}

void Database::Execute(const std::string& sql) {
    Connection& c = liveConnection(conn_);
    Stmt st = prepareOne(c.db.get(), normalise(sql));
    if (sqlite3_column_count(st.get()) > 0 && sqlite3_stmt_readonly(st.get()))
        throw Error(err::InvalidOperation, "Cannot execute a select query.");
    while (st.step()) {
    }
    affected_ = sqlite3_changes64(c.db.get());
}

long long Database::RecordsAffected() const {
    return affected_;
}

std::vector<std::string> Database::TableNames() {
    Connection& c = liveConnection(conn_);
    Stmt st(c.db.get(), "SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE "
                        "'sqlite\\_%' ESCAPE '\\' ORDER BY rowid");
    std::vector<std::string> out;
    while (st.step())
        out.push_back(st.text(0));
    return out;
}

void Database::BeginTrans() {
    exec(liveConnection(conn_).db.get(), "BEGIN");
}

void Database::CommitTrans() {
    Connection& c = liveConnection(conn_);
    if (sqlite3_get_autocommit(c.db.get()))
        throw Error(err::InvalidOperation, "Commit without a transaction.");
    exec(c.db.get(), "COMMIT");
}

void Database::Rollback() {
    Connection& c = liveConnection(conn_);
    if (sqlite3_get_autocommit(c.db.get()))
        throw Error(err::InvalidOperation, "Rollback without a transaction.");
    exec(c.db.get(), "ROLLBACK");
}

bool Database::InTransaction() const {
    return conn_ && conn_->db && !sqlite3_get_autocommit(conn_->db.get());
}

void Database::Close() {
    if (!conn_ || !conn_->db)
        return;
    // Closing a recordset unregisters it; work on a copy.
    auto open = conn_->recordsets;
    for (Recordset* rs : open)
        rs->Close();
    if (!sqlite3_get_autocommit(conn_->db.get()))
        sqlite3_exec(conn_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    conn_->db.close();
}

bool Database::IsOpen() const {
    return conn_ && conn_->db;
}

const std::string& Database::Name() const {
    static const std::string none;
    return conn_ ? conn_->path : none;
}

Transaction::Transaction(Database& db) : db_(db) {
    db_.BeginTrans();
}

Transaction::~Transaction() {
    if (done_)
        return;
    try {
        if (db_.InTransaction())
            db_.Rollback();
    } catch (...) {
        // A destructor never throws; the connection rolls back on close anyway.
    }
}

void Transaction::Commit() {
    db_.CommitTrans();
    done_ = true;
}

} // namespace engine
