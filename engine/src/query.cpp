// Prepared queries with bound parameters.
#include "query.h"

#include "engine.h"
#include "sqlite_handle.h"

namespace engine {

std::string QuoteName(const std::string& name) {
    return quoteIdent(name);
}

struct Query::Impl {
    std::shared_ptr<Connection> conn; // keeps the handle alive while the statement lives
    Stmt st;
};

Query::Query(Database& db, const std::string& sql) : d_(std::make_unique<Impl>()) {
    d_->conn = db.conn_;
    d_->st = prepareOne(liveConnection(d_->conn).db.get(), sql);
}

Query::~Query() = default;

Query& Query::Bind(int parameter, long long value) {
    d_->st.bind(parameter, value);
    return *this;
}

Query& Query::Bind(int parameter, const std::string& text) {
    d_->st.bind(parameter, text);
    return *this;
}

Query& Query::BindBlob(int parameter, const std::vector<unsigned char>& bytes) {
    d_->st.bindBlob(parameter, bytes.data(), static_cast<int>(bytes.size()));
    return *this;
}

Query& Query::BindNull(int parameter) {
    d_->st.bindNull(parameter);
    return *this;
}

bool Query::Step() {
    liveConnection(d_->conn);
    try {
        if (d_->st.step())
            return true;
    } catch (...) {
        d_->st.rewind();
        throw;
    }
    // Leave no read pending on the connection.
    d_->st.rewind();
    return false;
}

long long Query::Run() {
    while (Step()) {
    }
    return sqlite3_changes64(d_->st.db());
}

void Query::Rewind() noexcept {
    d_->st.rewind();
}

int Query::ColumnCount() const {
    return sqlite3_column_count(d_->st.get());
}

bool Query::IsNull(int column) const {
    return sqlite3_column_type(d_->st.get(), column) == SQLITE_NULL;
}

long long Query::Integer(int column) const {
    return sqlite3_column_int64(d_->st.get(), column);
}

std::string Query::Text(int column) const {
    return columnText(d_->st.get(), column);
}

std::vector<unsigned char> Query::Blob(int column) const {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(d_->st.get(), column));
    const int n = sqlite3_column_bytes(d_->st.get(), column);
    return p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>();
}

} // namespace engine
