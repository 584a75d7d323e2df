// Prepared queries with bound parameters.
#include "query.h"

#include "engine.h"
#include "sqlite_handle.h"

#include <cctype>

namespace engine {

struct Query::Impl {
    std::shared_ptr<Connection> conn; // keeps the handle alive while the statement lives
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;

    ~Impl() {
        if (st)
            sqlite3_finalize(st);
    }
};

Query::Query(Database& db, const std::string& sql) : d_(std::make_unique<Impl>()) {
    if (!db.conn_ || !db.conn_->db)
        throw Error(err::ObjectClosed, "Object invalid or no longer set: the database is closed.");
    d_->conn = db.conn_;
    d_->db = db.conn_->db.get();
    const char* tail = nullptr;
    int rc =
        sqlite3_prepare_v2(d_->db, sql.c_str(), static_cast<int>(sql.size()) + 1, &d_->st, &tail);
    if (rc != SQLITE_OK)
        raise(rc, d_->db, "Cannot prepare statement");
    if (!d_->st)
        throw Error(err::SqlSyntax, "Invalid SQL statement: the statement is empty.");
    for (; tail && *tail; ++tail)
        if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';')
            throw Error(err::ExtraCharacters, "Characters found after end of SQL statement.");
}

Query::~Query() = default;

Query& Query::Bind(int parameter, long long value) {
    check(sqlite3_bind_int64(d_->st, parameter, value), d_->db, "Cannot bind value");
    return *this;
}

Query& Query::Bind(int parameter, const std::string& text) {
    check(sqlite3_bind_text(d_->st, parameter, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT),
          d_->db, "Cannot bind value");
    return *this;
}

Query& Query::BindBlob(int parameter, const std::vector<unsigned char>& bytes) {
    // An empty blob is still a blob, not a Null.
    static const unsigned char none = 0;
    check(sqlite3_bind_blob(d_->st, parameter, bytes.empty() ? &none : bytes.data(),
                            static_cast<int>(bytes.size()), SQLITE_TRANSIENT),
          d_->db, "Cannot bind value");
    return *this;
}

Query& Query::BindNull(int parameter) {
    check(sqlite3_bind_null(d_->st, parameter), d_->db, "Cannot bind value");
    return *this;
}

bool Query::Step() {
    if (!d_->conn->db)
        throw Error(err::ObjectClosed, "Object invalid or no longer set: the database is closed.");
    int rc = sqlite3_step(d_->st);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE) {
        // Leave no read pending on the connection.
        sqlite3_reset(d_->st);
        return false;
    }
    // sqlite3_reset hands back the same error; the message stays on the handle.
    sqlite3_reset(d_->st);
    raise(rc, d_->db, "");
}

long long Query::Run() {
    while (Step()) {
    }
    return sqlite3_changes64(d_->db);
}

void Query::Rewind() noexcept {
    sqlite3_reset(d_->st);
}

int Query::ColumnCount() const {
    return sqlite3_column_count(d_->st);
}

bool Query::IsNull(int column) const {
    return sqlite3_column_type(d_->st, column) == SQLITE_NULL;
}

long long Query::Integer(int column) const {
    return sqlite3_column_int64(d_->st, column);
}

std::string Query::Text(int column) const {
    const auto* p = sqlite3_column_text(d_->st, column);
    const int n = sqlite3_column_bytes(d_->st, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
             : std::string();
}

std::vector<unsigned char> Query::Blob(int column) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(d_->st, column));
    const int n = sqlite3_column_bytes(d_->st, column);
    return p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>();
}

Variant Query::Value(int column) const {
    switch (sqlite3_column_type(d_->st, column)) {
    case SQLITE_NULL:
        return Variant();
    case SQLITE_INTEGER:
        return Variant(static_cast<std::int64_t>(sqlite3_column_int64(d_->st, column)));
    case SQLITE_FLOAT:
        return Variant(sqlite3_column_double(d_->st, column));
    case SQLITE_TEXT:
        return Variant(Text(column));
    default:
        throw Error(err::TypeMismatch, "Type mismatch: the value is binary data.");
    }
}

} // namespace engine
