// Rebuilding a catalogue whose schema was lost. SQLite's recovery then puts
// every row of every b-tree into its lost-and-found table, tagged with the
// b-tree's root page; what a catalogue holds (docs/catalogue-format.md) is
// enough to tell most of those b-trees apart again. Whatever cannot be told
// apart with confidence stays where the recovery put it: a wrong guess would
// silently mix one table's rows into another.
#include "repair_catalogue.h"

#include "sqlite_handle.h"

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
    int fields = -1;    // -1 when its rows differ in field count
    bool keyed = false; // a table b-tree: every row has a rowid
};

class Rebuild {
public:
    Rebuild(sqlite3* db, const std::string& laf)
        : db_(db), name_(laf), laf_(quoteIdent(laf)), scratch_(quoteIdent(laf + "_groups")) {}

    bool run() {
        if (one("SELECT count(*) FROM sqlite_schema WHERE type='table' AND name=" +
                quoteLiteral(name_)) == "0")
            return false;
        exec(db_, "CREATE INDEX " + scratch_ + " ON " + laf_ + " (rootpgno, id)");
        readGroups();
        std::optional<Group> items = unique([&](const Group& g) {
            return g.fields == 10 &&
                   all(g, "c0 IS NULL AND " + int32("c3") + " AND " + int32("c4") + " AND " +
                              int32("c5") + " AND " + int32("c6"));
        });
        std::optional<Group> info = unique([&](const Group& g) {
            return g.fields == 3 &&
                   one("SELECT c0 GLOB 'Mervane *' AND typeof(c0)='text' FROM " + laf_ +
                       " WHERE rootpgno=" + std::to_string(g.root) + " ORDER BY id LIMIT 1") == "1";
        });
        if (!items || !info) {
            exec(db_, "DROP INDEX " + scratch_);
            return false;
        }
        std::map<const Lookup*, long long> homes = matchLookups(*items);
        std::vector<long long> indexes = indexTrees();

        for (const char* sql : catalogueTables)
            exec(db_, sql);
        move(*items, "MERVANE RECORDS",
             "INSERT OR IGNORE INTO main.[MERVANE RECORDS] ([Item Number], [Title], [Author], "
             "[Subject 1], [Subject 2], [Publisher], [Item Type], [Year], [ISBN], [Notes]) "
             "SELECT id, c1, c2, c3, c4, c5, c6, c7, c8, c9");
        move(*info, "FILEINFO",
             "INSERT INTO main.[FILEINFO] (rowid, [Product Name], [Catalogue Name], [Created]) "
             "SELECT id, c0, c1, c2");
        for (const auto& [lookup, root] : homes)
            move(Group{root}, lookup->table, std::string(lookup->insert) + "SELECT id, c0, c1");
        for (long long root : indexes)
            exec(db_, "DELETE FROM " + laf_ + " WHERE rootpgno=" + std::to_string(root));
        exec(db_, "DROP INDEX " + scratch_);
        for (const char* sql : catalogueIndexes)
            exec(db_, sql);
        return true;
    }

private:
    std::string one(const std::string& sql) { return queryText(db_, sql); }

    // True when every row of g meets cond.
    bool all(const Group& g, const std::string& cond) {
        return one("SELECT NOT EXISTS (SELECT 1 FROM " + laf_ +
                   " WHERE rootpgno=" + std::to_string(g.root) + " AND NOT (" + cond + "))") == "1";
    }

    void readGroups() {
        Stmt st(db_, "SELECT rootpgno, count(*), min(nfield), max(nfield), count(id) FROM " + laf_ +
                         " GROUP BY rootpgno");
        while (st.step()) {
            Group g;
            g.root = st.integer(0);
            g.rows = st.integer(1);
            if (st.integer(2) == st.integer(3))
                g.fields = static_cast<int>(st.integer(2));
            g.keyed = st.integer(4) == g.rows;
            groups_.push_back(g);
        }
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
    std::map<const Lookup*, long long> matchLookups(const Group& items) {
        std::map<long long, std::set<long long>> codes;
        for (const auto& g : groups_)
            if (g.keyed && g.fields == 2 &&
                all(g, "typeof(c0)='integer' AND c0 BETWEEN -2147483648 AND 2147483647 AND "
                       "typeof(c1) IN ('text','null')"))
                if (auto c = values("SELECT c0 FROM " + laf_ +
                                    " WHERE rootpgno=" + std::to_string(g.root));
                    static_cast<long long>(c.size()) == g.rows)
                    codes[g.root] = std::move(c);
        std::map<const Lookup*, long long> chosen;
        std::map<long long, int> takers;
        for (const Lookup& l : lookups) {
            std::set<long long> named;
            for (const char* column : l.references)
                named.merge(values("SELECT DISTINCT " + std::string(column) + " FROM " + laf_ +
                                   " WHERE rootpgno=" + std::to_string(items.root) + " AND " +
                                   column + " IS NOT NULL AND " + column + " <> -1"));
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
        for (auto it = chosen.begin(); it != chosen.end();)
            it = takers[it->second] > 1 ? chosen.erase(it) : std::next(it);
        return chosen;
    }

    // The index b-trees: no rowids, one entry per row of a table b-tree,
    // each ending in a distinct rowid of that table.
    std::vector<long long> indexTrees() {
        std::vector<long long> out;
        for (const auto& g : groups_) {
            if (g.keyed || g.fields < 2 ||
                one("SELECT count(*) FROM " + laf_ +
                    " WHERE id IS NOT NULL AND rootpgno=" + std::to_string(g.root)) != "0")
                continue;
            const std::string last = "c" + std::to_string(g.fields - 1);
            for (const auto& t : groups_) {
                if (!t.keyed || t.rows != g.rows)
                    continue;
                if (all(g, "typeof(" + last + ")='integer' AND EXISTS (SELECT 1 FROM " + laf_ +
                               " t WHERE t.rootpgno=" + std::to_string(t.root) +
                               " AND t.id=" + laf_ + "." + last + ")") &&
                    one("SELECT count(DISTINCT " + last + ") FROM " + laf_ +
                        " WHERE rootpgno=" + std::to_string(g.root)) == std::to_string(g.rows)) {
                    out.push_back(g.root);
                    break;
                }
            }
        }
        return out;
    }

    // Moves g's rows into table with insert (completed by the FROM clause);
    // rows the table refuses stay.
    void move(const Group& g, const std::string& table, const std::string& insert) {
        const std::string root = std::to_string(g.root);
        exec(db_, insert + " FROM " + laf_ + " WHERE rootpgno=" + root);
        exec(db_, "DELETE FROM " + laf_ + " WHERE rootpgno=" + root +
                      " AND id IN (SELECT rowid FROM main." + quoteIdent(table) + ")");
    }

    sqlite3* db_;
    std::string name_, laf_;
    std::string scratch_; // an index on the b-tree and rowid of each row, dropped again
    std::vector<Group> groups_;
};

} // namespace

bool rebuildCatalogue(sqlite3* db, const std::string& laf) {
    return Rebuild(db, laf).run();
}

} // namespace engine
