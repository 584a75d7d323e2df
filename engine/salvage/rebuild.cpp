// Rebuilding a file whose schema was lost. SQLite's recovery then puts every
// row of every b-tree into its lost-and-found table, tagged with the b-tree's
// root page; the layout the caller knows (for a catalogue, catalogue/ hands in
// what docs/catalogue-format.md describes) is enough to tell most of those
// b-trees apart again. Whatever cannot be told
// apart with confidence stays where the recovery put it: a wrong guess would
// silently mix one table's rows into another.
#include "rebuild.h"

#include "sqlite_handle.h"

#include <algorithm>
#include <future>
#include <map>
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

// Rows of lost-and-found below which a second connection costs more than it saves.
constexpr long long splitAtLeast = 10000;

// True when the column is NULL or an integer that fits 32 bits.
bool int32(sqlite3_stmt* st, int col) {
    int type = sqlite3_column_type(st, col);
    if (type == SQLITE_NULL)
        return true;
    long long v = sqlite3_column_int64(st, col);
    return type == SQLITE_INTEGER && v >= -2147483648LL && v <= 2147483647LL;
}

// Where each field of a table is in the lost-and-found table: the key (the
// INTEGER PRIMARY KEY, else the rowid) in id, the others in c0, c1, ...
std::vector<std::pair<std::string, std::string>> homeOf(const RebuildLayout::Table& table,
                                                        bool keyed) {
    std::vector<std::pair<std::string, std::string>> columns;
    if (!keyed)
        columns.emplace_back("rowid", "id");
    for (size_t i = 0; i < table.fields.size(); ++i)
        columns.emplace_back(table.fields[i], keyed && i == 0 ? "id" : "c" + std::to_string(i));
    return columns;
}

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

// A row without the shape: the values kept for it are of no more use.
void drop(std::vector<long long>& values, bool& shape) {
    shape = false;
    std::vector<long long>().swap(values);
}

// One b-tree's rows in the lost-and-found table, and what one pass over them
// saw: whether every row has the shape of an item, of a lookup entry or of an
// index entry, and the values telling those apart.
struct Group {
    long long root = 0;
    long long rows = 0;
    int fields = -1;          // -1 when its rows differ in field count
    bool keyed = false;       // a table b-tree: every row has a rowid
    bool withRowid = false;   // some row has a rowid
    long long lo = 0, hi = 0; // the least and greatest rowid of its rows
    int least = 0, most = 0;  // the least and greatest field count
    long long withIds = 0;    // rows that have a rowid
    std::string where;        // the condition that picks its rows

    bool item = true;             // c0 NULL (the item number is the rowid), references 32-bit
    bool entry = true;            // a 32-bit integer code and a text or NULL name
    bool entries = true;          // an integer last field (an index entry's rowid)
    bool marker = false;          // the row of least rowid names the product
    long long first = 0;          // that rowid
    std::vector<long long> ids;   // the rowids, of rows that have one
    std::vector<long long> codes; // c0, while every row is a lookup entry
    std::vector<long long> last;  // the last field, while every row lacks a rowid
    std::vector<std::vector<long long>> named; // per lookup, the codes the item fields name
};

// Groups the rows of a lost-and-found table whose rowids lie in a range by
// b-tree, noting for each b-tree what its rows look like.
struct Scan {
    int columns = 0; // c0 ... c(columns - 1)
    const RebuildLayout* layout = nullptr;

    void run(sqlite3* db, const std::string& table, long long from, long long to,
             std::map<long long, Group>& byRoot) const {
        auto c = [&](int i) { return i < columns ? "c" + std::to_string(i) : std::string("NULL"); };
        std::string last = "CASE nfield";
        for (int i = 0; i < columns; ++i)
            last += " WHEN " + std::to_string(i + 1) + " THEN c" + std::to_string(i);
        last += " END";
        // The item fields that name lookup codes follow c0 and c1, each with
        // the lookup it names.
        std::string refs;
        std::vector<size_t> lookupOf;
        for (size_t i = 0; i < layout->lookups.size(); ++i)
            for (int field : layout->lookups[i].references) {
                refs += c(field) + ", ";
                lookupOf.push_back(i);
            }
        const int lastAt = 6 + static_cast<int>(lookupOf.size());
        const int itemFields = static_cast<int>(layout->items.fields.size());
        const std::string& marker = layout->marker;
        Stmt st(db, "SELECT rootpgno, rowid, nfield, id, " + c(0) + ", " + c(1) + ", " + refs +
                        last + " FROM " + table + " WHERE rowid BETWEEN ?1 AND ?2");
        st.bind(1, from);
        st.bind(2, to);
        sqlite3_stmt* s = st.get();
        Group* g = nullptr;
        while (st.step()) {
            long long root = st.integer(0), at = st.integer(1);
            int n = static_cast<int>(st.integer(2));
            if (!g || g->root != root) {
                g = &byRoot[root];
                if (g->rows == 0) {
                    g->named.resize(layout->lookups.size());
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
            // Types first: reading a value as text may convert it.
            const int type0 = sqlite3_column_type(s, 4), type1 = sqlite3_column_type(s, 5);
            if (sqlite3_column_type(s, 3) != SQLITE_NULL) {
                long long id = st.integer(3);
                if (g->withIds++ == 0 || id < g->first) {
                    g->first = id;
                    g->marker =
                        type0 == SQLITE_TEXT && columnView(s, 4).substr(0, marker.size()) == marker;
                }
                g->ids.push_back(id);
                drop(g->last, g->entries);
            } else if (g->entries) {
                if (sqlite3_column_type(s, lastAt) == SQLITE_INTEGER)
                    g->last.push_back(st.integer(lastAt));
                else
                    drop(g->last, g->entries);
            }
            if (g->entry) {
                if (n == 2 && type0 == SQLITE_INTEGER && int32(s, 4) &&
                    (type1 == SQLITE_TEXT || type1 == SQLITE_NULL))
                    g->codes.push_back(st.integer(4));
                else
                    drop(g->codes, g->entry);
            }
            if (g->item) {
                bool shape = n == itemFields && type0 == SQLITE_NULL;
                for (int col = 6; shape && col < lastAt; ++col)
                    shape = int32(s, col);
                if (shape) {
                    for (int col = 6; col < lastAt; ++col) {
                        if (sqlite3_column_type(s, col) == SQLITE_NULL)
                            continue;
                        long long v = st.integer(col);
                        if (v != -1)
                            g->named[lookupOf[static_cast<size_t>(col - 6)]].push_back(v);
                    }
                } else {
                    g->item = false;
                    for (auto& v : g->named)
                        std::vector<long long>().swap(v);
                }
            }
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
        whole.marker = part.marker;
    }
    whole.rows += part.rows;
    whole.withIds += part.withIds;
    whole.lo = std::min(whole.lo, part.lo);
    whole.hi = std::max(whole.hi, part.hi);
    whole.least = std::min(whole.least, part.least);
    whole.most = std::max(whole.most, part.most);
    auto join = [](std::vector<long long>& to, std::vector<long long>& from, bool keep) {
        if (keep)
            to.insert(to.end(), from.begin(), from.end());
        else
            std::vector<long long>().swap(to);
    };
    whole.item = whole.item && part.item;
    whole.entry = whole.entry && part.entry;
    whole.entries = whole.entries && part.entries;
    join(whole.ids, part.ids, true);
    join(whole.codes, part.codes, whole.entry);
    join(whole.last, part.last, whole.entries);
    for (size_t i = 0; i < whole.named.size(); ++i)
        join(whole.named[i], part.named[i], whole.item);
}

class Rebuild {
public:
    Rebuild(sqlite3* db, const std::string& schema, const std::string& laf,
            const RebuildLayout& layout)
        : db_(db), layout_(layout), schemaName_(schema), schema_(quoteIdent(schema)), name_(laf),
          laf_(schema_ + "." + quoteIdent(laf)) {}

    bool run() {
        if (layout_.items.fields.empty() || layout_.info.fields.empty())
            return false;
        if (one("SELECT count(*) FROM " + schema_ +
                ".sqlite_schema WHERE type='table' AND name=" + quoteLiteral(name_)) == "0")
            return false;
        readGroups();
        const auto itemFields = static_cast<int>(layout_.items.fields.size());
        const auto infoFields = static_cast<int>(layout_.info.fields.size());
        const Group* items =
            unique([&](const Group& g) { return g.fields == itemFields && g.item; });
        const Group* info =
            unique([&](const Group& g) { return g.fields == infoFields && g.marker; });
        if (!items || !info)
            return false;
        std::map<const RebuildLayout::Lookup*, const Group*> homes = matchLookups(*items);
        markIndexTrees();

        for (const std::string& sql : layout_.tables)
            exec(db_, sql);
        move(*items, layout_.items, true);
        move(*info, layout_.info, false);
        for (const auto& [lookup, group] : homes)
            move(*group, lookup->table, false);
        keepTheRest();
        for (const std::string& sql : layout_.indexes)
            exec(db_, sql);
        return true;
    }

private:
    std::string one(const std::string& sql) { return queryText(db_, sql); }

    // One pass over the lost-and-found table, its two halves side by side on
    // two connections. The recovery writes each b-tree's rows one after the
    // other, so a b-tree's rows are mostly a range of rowids; where they are
    // not, an index finds them.
    void readGroups() {
        Scan scan;
        scan.layout = &layout_;
        scan.columns = std::stoi(one("SELECT count(*) - 4 FROM pragma_table_info(" +
                                     quoteLiteral(name_) + ", " + quoteLiteral(schemaName_) + ")"));
        Stmt range(db_, "SELECT min(rowid), max(rowid) FROM " + laf_);
        range.step();
        const long long lo = range.integer(0), hi = range.integer(1);
        range.finalize();
        const char* file = sqlite3_db_filename(db_, schemaName_.c_str());
        if (hi - lo < splitAtLeast || !file || !*file) {
            scan.run(db_, laf_, lo, hi, byRoot_);
        } else {
            const long long mid = lo + (hi - lo) / 2;
            std::map<long long, Group> upper;
            auto other = std::async(std::launch::async, [&] {
                DbHandle peer = openConnection(file, SQLITE_OPEN_READONLY);
                exec(peer.get(), "PRAGMA mmap_size=" + std::to_string(1LL << 40));
                scan.run(peer.get(), "main." + quoteIdent(name_), mid + 1, hi, upper);
            });
            // The other half is waited for however this one ends.
            try {
                scan.run(db_, laf_, lo, mid, byRoot_);
            } catch (...) {
                other.wait();
                throw;
            }
            other.get();
            for (auto& [root, part] : upper)
                merge(byRoot_[root], std::move(part));
        }
        bool ranges = true;
        for (auto& [root, group] : byRoot_) {
            if (group.least == group.most)
                group.fields = group.least;
            group.keyed = group.withIds == group.rows;
            group.withRowid = group.withIds > 0;
            ranges = ranges && group.hi - group.lo + 1 == group.rows;
        }
        if (!ranges)
            exec(db_, "CREATE INDEX " + schema_ + "." + quoteIdent(name_ + "_groups") + " ON " +
                          quoteIdent(name_) + " (rootpgno, id)");
        for (auto& [root, group] : byRoot_)
            group.where = ranges ? "rowid BETWEEN " + std::to_string(group.lo) + " AND " +
                                       std::to_string(group.hi)
                                 : "rootpgno=" + std::to_string(group.root);
    }

    // The one table b-tree that fits; none when none or several do.
    template <class Fits> const Group* unique(Fits fits) const {
        const Group* found = nullptr;
        for (const auto& [root, g] : byRoot_) {
            if (!g.keyed || !fits(g))
                continue;
            if (found)
                return nullptr;
            found = &g;
        }
        return found;
    }

    // Each lookup table's b-tree, for those whose codes match what one item
    // field refers to, clearly better than any other b-tree does and no other
    // field's best match.
    std::map<const RebuildLayout::Lookup*, const Group*> matchLookups(const Group& items) {
        std::map<const Group*, std::vector<long long>> codes;
        for (auto& [root, g] : byRoot_)
            if (g.keyed && g.fields == 2 && g.entry)
                if (auto c = sortedSet(std::move(g.codes));
                    static_cast<long long>(c.size()) == g.rows)
                    codes[&g] = std::move(c);
        std::map<const RebuildLayout::Lookup*, const Group*> chosen;
        std::map<const Group*, int> takers;
        for (size_t i = 0; i < layout_.lookups.size(); ++i) {
            const std::vector<long long> named = sortedSet(items.named[i]);
            if (named.empty())
                continue;
            double best = 0, second = 0;
            const Group* bestGroup = nullptr;
            for (const auto& [group, c] : codes) {
                size_t both = shared(named, c);
                double explained = double(both) / double(named.size());
                double match = double(both) / double(named.size() + c.size() - both);
                if (explained < explainedAtLeast)
                    continue;
                if (match > best) {
                    second = best;
                    best = match;
                    bestGroup = group;
                } else if (match > second) {
                    second = match;
                }
            }
            if (best >= matchAtLeast && best - second >= leadAtLeast) {
                chosen[&layout_.lookups[i]] = bestGroup;
                ++takers[bestGroup];
            }
        }
        std::map<const RebuildLayout::Lookup*, const Group*> homes;
        for (const auto& [lookup, group] : chosen)
            if (takers[group] == 1)
                homes[lookup] = group;
        return homes;
    }

    // The index b-trees: no rowids, one entry per row of a table b-tree,
    // each ending in a distinct rowid of that table.
    void markIndexTrees() {
        std::set<Group*> sorted; // table b-trees whose rowids are sorted
        for (auto& [root, g] : byRoot_) {
            if (g.withRowid || g.fields < 2 || !g.entries)
                continue;
            std::sort(g.last.begin(), g.last.end());
            for (auto& [troot, t] : byRoot_) {
                if (!t.keyed || t.rows != g.rows)
                    continue;
                if (sorted.insert(&t).second)
                    std::sort(t.ids.begin(), t.ids.end());
                // Both sorted, the table's rowids distinct: equal lists mean
                // one entry for each row.
                if (g.last == t.ids &&
                    std::adjacent_find(t.ids.begin(), t.ids.end()) == t.ids.end()) {
                    dropped_.insert(&g);
                    break;
                }
            }
        }
    }

    // Moves g's rows into its home. Rows the table refuses (a key taken, a
    // check failed) stay, unless the table holds the very same row.
    void move(const Group& g, const RebuildLayout::Table& home, bool keyed) {
        std::string names, fields, same;
        for (const auto& [column, field] : homeOf(home, keyed)) {
            const std::string name = quoteIdent(column);
            names += (names.empty() ? "" : ", ") + name;
            fields += (fields.empty() ? "" : ", ") + field;
            same += (same.empty() ? "" : " AND ") + name + " IS " + field;
        }
        const std::string table = "main." + quoteIdent(home.name);
        exec(db_, "INSERT OR IGNORE INTO " + table + " (" + names + ") SELECT " + fields +
                      " FROM " + laf_ + " WHERE " + g.where);
        if (sqlite3_changes64(db_) == g.rows)
            dropped_.insert(&g);
        else
            refused_[&g] = "NOT EXISTS (SELECT 1 FROM " + table + " WHERE " + same + ")";
    }

    // Copies into the new file's own lost-and-found table the rows that were
    // neither moved nor of a dropped index b-tree, a b-tree at a time.
    void keepTheRest() {
        const std::string sql =
            one("SELECT sql FROM " + schema_ +
                ".sqlite_schema WHERE type='table' AND name=" + quoteLiteral(name_));
        exec(db_, "CREATE TABLE main." + quoteIdent(name_) + sql.substr(sql.find('(')));
        for (const auto& [root, g] : byRoot_) {
            if (dropped_.count(&g))
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
    std::set<const Group*> dropped_;              // moved whole, or index b-trees
    std::map<const Group*, std::string> refused_; // moved but for rows the table refused:
                                                  // the condition that picks those
};

} // namespace

bool rebuildCatalogue(sqlite3* db, const std::string& schema, const std::string& laf,
                      const RebuildLayout& layout) {
    return Rebuild(db, schema, laf, layout).run();
}

} // namespace engine
