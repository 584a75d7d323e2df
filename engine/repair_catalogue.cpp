// Rebuilding a catalogue whose schema was lost. SQLite's recovery then puts
// every row of every b-tree into its lost-and-found table, tagged with the
// b-tree's root page; what a catalogue holds (docs/catalogue-format.md) is
// enough to tell most of those b-trees apart again. Whatever cannot be told
// apart with confidence stays where the recovery put it: a wrong guess would
// silently mix one table's rows into another.
#include "repair_catalogue.h"

#include "sqlite_handle.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace engine {

namespace {

const char* const catalogueTables[] = {
    "CREATE TABLE [FILEINFO] ([Product Name] TEXT, [Catalogue Name] TEXT, [Created] TEXT)",
    "CREATE TABLE [Subjects] ([Subject Code] INTEGER NOT NULL CHECK ([Subject Code] BETWEEN "
    "-2147483648 AND 2147483647), [Subject Name] TEXT)",
    "CREATE TABLE [Publishers] ([Publisher Code] INTEGER NOT NULL CHECK ([Publisher Code] "
    "BETWEEN -2147483648 AND 2147483647), [Publisher Name] TEXT)",
    "CREATE TABLE [Types] ([Type Code] INTEGER NOT NULL CHECK ([Type Code] BETWEEN -2147483648 "
    "AND 2147483647), [Type Name] TEXT)",
    "CREATE TABLE [MERVANE RECORDS] ([Item Number] INTEGER PRIMARY KEY, [Title] TEXT, [Author] "
    "TEXT, [Subject 1] INTEGER CHECK ([Subject 1] BETWEEN -2147483648 AND 2147483647), "
    "[Subject 2] INTEGER CHECK ([Subject 2] BETWEEN -2147483648 AND 2147483647), [Publisher] "
    "INTEGER CHECK ([Publisher] BETWEEN -2147483648 AND 2147483647), [Item Type] INTEGER CHECK "
    "([Item Type] BETWEEN -2147483648 AND 2147483647), [Year] INTEGER, [ISBN] TEXT, [Notes] "
    "TEXT)"};

const char* const catalogueIndexes[] = {
    "CREATE UNIQUE INDEX [Subject Code Index] ON [Subjects] ([Subject Code])",
    "CREATE INDEX [Subject Name Index] ON [Subjects] ([Subject Name] COLLATE NOCASE)",
    "CREATE UNIQUE INDEX [Publisher Code Index] ON [Publishers] ([Publisher Code])",
    "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Publisher Name] COLLATE NOCASE)",
    "CREATE UNIQUE INDEX [Type Code Index] ON [Types] ([Type Code])",
    "CREATE INDEX [Type Name Index] ON [Types] ([Type Name] COLLATE NOCASE)",
    "CREATE INDEX [Subject 1 Index] ON [MERVANE RECORDS] ([Subject 1])",
    "CREATE INDEX [Subject 2 Index] ON [MERVANE RECORDS] ([Subject 2])",
    "CREATE INDEX [Publisher Index] ON [MERVANE RECORDS] ([Publisher])",
    "CREATE INDEX [Item Type Index] ON [MERVANE RECORDS] ([Item Type])"};

// A lookup table, the item fields that name its codes (as lost-and-found
// columns) and the statement that moves a b-tree's rows into it.
struct Lookup {
    const char* table;
    std::vector<const char*> references;
    const char* insert;
};

const Lookup lookups[] = {
    {"Subjects",
     {"c3", "c4"},
     "INSERT OR IGNORE INTO main.[Subjects] (rowid, [Subject Code], [Subject Name]) "},
    {"Publishers",
     {"c5"},
     "INSERT OR IGNORE INTO main.[Publishers] (rowid, [Publisher Code], [Publisher Name]) "},
    {"Types", {"c6"}, "INSERT OR IGNORE INTO main.[Types] (rowid, [Type Code], [Type Name]) "}};

// How close a match must be. Every code an item column names must be in the
// table (a few may be lost with damaged pages), most of the table's codes
// must be named, and the runner-up must be clearly worse.
constexpr double explainedAtLeast = 0.95;
constexpr double matchAtLeast = 0.8;
constexpr double leadAtLeast = 0.2;

std::string int32(const std::string& c) {
    return "(" + c + " IS NULL OR (typeof(" + c + ")='integer' AND " + c +
           " BETWEEN -2147483648 AND 2147483647))";
}

// One b-tree's rows in the lost-and-found table.
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
};

class Rebuild {
public:
    Rebuild(sqlite3* db, const std::string& laf)
        : db_(db), name_(laf), laf_(quoteIdent(laf)), scratch_(quoteIdent(laf + "_groups")) {}

    bool run() {
        if (one("SELECT count(*) FROM sqlite_schema WHERE type='table' AND name=" +
                quoteLiteral(name_)) == "0")
            return false;
        readGroups();
        std::optional<Group> items = unique([&](const Group& g) {
            return g.fields == 10 &&
                   all(g, "c0 IS NULL AND " + int32("c3") + " AND " + int32("c4") + " AND " +
                              int32("c5") + " AND " + int32("c6"));
        });
        std::optional<Group> info = unique([&](const Group& g) {
            return g.fields == 3 && one("SELECT c0 GLOB 'Mervane *' AND typeof(c0)='text' FROM " +
                                        laf_ + " WHERE " + g.where + " ORDER BY id LIMIT 1") == "1";
        });
        if (!items || !info) {
            if (indexed_)
                exec(db_, "DROP INDEX " + scratch_);
            return false;
        }
        std::map<const Lookup*, Group> homes = matchLookups(*items);
        std::vector<Group> indexes = indexTrees();

        for (const char* sql : catalogueTables)
            exec(db_, sql);
        move(*items, "MERVANE RECORDS",
             "INSERT OR IGNORE INTO main.[MERVANE RECORDS] ([Item Number], [Title], [Author], "
             "[Subject 1], [Subject 2], [Publisher], [Item Type], [Year], [ISBN], [Notes]) "
             "SELECT id, c1, c2, c3, c4, c5, c6, c7, c8, c9");
        move(*info, "FILEINFO",
             "INSERT INTO main.[FILEINFO] (rowid, [Product Name], [Catalogue Name], [Created]) "
             "SELECT id, c0, c1, c2");
        for (const auto& [lookup, group] : homes)
            move(group, lookup->table, std::string(lookup->insert) + "SELECT id, c0, c1");
        keepTheRest(indexes);
        for (const char* sql : catalogueIndexes)
            exec(db_, sql);
        return true;
    }

private:
    std::string one(const std::string& sql) { return queryText(db_, sql); }

    // True when every row of g meets cond.
    bool all(const Group& g, const std::string& cond) {
        return one("SELECT NOT EXISTS (SELECT 1 FROM " + laf_ + " WHERE " + g.where + " AND NOT (" +
                   cond + "))") == "1";
    }

    // One pass over the lost-and-found table. The recovery writes each
    // b-tree's rows one after the other, so a b-tree's rows are mostly a
    // range of rowids; where they are not, an index finds them.
    void readGroups() {
        std::map<long long, Group> byRoot;
        Group* g = nullptr;
        Stmt st(db_, "SELECT rootpgno, rowid, nfield, id IS NOT NULL FROM " + laf_);
        while (st.step()) {
            long long root = st.integer(0), at = st.integer(1);
            int n = static_cast<int>(st.integer(2));
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
            g->withIds += st.integer(3);
        }
        bool ranges = true;
        for (auto& [root, group] : byRoot) {
            if (group.least == group.most)
                group.fields = group.least;
            group.keyed = group.withIds == group.rows;
            group.withRowid = group.withIds > 0;
            ranges = ranges && group.hi - group.lo + 1 == group.rows;
            groups_.push_back(group);
        }
        if (!ranges) {
            exec(db_, "CREATE INDEX " + scratch_ + " ON " + laf_ + " (rootpgno, id)");
            indexed_ = true;
        }
        for (auto& group : groups_)
            group.where = ranges ? "rowid BETWEEN " + std::to_string(group.lo) + " AND " +
                                       std::to_string(group.hi)
                                 : "rootpgno=" + std::to_string(group.root);
    }

    // The one table b-tree that fits; none when none or several do.
    template <class Fits> std::optional<Group> unique(Fits fits) {
        std::optional<Group> found;
        for (const auto& g : groups_) {
            if (!g.keyed || !fits(g))
                continue;
            if (found)
                return std::nullopt;
            found = g;
        }
        return found;
    }

    std::set<long long> values(const std::string& sql) {
        std::set<long long> out;
        Stmt st(db_, sql);
        while (st.step())
            out.insert(st.integer(0));
        return out;
    }

    // Each lookup table's b-tree, for those whose codes match what one item
    // field refers to, clearly better than any other b-tree does and no other
    // field's best match.
    std::map<const Lookup*, Group> matchLookups(const Group& items) {
        std::map<long long, std::set<long long>> codes;
        for (const auto& g : groups_)
            if (g.keyed && g.fields == 2 &&
                all(g, "typeof(c0)='integer' AND c0 BETWEEN -2147483648 AND 2147483647 AND "
                       "typeof(c1) IN ('text','null')"))
                if (auto c = values("SELECT c0 FROM " + laf_ + " WHERE " + g.where);
                    static_cast<long long>(c.size()) == g.rows)
                    codes[g.root] = std::move(c);
        std::map<const Lookup*, long long> chosen;
        std::map<long long, int> takers;
        for (const Lookup& l : lookups) {
            std::set<long long> named;
            for (const char* column : l.references)
                named.merge(values("SELECT DISTINCT " + std::string(column) + " FROM " + laf_ +
                                   " WHERE " + items.where + " AND " + column +
                                   " IS NOT NULL AND " + column + " <> -1"));
            if (named.empty())
                continue;
            double best = 0, second = 0;
            long long bestRoot = 0;
            for (const auto& [root, c] : codes) {
                size_t both = 0;
                for (long long v : named)
                    both += c.count(v);
                double explained = double(both) / double(named.size());
                double match = double(both) / double(named.size() + c.size() - both);
                if (explained < explainedAtLeast)
                    continue;
                if (match > best) {
                    second = best;
                    best = match;
                    bestRoot = root;
                } else if (match > second) {
                    second = match;
                }
            }
            if (best >= matchAtLeast && best - second >= leadAtLeast) {
                chosen[&l] = bestRoot;
                ++takers[bestRoot];
            }
        }
        std::map<const Lookup*, Group> homes;
        for (const auto& [lookup, root] : chosen)
            if (takers[root] == 1)
                for (const auto& g : groups_)
                    if (g.root == root)
                        homes[lookup] = g;
        return homes;
    }

    // The index b-trees: no rowids, one entry per row of a table b-tree,
    // each ending in a distinct rowid of that table.
    std::vector<Group> indexTrees() {
        std::vector<Group> out;
        std::map<long long, std::vector<long long>> rowids; // of table b-trees, read once
        for (const auto& g : groups_) {
            if (g.withRowid || g.fields < 2)
                continue;
            std::vector<long long> last;
            Stmt st(db_, "SELECT c" + std::to_string(g.fields - 1) + " FROM " + laf_ + " WHERE " +
                             g.where);
            bool integers = true;
            while (integers && st.step()) {
                integers = sqlite3_column_type(st.get(), 0) == SQLITE_INTEGER;
                last.push_back(st.integer(0));
            }
            if (!integers)
                continue;
            std::sort(last.begin(), last.end());
            for (const auto& t : groups_) {
                if (!t.keyed || t.rows != g.rows)
                    continue;
                auto [at, added] = rowids.try_emplace(t.root);
                if (added) {
                    Stmt ids(db_, "SELECT id FROM " + laf_ + " WHERE " + t.where + " ORDER BY id");
                    while (ids.step())
                        at->second.push_back(ids.integer(0));
                }
                // Both sorted, the table's rowids distinct: equal lists mean
                // one entry for each row.
                if (last == at->second) {
                    out.push_back(g);
                    break;
                }
            }
        }
        return out;
    }

    // Moves g's rows into table with insert (completed by the FROM clause);
    // rows the table refuses stay.
    void move(const Group& g, const std::string& table, const std::string& insert) {
        exec(db_, insert + " FROM " + laf_ + " WHERE " + g.where);
        if (sqlite3_changes64(db_) == g.rows)
            moved_ += " AND NOT (" + g.where + ")";
        else
            moved_ += " AND NOT (" + g.where + " AND id IN (SELECT rowid FROM main." +
                      quoteIdent(table) + "))";
    }

    // Leaves in the lost-and-found table only the rows that were not moved,
    // nor of the dropped index b-trees: most rows go, so the few that stay
    // are copied to a new table rather than the others deleted one by one.
    void keepTheRest(const std::vector<Group>& indexes) {
        std::string keep = "1" + moved_;
        for (const auto& g : indexes)
            keep += " AND NOT (" + g.where + ")";
        const std::string rest = quoteIdent(name_ + "_rest");
        const std::string sql =
            one("SELECT sql FROM sqlite_schema WHERE type='table' AND name=" + quoteLiteral(name_));
        exec(db_, "CREATE TABLE " + rest + sql.substr(sql.find('(')));
        exec(db_, "INSERT INTO " + rest + " SELECT * FROM " + laf_ + " WHERE " + keep);
        exec(db_, "DROP TABLE " + laf_);
        exec(db_, "ALTER TABLE " + rest + " RENAME TO " + laf_);
    }

    sqlite3* db_;
    std::string name_, laf_;
    std::string scratch_; // an index on the b-tree and rowid of each row, dropped again
    std::string moved_;   // conditions that leave out the rows moved so far
    bool indexed_ = false;
    std::vector<Group> groups_;
};

} // namespace

bool rebuildCatalogue(sqlite3* db, const std::string& laf) {
    return Rebuild(db, laf).run();
}

} // namespace engine
