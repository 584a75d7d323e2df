// The full soundness check: SQLite's quick_check on one connection while the
// other compares every index with its table, which is the part of SQLite's
// integrity_check that costs one b-tree seek per row and index.
#include "check.h"

#include "fileops.h"
#include "sqlite_handle.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <utility>

namespace engine {

namespace {

constexpr size_t maxProblems = 20;
// Index entries held in memory at once before their table is scanned.
constexpr size_t batchBytes = size_t{256} << 20;

class Findings {
public:
    void structural(const std::string& text) {
        report_.structural = true;
        note(text);
    }
    void index(const std::string& name, const std::string& text) {
        report_.damagedIndexes.insert(name);
        note(text);
    }
    // Sorts one line of integrity_check's answer.
    void fromSqlite(const std::string& line) {
        static const char* const indexForms[] = {
            " missing from index ", "wrong # of entries in index ", "non-unique entry in index "};
        for (const char* form : indexForms) {
            size_t at = line.find(form);
            if (at != std::string::npos && line.find('\n') == std::string::npos) {
                index(line.substr(at + std::strlen(form)), line);
                return;
            }
        }
        structural(line);
    }
    void merge(const Findings& o) {
        report_.structural = report_.structural || o.report_.structural;
        report_.damagedIndexes.insert(o.report_.damagedIndexes.begin(),
                                      o.report_.damagedIndexes.end());
        for (const auto& p : o.report_.problems)
            note(p);
    }
    CheckReport take() { return std::move(report_); }

private:
    void note(const std::string& text) {
        if (report_.problems.size() < maxProblems)
            report_.problems.push_back(text);
    }
    CheckReport report_;
};

// Runs one of SQLite's check pragmas and sorts what it answers.
void pragmaCheck(sqlite3* db, const std::string& pragma, Findings& f) {
    const std::string doing = "Cannot check the database";
    int rc;
    Stmt q = Stmt::tryPrepare(db, "PRAGMA " + pragma, rc);
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return;
    }
    check(rc, db, doing);
    while ((rc = q.stepOrDamage(doing)) == SQLITE_ROW) {
        std::string line = q.text(0);
        if (line != "ok")
            f.fromSqlite(line);
    }
    if (isDamage(rc))
        f.structural(errorMessage(db, SQLITE_CORRUPT));
}

// A value read from a row or an index entry. Text and blobs live in an arena.
struct Cell {
    std::uint64_t bits = 0; // the integer, the real's bits, or the arena offset
    std::uint32_t len = 0;
    std::uint8_t type = SQLITE_NULL;
};

Cell readCell(sqlite3_stmt* st, int col, std::string& arena) {
    Cell c;
    c.type = static_cast<std::uint8_t>(sqlite3_column_type(st, col));
    switch (c.type) {
    case SQLITE_INTEGER:
        c.bits = static_cast<std::uint64_t>(sqlite3_column_int64(st, col));
        break;
    case SQLITE_FLOAT: {
        double r = sqlite3_column_double(st, col);
        std::memcpy(&c.bits, &r, sizeof r);
        break;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
        c.bits = arena.size();
        if (c.type == SQLITE_TEXT) {
            arena += columnView(st, col);
        } else if (const void* p = sqlite3_column_blob(st, col)) {
            arena.append(static_cast<const char*>(p),
                         static_cast<size_t>(sqlite3_column_bytes(st, col)));
        }
        c.len = static_cast<std::uint32_t>(arena.size() - c.bits);
        break;
    }
    default:
        break;
    }
    return c;
}

double realOf(const Cell& c) {
    double r;
    std::memcpy(&r, &c.bits, sizeof r);
    return r;
}

enum class Collation { Binary, NoCase, RTrim };

// SQLite's ordering of two values in an index column (sqlite3MemCompare with
// the built-in collations): Null, numbers, text, blobs. Values that compare
// equal (an integer and the equal real, texts equal under the collation) are
// one key to SQLite, whatever their bytes.
int compareCells(const Cell& a, const std::string& arenaA, const Cell& b, const std::string& arenaB,
                 Collation coll) {
    auto rank = [](const Cell& c) {
        switch (c.type) {
        case SQLITE_NULL:
            return 0;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            return 1;
        case SQLITE_TEXT:
            return 2;
        default:
            return 3;
        }
    };
    int ra = rank(a), rb = rank(b);
    if (ra != rb)
        return ra < rb ? -1 : 1;
    if (ra == 0)
        return 0;
    if (ra == 1) {
        if (a.type == SQLITE_INTEGER && b.type == SQLITE_INTEGER) {
            auto i = static_cast<std::int64_t>(a.bits), j = static_cast<std::int64_t>(b.bits);
            return i < j ? -1 : (i > j ? 1 : 0);
        }
        // Long double holds every 64-bit integer exactly, as SQLite relies on.
        long double x = a.type == SQLITE_INTEGER
                            ? static_cast<long double>(static_cast<std::int64_t>(a.bits))
                            : realOf(a);
        long double y = b.type == SQLITE_INTEGER
                            ? static_cast<long double>(static_cast<std::int64_t>(b.bits))
                            : realOf(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const char* pa = arenaA.data() + a.bits;
    const char* pb = arenaB.data() + b.bits;
    size_t na = a.len, nb = b.len;
    if (ra == 2 && coll == Collation::RTrim) {
        while (na && pa[na - 1] == ' ')
            --na;
        while (nb && pb[nb - 1] == ' ')
            --nb;
    }
    size_t n = std::min(na, nb);
    int r = (ra == 2 && coll == Collation::NoCase) ? sqlite3_strnicmp(pa, pb, static_cast<int>(n))
                                                   : (n ? std::memcmp(pa, pb, n) : 0);
    if (r != 0)
        return r;
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

struct KeyColumn {
    int cid; // -1: the rowid
    bool desc;
    Collation coll;
};

struct IndexShape {
    std::string name;
    bool unique = false;
    std::vector<KeyColumn> keys;
};

// An index read in its own order: entry e has rowid rowids[e] and cells
// [e*k, e*k+k); byRowid lists the entries in rowid order.
struct IndexScan {
    const IndexShape* shape = nullptr;
    std::vector<std::int64_t> rowids;
    std::vector<Cell> cells;
    std::string arena;
    std::vector<std::uint32_t> byRowid;
    size_t duplicates = 0; // further entries for a rowid already seen
    size_t bytes() const {
        return rowids.size() * (sizeof(std::int64_t) + sizeof(std::uint32_t)) +
               cells.size() * sizeof(Cell) + arena.size();
    }
};

// Puts the entries of scan in rowid order, leaving out (and counting) second
// entries for one rowid. Rowids that lie close together, as they mostly do,
// are placed directly instead of sorted.
void orderByRowid(IndexScan& scan) {
    const auto& r = scan.rowids;
    scan.byRowid.clear();
    if (r.empty())
        return;
    auto [lo, hi] = std::minmax_element(r.begin(), r.end());
    const auto low = *lo;
    // The difference of two 64-bit integers always fits an unsigned one.
    const std::uint64_t span = static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(low);
    constexpr std::uint32_t none = UINT32_MAX;
    if (span < 4 * static_cast<std::uint64_t>(r.size()) + 1024) {
        std::vector<std::uint32_t> slot(static_cast<size_t>(span) + 1, none);
        for (std::uint32_t e = 0; e < r.size(); ++e) {
            auto& s = slot[static_cast<size_t>(static_cast<std::uint64_t>(r[e]) -
                                               static_cast<std::uint64_t>(low))];
            if (s == none)
                s = e;
            else
                ++scan.duplicates;
        }
        scan.byRowid.reserve(r.size());
        for (auto e : slot)
            if (e != none)
                scan.byRowid.push_back(e);
        return;
    }
    scan.byRowid.resize(r.size());
    for (std::uint32_t e = 0; e < r.size(); ++e)
        scan.byRowid[e] = e;
    std::sort(scan.byRowid.begin(), scan.byRowid.end(),
              [&](auto x, auto y) { return r[x] < r[y] || (r[x] == r[y] && x < y); });
    auto last = std::unique(scan.byRowid.begin(), scan.byRowid.end(),
                            [&](auto x, auto y) { return r[x] == r[y]; });
    scan.duplicates = static_cast<size_t>(scan.byRowid.end() - last);
    scan.byRowid.erase(last, scan.byRowid.end());
}

struct TableShape {
    std::string name;
    std::vector<std::string> columns; // by column number
    std::string rowid;                // a name for the rowid no column hides, or empty
    std::vector<IndexShape> indexes;
    bool comparable = true; // false: leave the table to SQLite's integrity_check
};

bool collationOf(const std::string& name, Collation& out) {
    if (sqlite3_stricmp(name.c_str(), "BINARY") == 0)
        out = Collation::Binary;
    else if (sqlite3_stricmp(name.c_str(), "NOCASE") == 0)
        out = Collation::NoCase;
    else if (sqlite3_stricmp(name.c_str(), "RTRIM") == 0)
        out = Collation::RTrim;
    else
        return false;
    return true;
}

// Reads the tables that have indexes, with what comparing them needs. Returns
// false when the schema cannot be read (damage, noted in f).
bool readShapes(sqlite3* db, std::vector<TableShape>& tables, Findings& f) {
    const std::string doing = "Cannot read the schema";
    int rc;
    Stmt encoding = Stmt::tryPrepare(db, "PRAGMA encoding", rc);
    if (rc == SQLITE_OK)
        rc = encoding.stepOrDamage(doing);
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return false;
    }
    check(rc, db, doing);
    bool utf8 = encoding.text(0) == "UTF-8";
    Stmt list = Stmt::tryPrepare(
        db,
        "SELECT name, wr FROM pragma_table_list WHERE schema='main' AND "
        "type IN ('table','shadow') AND name NOT IN ('sqlite_schema','sqlite_master')",
        rc);
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return false;
    }
    check(rc, db, doing);
    while ((rc = list.stepOrDamage(doing)) == SQLITE_ROW) {
        TableShape t;
        t.name = list.text(0);
        t.comparable = utf8 && sqlite3_column_int(list.get(), 1) == 0;
        tables.push_back(std::move(t));
    }
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return false;
    }
    for (auto& t : tables) {
        Stmt cols(db, "SELECT name FROM pragma_table_xinfo(?1)");
        cols.bind(1, t.name);
        while (cols.step())
            t.columns.push_back(cols.text(0));
        t.rowid = rowidAlias(t.columns);
        if (t.rowid.empty())
            t.comparable = false;
        Stmt idx(db, "SELECT name, \"unique\", partial FROM pragma_index_list(?1)");
        idx.bind(1, t.name);
        while (idx.step()) {
            IndexShape s;
            s.name = idx.text(0);
            s.unique = idx.integer(1) != 0;
            if (idx.integer(2) != 0)
                t.comparable = false;
            t.indexes.push_back(std::move(s));
        }
        for (auto& s : t.indexes) {
            Stmt x(db, "SELECT cid, \"desc\", coll FROM pragma_index_xinfo(?1) WHERE key");
            x.bind(1, s.name);
            while (x.step()) {
                KeyColumn k{static_cast<int>(x.integer(0)), x.integer(1) != 0, Collation::Binary};
                if (k.cid < -1 || k.cid >= static_cast<int>(t.columns.size()) ||
                    !collationOf(x.text(2), k.coll))
                    t.comparable = false;
                s.keys.push_back(k);
            }
        }
    }
    tables.erase(std::remove_if(tables.begin(), tables.end(),
                                [](const TableShape& t) { return t.indexes.empty(); }),
                 tables.end());
    return true;
}

std::string columnExpr(const TableShape& t, int cid) {
    return cid < 0 ? t.rowid : quoteIdent(t.columns[static_cast<size_t>(cid)]);
}

// Reads one index whole, in its own order, checking that order and, for a
// unique index, that no two entries share a key without Nulls. Returns false
// when SQLite would not read the values from the index itself.
bool scanIndex(sqlite3* db, const TableShape& t, const IndexShape& s, size_t expected,
               IndexScan& out, Findings& f) {
    std::string select;
    for (const auto& k : s.keys)
        select += columnExpr(t, k.cid) + ", ";
    std::string sql = "SELECT " + select + t.rowid + " FROM " + quoteIdent(t.name) +
                      " INDEXED BY " + quoteIdent(s.name);
    {
        // The values must come from the index's own entries, never the table.
        Stmt plan(db, "EXPLAIN QUERY PLAN " + sql);
        bool covering = false;
        while (plan.step())
            covering = covering || plan.text(3).find("COVERING INDEX") != std::string::npos;
        if (!covering)
            return false;
    }
    const std::string doing = "Cannot read the index " + s.name;
    int rc;
    Stmt q = Stmt::tryPrepare(db, sql, rc);
    check(rc, db, doing);
    const size_t k = s.keys.size();
    out.shape = &s;
    out.rowids.reserve(expected);
    out.cells.reserve(expected * k);
    size_t outOfOrder = 0, duplicates = 0;
    while ((rc = q.stepOrDamage(doing)) == SQLITE_ROW) {
        auto entry = static_cast<std::uint32_t>(out.rowids.size());
        for (size_t i = 0; i < k; ++i)
            out.cells.push_back(readCell(q.get(), static_cast<int>(i), out.arena));
        std::int64_t rowid = sqlite3_column_int64(q.get(), static_cast<int>(k));
        if (entry > 0) {
            const Cell* prev = &out.cells[(entry - 1) * k];
            const Cell* cur = &out.cells[entry * k];
            int cmp = 0;
            bool nulls = false;
            for (size_t i = 0; i < k && cmp == 0; ++i) {
                cmp = compareCells(prev[i], out.arena, cur[i], out.arena, s.keys[i].coll);
                if (s.keys[i].desc)
                    cmp = -cmp;
            }
            for (size_t i = 0; i < k; ++i)
                nulls = nulls || cur[i].type == SQLITE_NULL;
            if (cmp == 0 && s.unique && !nulls)
                ++duplicates;
            if (cmp > 0 || (cmp == 0 && out.rowids.back() >= rowid))
                ++outOfOrder;
        }
        out.rowids.push_back(rowid);
    }
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return true;
    }
    if (outOfOrder)
        f.index(s.name,
                "index " + s.name + " has " + std::to_string(outOfOrder) + " entries out of order");
    if (duplicates)
        f.index(s.name, "non-unique entry in index " + s.name);
    orderByRowid(out);
    return true;
}

// Compares the indexes read into batch with one scan of their table.
void compareWithTable(sqlite3* db, const TableShape& t, std::vector<IndexScan>& batch,
                      Findings& f) {
    std::vector<int> position(t.columns.size(), 0); // column number -> result column
    std::string select = t.rowid;
    int used = 1;
    for (const auto& scan : batch)
        for (const auto& k : scan.shape->keys)
            if (k.cid >= 0 && position[static_cast<size_t>(k.cid)] == 0) {
                position[static_cast<size_t>(k.cid)] = used++;
                select += ", " + columnExpr(t, k.cid);
            }
    const std::string doing = "Cannot read the table " + t.name;
    int rc;
    Stmt q = Stmt::tryPrepare(
        db, "SELECT " + select + " FROM " + quoteIdent(t.name) + " NOT INDEXED", rc);
    check(rc, db, doing);
    const size_t n = batch.size();
    std::vector<size_t> at(n, 0), missing(n, 0), differing(n, 0), extra(n, 0);
    std::vector<Cell> row(static_cast<size_t>(used));
    std::string rowArena;
    size_t rows = 0;
    while ((rc = q.stepOrDamage(doing)) == SQLITE_ROW) {
        ++rows;
        rowArena.clear();
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = readCell(q.get(), static_cast<int>(i), rowArena);
        auto rowid = static_cast<std::int64_t>(row[0].bits);
        for (size_t b = 0; b < n; ++b) {
            IndexScan& scan = batch[b];
            size_t& i = at[b];
            for (; i < scan.byRowid.size() && scan.rowids[scan.byRowid[i]] < rowid; ++i)
                ++extra[b]; // an entry for a row that does not exist
            if (i == scan.byRowid.size() || scan.rowids[scan.byRowid[i]] != rowid) {
                ++missing[b];
                continue;
            }
            const auto& keys = scan.shape->keys;
            const Cell* entry = &scan.cells[size_t{scan.byRowid[i]} * keys.size()];
            for (size_t c = 0; c < keys.size(); ++c) {
                const Cell& value =
                    keys[c].cid < 0
                        ? row[0]
                        : row[static_cast<size_t>(position[static_cast<size_t>(keys[c].cid)])];
                if (compareCells(value, rowArena, entry[c], scan.arena, keys[c].coll) != 0) {
                    ++differing[b];
                    break;
                }
            }
            ++i;
        }
    }
    if (isDamage(rc)) {
        f.structural(errorMessage(db, SQLITE_CORRUPT));
        return;
    }
    for (size_t b = 0; b < n; ++b) {
        const std::string& name = batch[b].shape->name;
        extra[b] += batch[b].byRowid.size() - at[b] + batch[b].duplicates;
        if (missing[b])
            f.index(name, std::to_string(missing[b]) + " rows missing from index " + name);
        if (differing[b])
            f.index(name, "index " + name + " holds a different key for " +
                              std::to_string(differing[b]) + " rows");
        if (extra[b])
            f.index(name, "index " + name + " holds " + std::to_string(extra[b]) +
                              " entries for no row of the table");
        if (batch[b].rowids.size() != rows)
            f.index(name, "wrong # of entries in index " + name);
    }
}

// Compares every index of every table it can with the table's rows; other
// tables get SQLite's integrity_check, table by table.
void compareIndexes(sqlite3* db, Findings& f) {
    std::vector<TableShape> tables;
    if (!readShapes(db, tables, f))
        return;
    for (const auto& t : tables) {
        if (!t.comparable) {
            pragmaCheck(db, "integrity_check(" + quoteLiteral(t.name) + ")", f);
            continue;
        }
        // A hint for reserving memory; the scans count for themselves.
        size_t expected = 0;
        {
            int rc;
            Stmt count = Stmt::tryPrepare(db, "SELECT count(*) FROM " + quoteIdent(t.name), rc);
            if (rc == SQLITE_OK && count.stepOrDamage("Cannot count rows") == SQLITE_ROW)
                expected = static_cast<size_t>(
                    std::max<sqlite3_int64>(0, sqlite3_column_int64(count.get(), 0)));
        }
        std::vector<IndexScan> batch;
        size_t bytes = 0;
        bool fallback = false;
        for (size_t i = 0; i < t.indexes.size() && !fallback; ++i) {
            batch.emplace_back();
            if (!scanIndex(db, t, t.indexes[i], expected, batch.back(), f)) {
                fallback = true;
                break;
            }
            bytes += batch.back().bytes();
            if (bytes >= batchBytes || i + 1 == t.indexes.size()) {
                compareWithTable(db, t, batch, f);
                batch.clear();
                bytes = 0;
            }
        }
        if (fallback)
            pragmaCheck(db, "integrity_check(" + quoteLiteral(t.name) + ")", f);
    }
}

} // namespace

CheckReport quickCheck(sqlite3* db) {
    Findings f;
    pragmaCheck(db, "quick_check", f);
    return f.take();
}

CheckReport checkDatabase(sqlite3* primary, sqlite3* secondary) {
    Findings whole;
    // SQLite's own check alone, so that the comparison here can be checked
    // against a later SQLite whose rules change.
    const char* only = std::getenv("ENGINE_REPAIR_CHECK");
    if (!secondary || (only && std::strcmp(only, "sqlite") == 0)) {
        pragmaCheck(primary, "integrity_check", whole);
        return whole.take();
    }
    Findings indexes;
    auto other = std::async(std::launch::async, [&] { compareIndexes(secondary, indexes); });
    pragmaCheck(primary, "quick_check", whole);
    other.get();
    whole.merge(indexes);
    return whole.take();
}

} // namespace engine
