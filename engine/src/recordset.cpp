// Table recordsets: a streaming cursor over one table in the order of its
// current index, with Seek, moves and fields.
#include "engine.h"
#include "sqlite_handle.h"

#include <algorithm>

namespace engine {

namespace {

// A table, field or index name in a recordset's SQL, quoted as everywhere
// else. Recordsets have always refused a name holding ']' (InvalidOperation),
// and still do, whatever the quoting allows.
std::string sqlName(const std::string& name) {
    if (name.find(']') != std::string::npos)
        throw Error(err::InvalidOperation, "Invalid name '" + name + "'.");
    return quoteIdent(name);
}

} // namespace

struct Recordset::Impl {
    std::shared_ptr<Connection> conn;
    std::string table;
    std::vector<std::string> columns;
    std::string indexName;
    std::vector<std::pair<std::string, std::string>> indexColumns; // name, collation
    Stmt st;
    bool hasRow = false;
    bool eof = false;
    bool noMatch = false;
    bool open = true;

    sqlite3* db() const {
        if (!open || !conn || !conn->db)
            throw Error(err::ObjectClosed, "Object invalid or no longer set: the recordset on '" +
                                               table + "' is closed.");
        return conn->db.get();
    }

    std::string columnList() const {
        std::string out;
        for (const auto& c : columns) {
            if (!out.empty())
                out += ", ";
            out += sqlName(c);
        }
        return out;
    }

    std::string orderBy() const {
        if (indexColumns.empty())
            return " ORDER BY rowid";
        std::string out = " ORDER BY ";
        for (const auto& [name, coll] : indexColumns)
            out += sqlName(name) + " COLLATE " + coll + ", ";
        return out + "rowid";
    }

    std::string from() const {
        std::string out = " FROM " + sqlName(table);
        if (!indexName.empty())
            out += " INDEXED BY " + sqlName(indexName);
        return out;
    }

    // Steps the cursor and keeps the flags in step with it. At the end the
    // statement is reset, so that no read stays pending on the connection.
    void advance() {
        hasRow = st.step();
        if (!hasRow) {
            eof = true;
            st.rewind();
        }
    }

    void start(const std::string& where, const Variant* key) {
        sqlite3* h = db();
        st.finalize();
        hasRow = eof = noMatch = false;
        st = Stmt(h, "SELECT " + columnList() + from() + where + orderBy());
        if (key) {
            if (key->IsNull())
                st.bindNull(1);
            else if (key->IsInteger() || key->IsReal())
                st.bind(1, std::stod(key->ToText()));
            else
                st.bind(1, key->ToText());
        }
        advance();
    }

    void close() noexcept {
        if (!open)
            return;
        open = false;
        st.finalize();
        hasRow = false;
        if (conn) {
            auto& v = conn->recordsets;
            v.erase(std::remove(v.begin(), v.end(), owner), v.end());
        }
        conn.reset();
    }

    Recordset* owner = nullptr;
};

Recordset::Recordset(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {
    d_->owner = this;
    d_->conn->recordsets.push_back(this);
}

Recordset::~Recordset() {
    Close();
}

void Recordset::Close() {
    if (d_)
        d_->close();
}

bool Recordset::IsOpen() const {
    return d_ && d_->open;
}

const std::string& Recordset::TableName() const {
    return d_->table;
}

std::unique_ptr<Recordset> Database::OpenTable(const std::string& name) {
    sqlite3* h = liveConnection(conn_).db.get();
    Stmt find(h, "SELECT name FROM sqlite_schema WHERE type='table' AND name=?1");
    find.bind(1, name);
    if (!find.step())
        throw Error(err::TableNotFound,
                    "The engine cannot find the input table or query '" + name + "'.");
    auto impl = std::make_unique<Recordset::Impl>();
    impl->conn = conn_;
    impl->table = name;
    Stmt cols(h, "SELECT name FROM pragma_table_info(?1)");
    cols.bind(1, name);
    while (cols.step())
        impl->columns.push_back(cols.text(0));
    std::unique_ptr<Recordset> rs(new Recordset(std::move(impl)));
    rs->d_->start("", nullptr);
    return rs;
}

void Recordset::Index(const std::string& indexName) {
    sqlite3* h = d_->db();
    Stmt find(h, "SELECT 1 FROM sqlite_schema WHERE type='index' AND name=?1 AND tbl_name=?2");
    find.bind(1, indexName);
    find.bind(2, d_->table);
    if (!find.step())
        throw Error(err::NotAnIndex,
                    "'" + indexName + "' is not an index in table '" + d_->table + "'.");
    std::vector<std::pair<std::string, std::string>> cols;
    Stmt info(h, "SELECT name, coll, desc FROM pragma_index_xinfo(?1) WHERE key=1 ORDER BY seqno");
    info.bind(1, indexName);
    while (info.step()) {
        if (sqlite3_column_type(info.get(), 0) == SQLITE_NULL || info.integer(2) != 0)
            throw Error(err::InvalidOperation, "Index '" + indexName +
                                                   "' cannot be walked: it holds an expression "
                                                   "or a descending column.");
        cols.emplace_back(info.text(0), info.text(1));
    }
    d_->indexName = indexName;
    d_->indexColumns = std::move(cols);
    d_->start("", nullptr);
}

const std::string& Recordset::Index() const {
    return d_->indexName;
}

void Recordset::Seek(const std::string& comparison, const Variant& key) {
    d_->db();
    if (d_->indexColumns.empty())
        throw Error(err::InvalidOperation, "Seek needs an index: set the recordset's Index first.");
    if (comparison != ">" && comparison != ">=" && comparison != "=")
        throw Error(err::InvalidOperation,
                    "Seek comparison '" + comparison + "' is not supported; use >, >= or =.");
    const auto& [col, coll] = d_->indexColumns.front();
    std::string lhs = sqlName(col) + " COLLATE " + coll;
    std::string op = comparison == "=" ? ">=" : comparison;
    d_->start(" WHERE " + lhs + " " + op + " ?1", &key);
    if (d_->hasRow && comparison == "=") {
        // The first row at or after the key matches only when it equals it
        // in the index's collation.
        auto at = std::find(d_->columns.begin(), d_->columns.end(), col) - d_->columns.begin();
        Stmt eq(d_->db(), "SELECT ?1 = ?2 COLLATE " + coll);
        eq.bindColumn(1, d_->st, int(at));
        if (key.IsText())
            eq.bind(2, key.ToText());
        else if (!key.IsNull())
            eq.bind(2, std::stod(key.ToText()));
        eq.step();
        if (eq.integer(0) != 1) {
            d_->hasRow = false;
            d_->st.rewind();
        }
    }
    d_->noMatch = !d_->hasRow;
    // After a failed seek there is no current record; EOF stays as it was not
    // reached by a move.
    if (d_->noMatch)
        d_->eof = false;
}

bool Recordset::NoMatch() const {
    d_->db();
    return d_->noMatch;
}

bool Recordset::Eof() const {
    d_->db();
    return d_->eof;
}

void Recordset::MoveFirst() {
    d_->start("", nullptr);
    if (!d_->hasRow)
        throw Error(err::NoCurrentRecord, "No current record: table '" + d_->table + "' is empty.");
}

void Recordset::MoveNext() {
    d_->db();
    if (!d_->hasRow)
        throw Error(err::NoCurrentRecord, "No current record.");
    d_->advance();
}

int FieldCollection::Count() const {
    rs_->d_->db();
    return static_cast<int>(rs_->d_->columns.size());
}

Field FieldCollection::Item(int position) const {
    rs_->d_->db();
    if (position < 0 || position >= static_cast<int>(rs_->d_->columns.size()))
        throw Error(err::ItemNotFound, "Item not found in this collection: field " +
                                           std::to_string(position) + " of table '" +
                                           rs_->d_->table + "'.");
    return Field(rs_, position);
}

Field FieldCollection::Item(const std::string& name) const {
    rs_->d_->db();
    const auto& cols = rs_->d_->columns;
    auto it = std::find(cols.begin(), cols.end(), name);
    if (it == cols.end())
        throw Error(err::ItemNotFound, "Item not found in this collection: table '" +
                                           rs_->d_->table + "' has no field '" + name + "'.");
    return Field(rs_, static_cast<int>(it - cols.begin()));
}

const std::string& Field::Name() const {
    rs_->d_->db();
    return rs_->d_->columns.at(static_cast<size_t>(pos_));
}

Variant Field::Value() const {
    const auto& d = *rs_->d_;
    d.db();
    if (!d.hasRow)
        throw Error(err::NoCurrentRecord, "No current record.");
    sqlite3_stmt* st = d.st.get();
    switch (sqlite3_column_type(st, pos_)) {
    case SQLITE_NULL:
        return Variant();
    case SQLITE_INTEGER:
        return Variant(static_cast<std::int64_t>(sqlite3_column_int64(st, pos_)));
    case SQLITE_FLOAT:
        return Variant(sqlite3_column_double(st, pos_));
    default:
        return Variant(d.st.text(pos_));
    }
}

} // namespace engine
