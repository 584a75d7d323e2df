// Rebuilding a file whose schema was lost. SQLite's recovery then puts every
// row of every b-tree into its lost-and-found table, tagged with the b-tree's
// root page. Where rows of the old schema survive on pages of their own,
// they name the b-trees outright. Elsewhere the layout the caller knows (for
// a catalogue, catalogue/ hands in what docs/catalogue-format.md fixes) is
// enough to tell the tables it names apart again by what their rows hold,
// whatever further fields they have. Whatever cannot be told apart with
// confidence stays where the recovery put it: a wrong guess would silently
// mix one table's rows into another.
#include "rebuild.h"

#include "sqlite_handle.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace engine {

namespace {

// How close a match must be. Every code an item column names must be in the
// table (a few may be lost with damaged pages), most of the table's codes
// must be named, and the runner-up must be clearly worse.
constexpr double explainedAtLeast = 0.95;
constexpr double matchAtLeast = 0.8;
constexpr double leadAtLeast = 0.2;
// A column that refers to a lookup table names codes from across the
// table's range of codes; a year or a count names a narrow band of them.
constexpr double spanAtLeast = 0.5;

// Rows of lost-and-found below which a second connection costs more than it saves.
constexpr long long splitAtLeast = 10000;

// The storage classes a field holds over the rows of a b-tree.
enum : unsigned {
    HasNull = 1,
    HasInteger = 2,
    HasWide = 4,  // an integer beyond 32 bits
    HasHuge = 64, // an integer that no whole REAL value is stored as (2^52 and beyond)
    HasReal = 8,
    HasText = 16,
    HasBlob = 32
};

// One field position of a table b-tree, over all its rows.
struct Field {
    unsigned kinds = 0;
    // Its integers, while it holds only 32-bit ones and Nulls; after the
    // scan, their sorted set.
    std::vector<long long> values;
};

// Whether a field holds nothing but 32-bit integers and Nulls.
bool codesOnly(const Field& f) {
    return !(f.kinds & ~(HasNull | HasInteger));
}

// A row of the old schema table, found on a page of its own.
struct SchemaRow {
    std::string type, name, table, sql;
    long long root = 0;
};

// A digest of a list of rowids, the same in any order: two lists with equal
// digests are equal but by a vanishing chance. An index b-tree's entries are
// digested as they are read, not kept.
struct Digest {
    long long count = 0, least = 0, most = 0, sum = 0, mixed = 0;
    void add(long long v) {
        least = count ? std::min(least, v) : v;
        most = count ? std::max(most, v) : v;
        ++count;
        // Each term below 10^9 (a product below 10^18): no sum overflows.
        const long long a = v % 1000000007, b = v % 998244353;
        sum += a;
        mixed += a * b % 1000000009;
    }
    void add(const Digest& o) {
        if (o.count == 0)
            return;
        least = count ? std::min(least, o.least) : o.least;
        most = count ? std::max(most, o.most) : o.most;
        count += o.count;
        sum += o.sum;
        mixed += o.mixed;
    }
    bool operator==(const Digest&) const = default;
};

// One b-tree's rows in the lost-and-found table, and what one pass over them
// saw: the shape of its rows and, for a table b-tree, what each field holds.
struct Group {
    long long root = 0;
    long long rows = 0;
    int fields = -1;                                    // -1 when its rows differ in field count
    bool keyed = false;                                 // a table b-tree: every row has a rowid
    bool withRowid = false;                             // some row has a rowid
    long long lo = 0, hi = 0;                           // the least and greatest rowid of its rows
    std::vector<std::pair<long long, long long>> spans; // its rows' rowids, as ranges
    int least = 0, most = 0;                            // the least and greatest field count
    long long withIds = 0;                              // rows that have a rowid
    std::string where;                                  // the condition that picks its rows

    bool entries = true;         // an integer last field (an index entry's rowid)
    std::vector<long long> last; // the last field, while every row lacks a rowid
    Digest lastDigest;           // of the last field, where only that was read
    std::vector<long long> ids;  // the rowids, of rows that have one
    long long first = 0;         // the least rowid
    int markerAt = -1;           // the field of that row that starts with the marker
    std::vector<Field> field;    // per position, over the rows that have a rowid
    bool schema = true;          // every row so far a row of the schema table
    std::vector<SchemaRow> schemaRows;
};

std::vector<long long> sortedSet(std::vector<long long> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// The count of values two sorted sets share.
size_t shared(const std::vector<long long>& a, const std::vector<long long>& b) {
    size_t n = 0;
    for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();)
        if (*i < *j)
            ++i;
        else if (*j < *i)
            ++j;
        else
            ++n, ++i, ++j;
    return n;
}

void release(std::vector<long long>& v) {
    std::vector<long long>().swap(v);
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

void merge(Group& whole, Group&& part);

// Groups the rows of a lost-and-found table whose rowids lie in a range by
// b-tree, noting for each b-tree what its rows look like.
struct Scan {
    int columns = 0; // c0 ... c(columns - 1)
    std::string marker;

    // Counts a row of b-tree root at rowid at with n fields into its group,
    // which g points to afterwards (it points to the last row's).
    static void count(std::map<long long, Group>& byRoot, Group*& g, long long root, long long at,
                      int n) {
        if (!g || g->root != root) {
            g = &byRoot[root];
            if (g->rows == 0) {
                g->root = root;
                g->lo = g->hi = at;
                g->least = g->most = n;
            }
        }
        ++g->rows;
        g->lo = std::min(g->lo, at);
        g->hi = std::max(g->hi, at);
        g->least = std::min(g->least, n);
        g->most = std::max(g->most, n);
        if (!g->spans.empty() && g->spans.back().second + 1 == at)
            g->spans.back().second = at;
        else
            g->spans.emplace_back(at, at);
    }

    // The last field of a row, as SQL.
    std::string lastField() const {
        std::string last = "CASE nfield";
        for (int i = 0; i < columns; ++i)
            last += " WHEN " + std::to_string(i + 1) + " THEN c" + std::to_string(i);
        return last + " END";
    }

    // Notes a range of rows that looks like index b-trees', reading of each
    // row only what an index entry gives here (its b-tree, its field count
    // and its last field, a rowid): false, noting nothing, when a row has a
    // rowid of its own.
    bool indexRange(sqlite3* db, const std::string& table, long long from, long long to,
                    std::map<long long, Group>& byRoot) const {
        Stmt st(db, "SELECT rootpgno, rowid, nfield, id IS NULL, " + lastField() + " FROM " +
                        table + " WHERE rowid BETWEEN ?1 AND ?2");
        st.bind(1, from);
        st.bind(2, to);
        sqlite3_stmt* s = st.get();
        std::map<long long, Group> parts;
        Group* g = nullptr;
        while (st.step()) {
            if (st.integer(3) == 0)
                return false;
            const long long root = st.integer(0), at = st.integer(1);
            const int n = static_cast<int>(st.integer(2));
            count(parts, g, root, at, n);
            g->schema = false;
            if (!g->entries)
                continue;
            if (sqlite3_column_type(s, 4) == SQLITE_INTEGER)
                g->lastDigest.add(st.integer(4));
            else
                g->entries = false;
        }
        for (auto& [root, part] : parts)
            merge(byRoot[root], std::move(part));
        return true;
    }

    void run(sqlite3* db, const std::string& table, long long from, long long to,
             std::map<long long, Group>& byRoot) const {
        const std::string last = lastField();
        std::string all;
        for (int i = 0; i < columns; ++i)
            all += ", c" + std::to_string(i);
        Stmt st(db, "SELECT rootpgno, rowid, nfield, id, " + last + all + " FROM " + table +
                        " WHERE rowid BETWEEN ?1 AND ?2");
        st.bind(1, from);
        st.bind(2, to);
        sqlite3_stmt* s = st.get();
        Group* g = nullptr;
        while (st.step()) {
            long long root = st.integer(0), at = st.integer(1);
            int n = static_cast<int>(st.integer(2));
            count(byRoot, g, root, at, n);
            if (sqlite3_column_type(s, 3) == SQLITE_NULL) {
                g->schema = false;
                if (g->entries) {
                    if (sqlite3_column_type(s, 4) == SQLITE_INTEGER)
                        g->last.push_back(st.integer(4));
                    else
                        g->entries = false, release(g->last);
                }
                continue;
            }
            const long long id = st.integer(3);
            g->ids.push_back(id);
            if (g->entries)
                g->entries = false, release(g->last);
            if (g->field.empty())
                g->field.resize(static_cast<size_t>(columns));
            // Types first: reading a value as text may convert it.
            for (int i = 0; i < columns; ++i) {
                Field& f = g->field[static_cast<size_t>(i)];
                switch (i < n ? sqlite3_column_type(s, 5 + i) : SQLITE_NULL) {
                case SQLITE_NULL:
                    f.kinds |= HasNull;
                    break;
                case SQLITE_INTEGER: {
                    const long long v = st.integer(5 + i);
                    f.kinds |= HasInteger;
                    if (v <= -(1LL << 52) || v >= (1LL << 52))
                        f.kinds |= HasHuge;
                    if (v < -2147483648LL || v > 2147483647LL)
                        f.kinds |= HasWide, release(f.values);
                    else if (!(f.kinds & ~(HasNull | HasInteger)))
                        f.values.push_back(v);
                    break;
                }
                case SQLITE_FLOAT:
                    f.kinds |= HasReal, release(f.values);
                    break;
                case SQLITE_TEXT:
                    f.kinds |= HasText, release(f.values);
                    break;
                default:
                    f.kinds |= HasBlob, release(f.values);
                }
            }
            if (g->withIds++ == 0 || id < g->first) {
                g->first = id;
                g->markerAt = -1;
                for (int i = 0; i < n && i < columns && !marker.empty(); ++i)
                    if (sqlite3_column_type(s, 5 + i) == SQLITE_TEXT &&
                        columnView(s, 5 + i).substr(0, marker.size()) == marker) {
                        g->markerAt = i;
                        break;
                    }
            }
            if (g->schema)
                readSchemaRow(s, st, n, *g);
        }
    }

    // Takes a row of a table b-tree as a row of the old schema table while
    // every row of the b-tree has that shape.
    void readSchemaRow(sqlite3_stmt* s, const Stmt& st, int n, Group& g) const {
        auto type = [&](int i) { return sqlite3_column_type(s, 5 + i); };
        const std::string kind =
            n == 5 && columns >= 5 && type(0) == SQLITE_TEXT ? columnText(s, 5) : "";
        if ((kind == "table" || kind == "index" || kind == "view" || kind == "trigger") &&
            type(1) == SQLITE_TEXT && type(2) == SQLITE_TEXT &&
            (type(3) == SQLITE_INTEGER || type(3) == SQLITE_NULL) &&
            (type(4) == SQLITE_TEXT || type(4) == SQLITE_NULL)) {
            g.schemaRows.push_back({kind, columnText(s, 6), columnText(s, 7),
                                    type(4) == SQLITE_TEXT ? columnText(s, 9) : "",
                                    type(3) == SQLITE_INTEGER ? st.integer(8) : 0});
        } else {
            g.schema = false;
            std::vector<SchemaRow>().swap(g.schemaRows);
        }
    }
};

// Adds to whole what a scan of another range saw of the same b-tree.
void merge(Group& whole, Group&& part) {
    if (whole.rows == 0) {
        whole = std::move(part);
        return;
    }
    if (part.withIds > 0 && (whole.withIds == 0 || part.first < whole.first)) {
        whole.first = part.first;
        whole.markerAt = part.markerAt;
    }
    whole.rows += part.rows;
    whole.withIds += part.withIds;
    whole.lo = std::min(whole.lo, part.lo);
    whole.spans.insert(whole.spans.end(), part.spans.begin(), part.spans.end());
    whole.hi = std::max(whole.hi, part.hi);
    whole.least = std::min(whole.least, part.least);
    whole.most = std::max(whole.most, part.most);
    whole.entries = whole.entries && part.entries;
    whole.lastDigest.add(part.lastDigest);
    if (whole.entries)
        whole.last.insert(whole.last.end(), part.last.begin(), part.last.end());
    else
        release(whole.last);
    whole.ids.insert(whole.ids.end(), part.ids.begin(), part.ids.end());
    if (whole.field.empty())
        whole.field.resize(part.field.size());
    for (size_t i = 0; i < part.field.size(); ++i) {
        Field &to = whole.field[i], &from = part.field[i];
        to.kinds |= from.kinds;
        if (to.kinds & ~(HasNull | HasInteger))
            release(to.values);
        else
            to.values.insert(to.values.end(), from.values.begin(), from.values.end());
    }
    whole.schema = whole.schema && part.schema;
    if (whole.schema)
        whole.schemaRows.insert(whole.schemaRows.end(), part.schemaRows.begin(),
                                part.schemaRows.end());
    else
        std::vector<SchemaRow>().swap(whole.schemaRows);
}

// The declared type that keeps every value a field holds as it is: a type
// with an affinity only where every value already has its storage class. A
// field of whole and fractional numbers is REAL: SQLite stores a REAL
// field's whole values as integers (below 2^52), and gives them back as
// REAL through the field's affinity. (A REAL field of whole values only
// cannot be told from an INTEGER one.)
std::string typeFor(unsigned kinds) {
    if ((kinds & ~(HasNull | HasWide)) == (HasInteger | HasReal))
        return "REAL";
    switch (kinds & ~(HasNull | HasWide | HasHuge)) {
    case HasInteger:
        return "INTEGER";
    case HasReal:
        return "REAL";
    case HasText:
        return "TEXT";
    case HasBlob:
        return "BLOB";
    default:
        return "";
    }
}

// Runs a statement read from a row of the old schema only when it is what
// the row says it is: one CREATE statement of that kind. A damaged file's
// text is never run as any other statement. False when it is not, or when
// SQLite refuses it.
bool runSchemaStatement(sqlite3* db, const std::string& sql, const std::string& kind) {
    static const std::map<std::string, std::vector<std::string>> starts = {
        {"table", {"CREATE TABLE "}},
        {"index", {"CREATE INDEX ", "CREATE UNIQUE INDEX "}},
        {"view", {"CREATE VIEW "}},
        {"trigger", {"CREATE TRIGGER "}}};
    const auto kindStarts = starts.find(kind);
    if (kindStarts == starts.end() ||
        std::none_of(kindStarts->second.begin(), kindStarts->second.end(),
                     [&](const std::string& start) {
                         return sameName(std::string_view(sql).substr(0, start.size()), start);
                     }))
        return false;
    try {
        const char* tail = nullptr;
        Stmt st(db, sql, &tail);
        while (tail && (*tail == ';' || std::isspace(static_cast<unsigned char>(*tail))))
            ++tail;
        if (!st || (tail && *tail))
            return false;
        st.step();
    } catch (const Error&) {
        return false;
    }
    return true;
}

// A table of the new file: how it is created, its fields in stored order,
// and the b-tree its rows come from.
struct Home {
    const Group* group = nullptr; // null: no rows of it were found
    std::string name, create;
    bool fromSchema = false; // create, and each of indexes, read from the old schema
    bool made = false;       // created in the new file
    std::vector<std::string> fields;
    int key = -1; // the INTEGER PRIMARY KEY's position; -1: none
    std::vector<std::string> indexes;
    bool named = false; // some of its field names made up here
};

// A lookup table's b-tree as a candidate: the position of a field whose
// values are distinct 32-bit integers in every row, their set and range,
// and the position of a text field.
struct Codes {
    const Group* group;
    int at, nameAt;
    std::vector<long long> set;
};

class Rebuild {
public:
    Rebuild(sqlite3* db, const std::string& schema, const std::string& laf,
            const RebuildLayout& layout)
        : db_(db), layout_(layout), schemaName_(schema), schema_(quoteIdent(schema)), name_(laf),
          laf_(schema_ + "." + quoteIdent(laf)) {}

    // 1. Reads the recovered rows in one pass.
    // 2. Names the b-trees that surviving rows of the old schema name.
    // 3. Finds the layout's tables that are still unnamed by what they hold.
    // 4. Creates the tables, moves their rows, builds their indexes and
    //    keeps every other row in lost-and-found.
    bool run(RepairNotes* notes) {
        if (layout_.items.empty())
            return false;
        if (one("SELECT count(*) FROM " + schema_ +
                ".sqlite_schema WHERE type='table' AND name=" + quoteLiteral(name_)) == "0")
            return false;
        readGroups();
        sortFields();
        fromSchema();
        findByContent();
        const Home* items = homeNamed(layout_.items);
        if (!items || !items->group || (items->fromSchema && fieldsOf(*items).empty()))
            return false;
        markIndexTrees();

        for (Home& h : homes_)
            create(h);
        for (const Home& h : homes_)
            if (h.made && h.group)
                move(*h.group, h);
        keepTheRest();
        for (const Home& h : homes_) {
            if (!h.made)
                continue;
            // An index the old schema held that SQLite now refuses is left out.
            for (const std::string& sql : h.indexes)
                if (h.fromSchema)
                    runSchemaStatement(db_, sql, "index");
                else
                    exec(db_, sql);
        }
        for (const auto& [kind, sql] : later_)
            runSchemaStatement(db_, sql, kind);
        if (notes)
            for (const Home& h : homes_)
                if (h.named && h.made)
                    notes->named.push_back({h.name, h.fields});
        return true;
    }

private:
    std::string one(const std::string& sql) { return queryText(db_, sql); }

    // A range of rowids of lost-and-found whose rows seem one b-tree's, and
    // whether its first row lacks a rowid, as an index entry does.
    struct Run {
        long long from, to;
        bool index;
    };

    // The runs of rows of one b-tree each, when the rowids have no gaps,
    // found by probing single rows: the recovery writes each b-tree's rows
    // one after the other. Empty when there are gaps or too many runs to be
    // worth it. A run that holds another b-tree's rows too is still read
    // right, row by row.
    std::vector<Run> findRuns(long long lo, long long hi) {
        Stmt probe(db_, "SELECT rootpgno, id IS NULL FROM " + laf_ + " WHERE rowid = ?1");
        bool gaps = false;
        auto at = [&](long long rowid) {
            probe.rewind();
            probe.bind(1, rowid);
            if (!probe.step()) {
                gaps = true;
                return std::pair<long long, bool>(-1, false);
            }
            return std::pair<long long, bool>(probe.integer(0), probe.integer(1) != 0);
        };
        std::vector<Run> runs;
        for (long long from = lo; from <= hi && !gaps && runs.size() < 1000;) {
            const auto [root, index] = at(from);
            long long good = from, bad = hi + 1;
            for (long long step = 1; good + step <= hi && !gaps; step *= 2) {
                if (at(good + step).first != root) {
                    bad = good + step;
                    break;
                }
                good += step;
            }
            while (bad - good > 1 && !gaps) {
                const long long mid = good + (bad - good) / 2;
                (at(mid).first == root ? good : bad) = mid;
            }
            runs.push_back({from, good, index});
            from = good + 1;
        }
        if (gaps || runs.size() >= 1000)
            runs.clear();
        return runs;
    }

    // One pass over the lost-and-found table on two connections side by
    // side: rows of table b-trees read whole, index b-trees' rows only for
    // their rowids (an index entry's other fields are of no use here).
    // Without runs, the table's two halves, every row read whole.
    // Where a b-tree's rows turn out not to be a range of rowids, an index
    // finds them.
    void readGroups() {
        Scan scan;
        scan.marker = layout_.marker;
        scan.columns = std::stoi(one("SELECT count(*) - 4 FROM pragma_table_info(" +
                                     quoteLiteral(name_) + ", " + quoteLiteral(schemaName_) + ")"));
        Stmt range(db_, "SELECT min(rowid), max(rowid) FROM " + laf_);
        range.step();
        const long long lo = range.integer(0), hi = range.integer(1);
        range.finalize();
        const char* file = sqlite3_db_filename(db_, schemaName_.c_str());
        std::vector<Run> runs = findRuns(lo, hi);
        if (runs.empty())
            runs.push_back({lo, hi, false});
        // A row read whole weighs about as much as three read thin. The
        // heaviest run is halved while it outweighs the rest, then the runs
        // go to the lighter side, heaviest first.
        auto weight = [](const Run& r) { return (r.to - r.from + 1) * (r.index ? 1 : 3); };
        long long total = 0;
        for (const Run& r : runs)
            total += weight(r);
        std::sort(runs.begin(), runs.end(),
                  [&](const Run& a, const Run& b) { return weight(a) > weight(b); });
        while (!runs.empty() && 2 * weight(runs[0]) > total &&
               runs[0].to - runs[0].from >= splitAtLeast) {
            const Run r = runs[0];
            const long long mid = r.from + (r.to - r.from) / 2;
            runs[0] = {r.from, mid, r.index};
            runs.insert(runs.begin() + 1, {mid + 1, r.to, r.index});
        }
        std::vector<Run> sides[2];
        long long weights[2] = {0, 0};
        for (const Run& r : runs) {
            const int side = weights[1] < weights[0] ? 1 : 0;
            sides[side].push_back(r);
            weights[side] += weight(r);
        }
        auto read = [&](sqlite3* db, const std::string& table, const std::vector<Run>& mine,
                        std::map<long long, Group>& into) {
            for (const Run& r : mine)
                if (!r.index || !scan.indexRange(db, table, r.from, r.to, into))
                    scan.run(db, table, r.from, r.to, into);
        };
        if (sides[1].empty() || total < splitAtLeast || !file || !*file) {
            for (const auto& side : sides)
                read(db_, laf_, side, byRoot_);
        } else {
            std::map<long long, Group> other;
            auto peer = std::async(std::launch::async, [&] {
                DbHandle db = openConnection(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
                exec(db.get(), "PRAGMA mmap_size=" + std::to_string(1LL << 40));
                read(db.get(), "main." + quoteIdent(name_), sides[1], other);
            });
            // The other side is waited for however this one ends.
            try {
                read(db_, laf_, sides[0], byRoot_);
            } catch (...) {
                peer.wait();
                throw;
            }
            peer.get();
            for (auto& [root, part] : other)
                merge(byRoot_[root], std::move(part));
        }
        // A b-tree's rows are picked by their few ranges of rowids (the
        // recovery writes an interior page's entries apart from its leaves'),
        // or where they are many, through an index.
        bool ranges = true;
        for (auto& [root, group] : byRoot_) {
            if (group.least == group.most)
                group.fields = group.least;
            group.keyed = group.withIds == group.rows;
            group.withRowid = group.withIds > 0;
            group.field.resize(static_cast<size_t>(group.keyed ? group.most : 0));
            auto& spans = group.spans;
            std::sort(spans.begin(), spans.end());
            size_t kept = 0;
            for (size_t i = 1; i < spans.size(); ++i)
                if (spans[i].first == spans[kept].second + 1)
                    spans[kept].second = spans[i].second;
                else
                    spans[++kept] = spans[i];
            spans.resize(spans.empty() ? 0 : kept + 1);
            ranges = ranges && spans.size() <= 64;
        }
        if (!ranges)
            exec(db_, "CREATE INDEX " + schema_ + "." + quoteIdent(name_ + "_groups") + " ON " +
                          quoteIdent(name_) + " (rootpgno, id)");
        for (auto& [root, group] : byRoot_) {
            if (!ranges) {
                group.where = "rootpgno=" + std::to_string(group.root);
                continue;
            }
            for (const auto& [from, to] : group.spans)
                group.where += (group.where.empty() ? "(" : " OR ") +
                               std::string("rowid BETWEEN ") + std::to_string(from) + " AND " +
                               std::to_string(to);
            group.where += ")";
        }
    }

    // Turns the integers of each field that holds nothing else into their
    // sorted set, the largest ones side by side on two threads.
    void sortFields() {
        std::vector<Field*> todo;
        for (auto& [root, g] : byRoot_)
            for (Field& f : g.field)
                if (codesOnly(f) && !f.values.empty())
                    todo.push_back(&f);
        std::sort(todo.begin(), todo.end(), [](const Field* a, const Field* b) {
            return a->values.size() > b->values.size();
        });
        auto sortEvery = [&](size_t from) {
            for (size_t i = from; i < todo.size(); i += 2)
                todo[i]->values = sortedSet(std::move(todo[i]->values));
        };
        if (todo.size() > 1 && todo[1]->values.size() >= static_cast<size_t>(splitAtLeast)) {
            auto other = std::async(std::launch::async, sortEvery, 1);
            try {
                sortEvery(0);
            } catch (...) {
                other.wait();
                throw;
            }
            other.get();
        } else {
            for (size_t i = 0; i < todo.size(); ++i)
                todo[i]->values = sortedSet(std::move(todo[i]->values));
        }
    }

    Home* homeNamed(const std::string& name) {
        for (Home& h : homes_)
            if (sameName(h.name, name))
                return &h;
        return nullptr;
    }

    // A table b-tree that no table has taken and that holds no schema rows.
    bool free(const Group& g) const {
        if (!g.keyed || schemaTrees_.count(&g))
            return false;
        for (const Home& h : homes_)
            if (h.group == &g)
                return false;
        return true;
    }

    // The tables, indexes, views and triggers that rows of the old schema
    // found on pages of their own describe; each table with the b-tree at
    // its root page, when that b-tree's rows fit it.
    void fromSchema() {
        std::vector<SchemaRow> rows;
        for (const auto& [root, g] : byRoot_)
            if (g.keyed && g.schema && !g.schemaRows.empty()) {
                rows.insert(rows.end(), g.schemaRows.begin(), g.schemaRows.end());
                schemaTrees_.insert(&g);
            }
        for (const SchemaRow& r : rows) {
            // SQLite makes its own tables itself.
            if (r.type != "table" || r.sql.empty() || sameName(r.name.substr(0, 7), "sqlite_") ||
                homeNamed(r.name))
                continue;
            Home h;
            h.name = r.name;
            h.create = r.sql;
            h.fromSchema = true;
            if (auto g = byRoot_.find(r.root); g != byRoot_.end() && g->second.keyed)
                h.group = &g->second;
            homes_.push_back(std::move(h));
        }
        for (const SchemaRow& r : rows) {
            if (r.type == "table" || r.sql.empty())
                continue;
            Home* h = r.type == "index" ? homeNamed(r.table) : nullptr;
            if (h)
                h->indexes.push_back(r.sql);
            else if (r.type != "index")
                later_.emplace_back(r.type, r.sql);
        }
    }

    // The distinct values of a field other than -1 ("no entry"), sorted.
    static std::vector<long long> namedCodes(const Field& f) {
        if (!codesOnly(f))
            return {};
        std::vector<long long> set = f.values;
        std::erase(set, -1);
        return set;
    }

    // The lookup tables' candidates among the free b-trees.
    std::vector<Codes> codeCandidates() const {
        std::vector<Codes> out;
        for (const auto& [root, g] : byRoot_) {
            // The information table's row holds text, and may hold a number.
            if (!free(g) || g.markerAt >= 0)
                continue;
            int nameAt = -1;
            for (size_t i = 0; i < g.field.size() && nameAt < 0; ++i)
                if ((g.field[i].kinds & HasText) && !(g.field[i].kinds & ~(HasText | HasNull)))
                    nameAt = static_cast<int>(i);
            if (nameAt < 0)
                continue;
            for (size_t i = 0; i < g.field.size(); ++i) {
                if (g.field[i].kinds == HasInteger &&
                    static_cast<long long>(g.field[i].values.size()) == g.rows)
                    out.push_back({&g, static_cast<int>(i), nameAt, g.field[i].values});
            }
        }
        return out;
    }

    // The name field of a lookup table's b-tree: of several text fields, the
    // one that an index b-tree of all its rows holds (the format names an
    // index on the name), else the first.
    int nameFieldOf(const Group& t, int first) const {
        std::vector<size_t> texts;
        for (size_t i = 0; i < t.field.size(); ++i)
            if ((t.field[i].kinds & HasText) && !(t.field[i].kinds & ~(HasText | HasNull)))
                texts.push_back(i);
        if (texts.size() < 2)
            return first;
        Digest rowids;
        for (long long id : t.ids)
            rowids.add(id);
        std::map<long long, std::vector<std::optional<std::string>>> byId;
        std::string fields;
        for (size_t i : texts)
            fields += ", c" + std::to_string(i);
        Stmt rows(db_, "SELECT id" + fields + " FROM " + laf_ + " WHERE " + t.where);
        while (rows.step()) {
            auto& values = byId[rows.integer(0)];
            for (size_t k = 0; k < texts.size(); ++k)
                values.push_back(
                    sqlite3_column_type(rows.get(), static_cast<int>(k) + 1) == SQLITE_NULL
                        ? std::nullopt
                        : std::optional(columnText(rows.get(), static_cast<int>(k) + 1)));
        }
        std::set<size_t> held;
        for (const auto& [root, g] : byRoot_) {
            Digest d = g.lastDigest;
            for (long long v : g.last)
                d.add(v);
            if (g.withRowid || !g.entries || g.fields != 2 || g.rows != t.rows || !(d == rowids))
                continue;
            std::vector<bool> holds(texts.size(), true);
            Stmt entries(db_, "SELECT c0, c1 FROM " + laf_ + " WHERE " + g.where);
            while (entries.step()) {
                const auto row = byId.find(entries.integer(1));
                const bool null = sqlite3_column_type(entries.get(), 0) == SQLITE_NULL;
                for (size_t k = 0; k < texts.size(); ++k)
                    holds[k] =
                        holds[k] && row != byId.end() &&
                        (null ? !row->second[k] : row->second[k] == columnText(entries.get(), 0));
            }
            for (size_t k = 0; k < texts.size(); ++k)
                if (holds[k])
                    held.insert(texts[k]);
        }
        return held.size() == 1 ? static_cast<int>(*held.begin()) : first;
    }

    // Whether a field's codes could refer to a candidate: its table holds
    // nearly all of them, and they spread over its range of codes.
    static bool explains(const std::vector<long long>& named, const Codes& c) {
        const size_t both = shared(named, c.set);
        return double(both) >= explainedAtLeast * double(named.size()) &&
               double(named.back() - named.front() + 1) >=
                   spanAtLeast * double(c.set.back() - c.set.front() + 1);
    }

    // How well the codes of some fields, taken together, match a
    // candidate's: the share of the union of both sets that both hold.
    static double matchOf(const std::vector<const std::vector<long long>*>& named, const Codes& c) {
        std::vector<long long> all;
        for (const std::vector<long long>* n : named)
            all.insert(all.end(), n->begin(), n->end());
        all = sortedSet(std::move(all));
        const size_t both = shared(all, c.set);
        return double(both) / double(all.size() + c.set.size() - both);
    }

    // For each of the layout's lookups, the candidate its fields refer to
    // and those fields' positions; null where none.
    struct Pick {
        const Codes* codes = nullptr;
        std::vector<int> at;
        bool operator==(const Pick& o) const {
            return (codes ? codes->group : nullptr) == (o.codes ? o.codes->group : nullptr) &&
                   at == o.at;
        }
    };
    struct Choice {
        std::vector<Pick> picks;
        size_t fields = 0;
        double score = 0;
    };

    // The best way to read g's fields as the layout's references: each
    // lookup takes up to its number of fields, all explained by one
    // candidate that no other lookup takes, in the layout's order of fields,
    // where those fields and the candidate match both ways; most fields
    // first, then the best matches. A lookup that a choice nearly as good
    // would give other fields or another candidate is left out: it cannot be
    // told apart.
    Choice bestChoice(const Group& g, const std::vector<Codes>& codes) const {
        struct Column {
            int at;
            std::vector<long long> named;
        };
        std::vector<Column> columns;
        for (size_t i = 0; i < g.field.size(); ++i) {
            std::vector<long long> named = namedCodes(g.field[i]);
            if (!named.empty() && std::any_of(codes.begin(), codes.end(), [&](const Codes& c) {
                    return c.group != &g && explains(named, c);
                }))
                columns.push_back({static_cast<int>(i), std::move(named)});
        }
        const size_t lookups = layout_.lookups.size();
        Choice best, now;
        best.picks.resize(lookups);
        now.picks.resize(lookups);
        // Too many fields that could be references to weigh every reading.
        if (columns.empty() || columns.size() > 12)
            return best;
        std::map<std::pair<std::vector<int>, size_t>, double> matches;
        std::vector<bool> unclear(lookups, false);
        std::set<const Group*> taken;
        long long readings = 0;
        int pass = 0;
        // Every reading from lookup i on, with fields from column from on.
        std::function<void(size_t, size_t)> walk = [&](size_t i, size_t from) {
            if (++readings > 1000000)
                return;
            if (i == lookups) {
                if (pass == 0 && (now.fields > best.fields ||
                                  (now.fields == best.fields && now.score > best.score)))
                    best = now;
                if (pass == 1 && now.fields == best.fields && now.score >= best.score - leadAtLeast)
                    for (size_t k = 0; k < lookups; ++k)
                        unclear[k] = unclear[k] || !(now.picks[k] == best.picks[k]);
                return;
            }
            walk(i + 1, from);
            const size_t most = layout_.lookups[i].references.size();
            for (size_t k = 0; k < codes.size(); ++k) {
                const Codes& c = codes[k];
                if (c.group == &g || taken.count(c.group))
                    continue;
                // The fields explained by c, taken one or more in order.
                std::vector<size_t> at;
                std::function<void(size_t)> choose = [&](size_t next) {
                    for (size_t j = next; j < columns.size() && at.size() < most; ++j) {
                        if (!explains(columns[j].named, c))
                            continue;
                        at.push_back(j);
                        std::vector<int> positions;
                        std::vector<const std::vector<long long>*> named;
                        for (size_t x : at) {
                            positions.push_back(columns[x].at);
                            named.push_back(&columns[x].named);
                        }
                        auto [m, fresh] = matches.try_emplace({positions, k}, 0.0);
                        if (fresh)
                            m->second = matchOf(named, c);
                        if (m->second >= matchAtLeast) {
                            now.picks[i] = {&c, positions};
                            now.fields += at.size();
                            now.score += m->second;
                            taken.insert(c.group);
                            walk(i + 1, j + 1);
                            taken.erase(c.group);
                            now.fields -= at.size();
                            now.score -= m->second;
                            now.picks[i] = {};
                        }
                        choose(j + 1);
                        at.pop_back();
                    }
                };
                choose(from);
            }
        };
        walk(0, 0);
        if (readings > 1000000)
            return Choice{std::vector<Pick>(lookups), 0, 0};
        pass = 1;
        readings = 0;
        walk(0, 0);
        for (size_t k = 0; k < lookups; ++k)
            if (unclear[k] && best.picks[k].codes) {
                best.fields -= best.picks[k].at.size();
                best.picks[k] = {};
            }
        return best;
    }

    // Names a b-tree's fields: those given, the rest by position; an
    // INTEGER PRIMARY KEY at key.
    Home made(const Group& g, const std::string& name, const std::map<int, std::string>& given,
              int key) const {
        Home h;
        h.group = &g;
        h.name = name;
        h.key = key;
        std::string columns;
        for (size_t i = 0; i < g.field.size(); ++i) {
            const auto known = given.find(static_cast<int>(i));
            std::string field = "Field " + std::to_string(i + 1);
            if (known != given.end())
                field = known->second;
            else
                h.named = true;
            const std::string type =
                static_cast<int>(i) == key ? "INTEGER PRIMARY KEY" : typeFor(g.field[i].kinds);
            columns += (columns.empty() ? "" : ", ") + quoteIdent(field) +
                       (type.empty() ? "" : " " + type);
            h.fields.push_back(field);
        }
        h.create = "CREATE TABLE " + quoteIdent(name) + " (" + columns + ")";
        return h;
    }

    // Finds by what they hold the layout's tables that no surviving schema
    // row named: the item table by its references to the lookup tables, the
    // lookup tables by the codes those references name, the information
    // table by its marker.
    void findByContent() {
        const std::vector<Codes> codes = codeCandidates();
        Home* items = homeNamed(layout_.items);
        const Group* itemTree = items ? items->group : nullptr;
        std::vector<Pick> lookups(layout_.lookups.size());
        if (items && !itemTree)
            return; // named by the old schema, its rows not found: nothing to match against
        if (itemTree) {
            // The item table's own names say which fields refer to which
            // lookup; the candidate is the one they match clearly best.
            const std::vector<std::string> names = fieldsOf(*items);
            for (size_t i = 0; i < layout_.lookups.size(); ++i) {
                std::vector<int> at;
                std::vector<std::vector<long long>> sets;
                for (const std::string& ref : layout_.lookups[i].references) {
                    const auto p = std::find_if(names.begin(), names.end(),
                                                [&](const auto& n) { return sameName(n, ref); });
                    const auto pos = static_cast<size_t>(p - names.begin());
                    if (p == names.end() || pos >= itemTree->field.size())
                        continue;
                    if (std::vector<long long> named = namedCodes(itemTree->field[pos]);
                        !named.empty()) {
                        at.push_back(static_cast<int>(pos));
                        sets.push_back(std::move(named));
                    }
                }
                std::vector<const std::vector<long long>*> named;
                for (const auto& set : sets)
                    named.push_back(&set);
                double first = 0, second = 0;
                for (const Codes& c : codes) {
                    if (c.group == itemTree || named.empty() ||
                        !std::all_of(named.begin(), named.end(),
                                     [&](const auto* n) { return explains(*n, c); }))
                        continue;
                    const double m = matchOf(named, c);
                    if (m > first) {
                        second = std::max(second, first);
                        first = m;
                        lookups[i] = {&c, at};
                    } else {
                        second = std::max(second, m);
                    }
                }
                if (first < matchAtLeast || first - second < leadAtLeast)
                    lookups[i] = {};
            }
        } else {
            // The item table: the b-tree whose fields read best as references,
            // clearly better than any other.
            std::vector<std::pair<const Group*, Choice>> read;
            for (const auto& [root, g] : byRoot_)
                if (free(g))
                    if (Choice c = bestChoice(g, codes); c.fields > 0)
                        read.emplace_back(&g, std::move(c));
            const auto better = [](const auto& a, const auto& b) {
                return a.second.fields != b.second.fields ? a.second.fields > b.second.fields
                                                          : a.second.score > b.second.score;
            };
            std::sort(read.begin(), read.end(), better);
            if (read.empty() ||
                (read.size() > 1 && read[1].second.fields == read[0].second.fields &&
                 read[1].second.score > read[0].second.score - leadAtLeast))
                return;
            itemTree = read[0].first;
            const Choice& best = read[0].second;
            lookups = best.picks;
            std::map<int, std::string> given;
            for (size_t i = 0; i < lookups.size(); ++i)
                for (size_t k = 0; k < lookups[i].at.size(); ++k)
                    given[lookups[i].at[k]] = layout_.lookups[i].references[k];
            // Without a name for it, the first field holds the rowid where it
            // is Null in every row, as an INTEGER PRIMARY KEY's field does.
            const int key =
                !itemTree->field.empty() && itemTree->field[0].kinds == HasNull && !given.count(0)
                    ? 0
                    : -1;
            homes_.push_back(made(*itemTree, layout_.items, given, key));
            Home& h = homes_.back();
            for (const RebuildLayout::Index& index : layout_.itemIndexes)
                if (std::find(h.fields.begin(), h.fields.end(), index.field) != h.fields.end())
                    h.indexes.push_back(index.sql);
        }
        for (size_t i = 0; i < lookups.size(); ++i) {
            const RebuildLayout::Lookup& l = layout_.lookups[i];
            const Codes* c = lookups[i].codes;
            if (!c || homeNamed(l.table) || !free(*c->group))
                continue;
            Home h =
                made(*c->group, l.table,
                     {{c->at, l.codeField}, {nameFieldOf(*c->group, c->nameAt), l.nameField}}, -1);
            for (const RebuildLayout::Index& index : l.indexes)
                h.indexes.push_back(index.sql);
            homes_.push_back(std::move(h));
        }
        if (!layout_.info.empty() && !homeNamed(layout_.info)) {
            const Group* info = nullptr;
            int seen = 0;
            for (const auto& [root, g] : byRoot_)
                if (free(g) && g.markerAt >= 0)
                    info = &g, ++seen;
            if (seen == 1)
                homes_.push_back(
                    made(*info, layout_.info, {{info->markerAt, layout_.markerField}}, -1));
        }
    }

    // The fields of a table from the old schema, in stored order, read from
    // its statement run on a scratch database (the new file has no journal
    // to take a trial back with); none when SQLite refuses the statement.
    static std::vector<std::string> fieldsOf(const Home& h) {
        std::vector<std::string> out;
        try {
            DbHandle scratch =
                openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            if (!runSchemaStatement(scratch.get(), h.create, "table"))
                return out;
            Stmt q(scratch.get(),
                   "SELECT name FROM pragma_table_info(" + quoteLiteral(h.name) + ")");
            while (q.step())
                out.push_back(columnText(q.get(), 0));
        } catch (const Error&) {
            out.clear();
        }
        return out;
    }

    // Creates a table in the new file and reads back its fields and key. A
    // b-tree whose rows have more fields than the table stays lost and found.
    void create(Home& h) {
        if (h.fromSchema ? !runSchemaStatement(db_, h.create, "table")
                         : (exec(db_, h.create), false))
            return;
        h.fields.clear();
        int pk = 0;
        std::string pkType;
        Stmt q(db_, "SELECT name, upper(type), pk FROM pragma_table_info(" + quoteLiteral(h.name) +
                        ", 'main')");
        while (q.step()) {
            if (q.integer(2) > 0) {
                ++pk;
                h.key = static_cast<int>(h.fields.size());
                pkType = columnText(q.get(), 1);
            }
            h.fields.push_back(columnText(q.get(), 0));
        }
        q.finalize();
        const bool withoutRowid =
            one("SELECT wr FROM main.pragma_table_list(" + quoteLiteral(h.name) + ")") == "1";
        if (pk != 1 || pkType != "INTEGER" || withoutRowid)
            h.key = -1;
        if (h.group && (withoutRowid || h.group->most > static_cast<int>(h.fields.size())))
            h.group = nullptr;
        h.made = !h.fields.empty();
    }

    // The index b-trees: no rowids, one entry per row of a table b-tree,
    // each ending in a distinct rowid of that table, as their digests show.
    void markIndexTrees() {
        // Of the table b-trees that some index b-tree could belong to: the
        // digest of their rowids, none where a rowid repeats.
        std::map<const Group*, std::optional<Digest>> tables;
        auto digestOf = [&](Group& t) -> const std::optional<Digest>& {
            auto [at, fresh] = tables.try_emplace(&t);
            if (fresh) {
                std::sort(t.ids.begin(), t.ids.end());
                if (std::adjacent_find(t.ids.begin(), t.ids.end()) == t.ids.end()) {
                    at->second.emplace();
                    for (long long id : t.ids)
                        at->second->add(id);
                }
            }
            return at->second;
        };
        for (auto& [root, g] : byRoot_) {
            if (g.withRowid || g.fields < 2 || !g.entries)
                continue;
            Digest d = g.lastDigest;
            for (long long v : g.last)
                d.add(v);
            for (auto& [troot, t] : byRoot_)
                if (t.keyed && t.rows == g.rows && digestOf(t) == d) {
                    dropped_.insert(&g);
                    break;
                }
        }
    }

    // Moves g's rows into its home. Rows the table refuses (a key taken, a
    // check failed) stay, unless the table holds the very same row.
    void move(const Group& g, const Home& home) {
        std::string names, fields, same;
        auto add = [&](const std::string& column, const std::string& field) {
            const std::string name = quoteIdent(column);
            names += (names.empty() ? "" : ", ") + name;
            fields += (fields.empty() ? "" : ", ") + field;
            same += (same.empty() ? "" : " AND ") + name + " IS " + field;
        };
        if (home.key < 0)
            add("rowid", "id");
        // Fields that no row holds, added to the table after its rows were
        // written, take their defaults.
        for (size_t i = 0; i < home.fields.size(); ++i)
            if (static_cast<int>(i) == home.key)
                add(home.fields[i], "id");
            else if (static_cast<int>(i) < g.most)
                add(home.fields[i], "c" + std::to_string(i));
        const std::string table = "main." + quoteIdent(home.name);
        exec(db_, "INSERT OR IGNORE INTO " + table + " (" + names + ") SELECT " + fields +
                      " FROM " + laf_ + " WHERE " + g.where);
        if (sqlite3_changes64(db_) == g.rows)
            dropped_.insert(&g);
        else
            refused_[&g] = "NOT EXISTS (SELECT 1 FROM " + table + " WHERE " + same + ")";
    }

    // Copies into the new file's own lost-and-found table the rows that were
    // neither moved nor of a dropped index b-tree nor the old schema's now
    // rebuilt, a b-tree at a time.
    void keepTheRest() {
        const std::string sql =
            one("SELECT sql FROM " + schema_ +
                ".sqlite_schema WHERE type='table' AND name=" + quoteLiteral(name_));
        exec(db_, "CREATE TABLE main." + quoteIdent(name_) + sql.substr(sql.find('(')));
        // The old schema's rows are kept unless a table was made from them.
        const bool schemaUsed = std::any_of(homes_.begin(), homes_.end(),
                                            [](const Home& h) { return h.fromSchema && h.made; });
        for (const auto& [root, g] : byRoot_) {
            if (dropped_.count(&g) || (schemaUsed && schemaTrees_.count(&g)))
                continue;
            std::string where = g.where;
            if (auto r = refused_.find(&g); r != refused_.end())
                where += " AND " + r->second;
            exec(db_, "INSERT INTO main." + quoteIdent(name_) + " SELECT * FROM " + laf_ +
                          " WHERE " + where);
        }
    }

    sqlite3* db_;
    const RebuildLayout& layout_;
    std::string schemaName_, schema_, name_, laf_;
    std::map<long long, Group> byRoot_;
    std::vector<Home> homes_;
    std::vector<std::pair<std::string, std::string>> later_; // views and triggers, made last
    std::set<const Group*> schemaTrees_;                     // rows of the old schema
    std::set<const Group*> dropped_;                         // moved whole, or index b-trees
    std::map<const Group*, std::string> refused_; // moved but for rows the table refused:
                                                  // the condition that picks those
};

} // namespace

bool rebuildCatalogue(sqlite3* db, const std::string& schema, const std::string& laf,
                      const RebuildLayout& layout, RepairNotes* notes) {
    return Rebuild(db, schema, laf, layout).run(notes);
}

} // namespace engine
