// Evidence that an orphaned row was live: a readable index of its table holds
// its key and fields, or its rowid lies in a part of the table's b-tree that
// the damage cut off. A row on a page freed before the damage has neither: its
// index entries went with it, and a readable leaf now covers its key range.
#include "evidence.h"

#include <vector>

namespace engine {

namespace {

// Prepares sql on db; empty when SQLite refuses it for damage (or because an
// index cannot serve it). Raises anything else.
Stmt prepareOrEmpty(sqlite3* db, const std::string& sql) {
    int rc;
    Stmt st = Stmt::tryPrepare(db, sql, rc);
    if (rc != SQLITE_OK && !isDamage(rc) && (rc & 0xff) != SQLITE_ERROR)
        raise(rc, db, "Cannot read the damaged database");
    return st;
}

unsigned be16(const std::vector<unsigned char>& b, size_t at) {
    return (unsigned{b[at]} << 8) | b[at + 1];
}
unsigned be32(const std::vector<unsigned char>& b, size_t at) {
    return (be16(b, at) << 16) | be16(b, at + 2);
}

// SQLite's variable-length integer at b[at]; false when it runs past the end.
bool varint(const std::vector<unsigned char>& b, size_t at, long long& out) {
    unsigned long long v = 0;
    for (int i = 0; i < 9; ++i) {
        if (at + i >= b.size())
            return false;
        if (i == 8) {
            v = (v << 8) | b[at + i];
            break;
        }
        v = (v << 7) | (b[at + i] & 0x7f);
        if (!(b[at + i] & 0x80))
            break;
    }
    out = static_cast<long long>(v);
    return true;
}

} // namespace

LiveWitness::LiveWitness(sqlite3* source, const std::string& table,
                         const std::vector<std::string>& columns, int keyColumn) {
    if (!source)
        return;
    auto fieldOf = [&](const std::string& name) {
        for (size_t c = 0; c < columns.size(); ++c)
            if (sqlite3_stricmp(columns[c].c_str(), name.c_str()) == 0)
                return static_cast<int>(c) == keyColumn ? -1 : static_cast<int>(c);
        return -2;
    };
    const std::string rowid = keyColumn >= 0 ? quoteIdent(columns[keyColumn]) : "_rowid_";
    Stmt list = prepareOrEmpty(source, "SELECT name FROM pragma_index_list(" + quoteLiteral(table) +
                                           ") WHERE partial=0");
    std::vector<std::string> indexes;
    while (list && sqlite3_step(list.get()) == SQLITE_ROW)
        indexes.push_back(list.text(0));
    for (const auto& index : indexes) {
        Stmt info = prepareOrEmpty(source, "SELECT cid, name FROM pragma_index_info(" +
                                               quoteLiteral(index) + ")");
        Probe p;
        std::string where;
        bool usable = static_cast<bool>(info);
        while (usable && sqlite3_step(info.get()) == SQLITE_ROW) {
            int field = sqlite3_column_int(info.get(), 0) < 0 ? -2 : fieldOf(info.text(1));
            usable = field != -2;
            where +=
                quoteIdent(info.text(1)) + " IS ?" + std::to_string(p.fields.size() + 1) + " AND ";
            p.fields.push_back(field);
        }
        if (!usable || p.fields.empty())
            continue;
        p.fields.push_back(-1);
        where += rowid + " = ?" + std::to_string(p.fields.size());
        p.st = prepareOrEmpty(source, "SELECT 1 FROM main." + quoteIdent(table) + " INDEXED BY " +
                                          quoteIdent(index) + " WHERE " + where);
        if (p.st)
            probes_.push_back(std::move(p));
    }

    Stmt root = prepareOrEmpty(source, "SELECT rootpage FROM sqlite_schema WHERE type='table' "
                                       "AND name=" +
                                           quoteLiteral(table));
    Stmt size = prepareOrEmpty(source, "PRAGMA page_size");
    if (!root || !size || sqlite3_step(root.get()) != SQLITE_ROW ||
        sqlite3_step(size.get()) != SQLITE_ROW)
        return;
    sqlite3_file* file = nullptr;
    sqlite3_int64 bytes = 0;
    auto pageSize = static_cast<unsigned>(sqlite3_column_int(size.get(), 0));
    if (sqlite3_file_control(source, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file || !file->pMethods || file->pMethods->xFileSize(file, &bytes) != SQLITE_OK ||
        pageSize < 512)
        return;
    std::set<unsigned> seen;
    walk(file, pageSize, static_cast<unsigned>(bytes / pageSize),
         static_cast<unsigned>(root.integer(0)), LLONG_MIN, LLONG_MAX, 0, seen);
}

// Follows the table b-tree from page, whose keys lie in (low, high]; a child
// that is not a table page of the file leaves its whole range as a gap.
void LiveWitness::walk(sqlite3_file* file, unsigned pageSize, unsigned pages, unsigned page,
                       long long low, long long high, int depth, std::set<unsigned>& seen) {
    std::vector<unsigned char> b(pageSize);
    const size_t h = page == 1 ? 100 : 0;
    if (page < 1 || page > pages || depth > 40 || !seen.insert(page).second ||
        file->pMethods->xRead(file, b.data(), static_cast<int>(pageSize),
                              sqlite3_int64{page - 1} * pageSize) != SQLITE_OK ||
        (b[h] != 13 && b[h] != 5)) {
        gaps_.emplace_back(low, high);
        return;
    }
    if (b[h] == 13)
        return;
    unsigned cells = be16(b, h + 3);
    if (h + 12 + 2 * size_t{cells} > pageSize) {
        gaps_.emplace_back(low, high);
        return;
    }
    long long from = low;
    for (unsigned i = 0; i < cells; ++i) {
        size_t at = be16(b, h + 12 + 2 * i);
        long long key = 0;
        if (at + 4 >= pageSize || !varint(b, at + 4, key) || key < from || key > high) {
            gaps_.emplace_back(from, high);
            return;
        }
        walk(file, pageSize, pages, be32(b, at), from, key, depth + 1, seen);
        from = key;
    }
    walk(file, pageSize, pages, be32(b, h + 8), from, high, depth + 1, seen);
}

bool LiveWitness::live(long long rowid, sqlite3_stmt* row, int first) {
    for (const auto& [low, high] : gaps_)
        if (rowid > low && rowid <= high)
            return true;
    for (auto& p : probes_) {
        for (size_t i = 0; i < p.fields.size(); ++i) {
            int at = static_cast<int>(i) + 1;
            if (p.fields[i] < 0)
                sqlite3_bind_int64(p.st.get(), at, rowid);
            else
                sqlite3_bind_value(p.st.get(), at, sqlite3_column_value(row, first + p.fields[i]));
        }
        int rc = sqlite3_step(p.st.get());
        p.st.rewind();
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE && !isDamage(rc))
            raise(rc, p.st.db(), "Cannot read the damaged database");
    }
    return false;
}

} // namespace engine
