// Repair tests: damaged copies of a generated catalogue come back sound with every row
// SQLite's own recovery reads and none deleted before; sound files and bad input stay.
#include "engine.h"
#include "rebuild.h"
#include "samplegen.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sqlite3recover.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;
using namespace engine;
using namespace testsupport;

namespace {

using Path = const std::string&;

// Each row as quoted fields joined by ',': as a record, quote(rowid) first and an INTEGER
// PRIMARY KEY's field Null as on disk (and in lost_and_found); else as SELECT * gives them.
std::multiset<std::string> rowsOf(const Sql& db, const std::string& table, bool record = true) {
    std::string cols = record ? "quote(rowid)" : "";
    for (const auto& c : db.rows("SELECT CASE WHEN " + std::to_string(record) +
                                 " AND pk AND upper(type)='INTEGER' THEN 'NULL' ELSE '\"' || name "
                                 "|| '\"' END FROM pragma_table_info('" +
                                 table + "')"))
        cols += (cols.empty() ? "quote(" : " || ',' || quote(") + c + ")";
    auto r = db.rows("SELECT " + cols + " FROM \"" + table + "\"");
    return {r.begin(), r.end()};
}

const auto verdict = [](Path path) { return integrity(Sql(path).get()); };

const auto repair = [](Path path) {
    return errorOf([&] { DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout()); });
};

// The generated catalogue every test copies; or the same with its second thousand items
// deleted, their rows on freed pages, most in key ranges of leaves still in the tree.
const std::string& source(bool deleted = false) {
    static TempDir dir;
    static const std::string pristine = dir / "pristine.M17", withDeletions = [] {
        samplegen::WriteSampleCatalogue(pristine, {.items = 3000, .seed = 7, .truthPath = ""});
        fs::copy_file(pristine, dir / "deleted.M17");
        Sql(dir / "deleted.M17")
            .exec("DELETE FROM [MERVANE RECORDS] WHERE rowid IN (SELECT rowid FROM "
                  "[MERVANE RECORDS] ORDER BY rowid LIMIT 1000 OFFSET 1000)");
        return dir / "deleted.M17";
    }();
    return deleted ? withDeletions : pristine;
}

// Noise, the same on every run.
std::string noise(size_t size, unsigned x) {
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    return out;
}

// The leaves and the interior pages of the named b-tree, found by walking the file's bytes.
std::pair<std::vector<unsigned>, std::vector<unsigned>> treeOf(Path path, const std::string& name) {
    std::string bytes = readFile(path);
    std::pair<std::vector<unsigned>, std::vector<unsigned>> t;
    std::vector<unsigned> todo = {static_cast<unsigned>(
        std::stoul(Sql(path).one("SELECT rootpage FROM sqlite_schema WHERE name='" + name + "'")))};
    while (!todo.empty()) {
        unsigned p = todo.back();
        todo.pop_back();
        size_t page = size_t{p - 1} * be(bytes, 16), h = page + (p == 1 ? 100 : 0);
        bool interior = bytes.at(h) == 2 || bytes.at(h) == 5;
        (interior ? t.second : t.first).push_back(p);
        for (unsigned i = 0, n = be(bytes, h + 3); interior && i <= n; ++i) // the last: h + 8
            todo.push_back(be(bytes, i < n ? page + be(bytes, h + 12 + 2 * i) : h + 8, 4));
    }
    return t;
}

// Zeroes a page of each named b-tree: its last interior page, or its middle leaf.
template <class... N> void zeroPages(Path path, bool interior, N... names) {
    for (const char* name : {names...}) {
        auto [leaves, interiors] = treeOf(path, name);
        ASSERT_FALSE(interior && interiors.empty()) << name << " needs more than one page";
        unsigned page = interior ? interiors.back() : leaves[leaves.size() / 2],
                 size = be(readFile(path), 16);
        overwrite(path, size_t{page - 1} * size, std::string(size, '\0'));
    }
}

// The file's inode and modification time in nanoseconds.
std::pair<ino_t, long long> identity(Path path) {
    struct stat s {};
    ::stat(path.c_str(), &s);
    return {s.st_ino, s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec};
}

// What SQLite's recovery reads from path, written to out as the repair reads: freed pages left.
void recoverCopy(Path path, const std::string& out) {
    fs::copy_file(path, out + ".src");
    Sql in(out + ".src");
    sqlite3_recover* r = sqlite3_recover_init(in.get(), "main", out.c_str());
    int on = 1, off = 0;
    sqlite3_recover_config(r, SQLITE_RECOVER_LOST_AND_FOUND, const_cast<char*>("lost_and_found"));
    sqlite3_recover_config(r, SQLITE_RECOVER_ROWIDS, &on);
    sqlite3_recover_config(r, SQLITE_RECOVER_FREELIST_CORRUPT, &off);
    sqlite3_recover_run(r);
    ASSERT_EQ(sqlite3_recover_finish(r), SQLITE_OK);
}

// The lost-and-found rows of db by field count, as quote(id),quote(c0),...
std::map<std::string, std::multiset<std::string>> strays(const Sql& db) {
    std::map<std::string, std::multiset<std::string>> out;
    if (db.one("SELECT count(*) FROM sqlite_schema WHERE name='lost_and_found'") != "1")
        return out;
    for (const auto& n : db.rows("SELECT DISTINCT nfield FROM lost_and_found")) {
        std::string cols = "quote(id)";
        for (int c = 0; c < std::stoi(n); ++c)
            cols += " || ',' || quote(c" + std::to_string(c) + ")";
        for (const auto& row : db.rows("SELECT " + cols + " FROM lost_and_found WHERE nfield=" + n))
            out[n].insert(row);
    }
    return out;
}

// Every row of the recovered file oracle is in repaired: a table's in that table, a stray row
// still in lost_and_found or back, under its old rowid, in a table of its field count.
void expectEveryRecoveredRow(Path oracle, Path repaired) {
    Sql o(oracle), r(repaired);
    auto now = strays(r); // where a stray row may be now
    for (const auto& t : o.rows("SELECT name FROM sqlite_schema WHERE type='table' AND name <> "
                                "'lost_and_found'")) {
        auto have = rowsOf(r, t);
        for (const auto& row : rowsOf(o, t))
            ASSERT_TRUE(have.count(row)) << "row " << row << " of " << t << " was lost";
        now[r.one("SELECT count(*) FROM pragma_table_info('" + t + "')")].merge(have);
    }
    for (const auto& [n, rows] : strays(o))
        for (const auto& row : rows)
            EXPECT_TRUE(now[n].count(row)) << "lost-and-found row " << row << " was lost";
}

// What a damage leaves, and what is expected of the repair.
enum : unsigned {
    Kept = 1,           // every item readable somewhere
    PristineOracle = 2, // nothing SQLite's recovery reads: every row of the source is expected
    FreedPagesOnly = 4, // needs a file with freed pages
    SubjectsLost = 8,   // Subjects orphaned too: of one shape with two other tables, they stay lost
    InPlace = 16,       // only index contents: the indexes are rebuilt in the file itself
};

const std::tuple<const char*, void (*)(Path), unsigned> damages[] = {
    {"ZeroedTablePage", [](Path p) { zeroPages(p, false, "MERVANE RECORDS"); }, 0},
    // Leaves become orphans; the items' field count is their table's alone.
    {"ZeroedInteriorPages", [](Path p) { zeroPages(p, true, "MERVANE RECORDS", "Subjects"); },
     Kept | SubjectsLost},
    {"ZeroedIndexPage", [](Path p) { zeroPages(p, false, "Subject 1 Index"); }, Kept},
    // Keys changed inside index entries, the pages themselves intact.
    {"ChangedIndexKeys",
     [](Path p) {
         std::string b = readFile(p);
         auto leaves = treeOf(p, "Subject 1 Index").first;
         size_t page = size_t{leaves[leaves.size() / 2] - 1} * be(b, 16);
         int changed = 0;
         // Cell: payload size, header size, two serial types, then the key's first byte.
         for (unsigned cell = 0; cell < be(b, page + 3) && changed < 5; ++cell) {
             size_t at = page + be(b, page + 8 + 2 * cell);
             if (b[at + 2] >= 1 && b[at + 2] <= 4 && ++changed) // an integer with bytes
                 overwrite(p, at + 4, std::string(1, static_cast<char>(b[at + 4] ^ 0x55)));
         }
         ASSERT_EQ(changed, 5);
         ASSERT_EQ(Sql(p).one("PRAGMA quick_check"), "ok") << "the pages must stay intact";
     },
     Kept | InPlace},
    {"TruncatedFile", [](Path p) { fs::resize_file(p, fs::file_size(p) * 6 / 10); }, 0},
    // The magic and every header field gone: only the page structure says SQLite.
    {"ZeroedHeader", [](Path p) { overwrite(p, 0, std::string(100, '\0')); }, Kept},
    // Versions SQLite's recovery stops at, too.
    {"OverwrittenHeader", [](Path p) { overwrite(p, 0, std::string(100, '\xA5')); },
     Kept | PristineOracle},
    // The freelist's first trunk page as noise: the freed pages it listed look like lost items.
    {"GarbageFreelistTrunk",
     [](Path p) {
         std::string b = readFile(p);
         ASSERT_NE(be(b, 32, 4), 0u);
         overwrite(p, size_t{be(b, 32, 4) - 1} * be(b, 16), noise(be(b, 16), 99));
     },
     Kept | FreedPagesOnly},
};

} // namespace

// Each damage, to the generated catalogue and to one whose deleted items lie on freed pages:
// the file comes back sound with every row recovered, none deleted before, and no journal.
TEST(Repair, DamagedCatalogueComesBackSoundWithEveryRecoverableRow) {
    for (const auto& [name, apply, flags] : damages)
        for (int deleted = (flags & FreedPagesOnly) != 0; deleted < 2; ++deleted) {
            SCOPED_TRACE(std::string(name) + (deleted ? " with deleted items" : ""));
            TempDir dir;
            std::string path = dir / "damaged.M17";
            std::string oracle = (flags & PristineOracle) ? source(deleted) : dir / "oracle.db";
            fs::copy_file(source(deleted), path);
            apply(path);
            ASSERT_NE(verdict(path), "ok") << "the damage did not damage";
            if (!(flags & PristineOracle))
                recoverCopy(path, oracle);
            auto inode = identity(path).first;
            ASSERT_EQ(repair(path), 0);
            EXPECT_EQ(verdict(path), "ok");
            EXPECT_TRUE(!(flags & InPlace) || identity(path).first == inode) << "not reindexed";
            expectEveryRecoveredRow(oracle, path);
            Sql after(path);
            // No item that the file did not hold before: none deleted came back.
            ASSERT_TRUE(after.exec("ATTACH '" + source(deleted) + "' AS src"));
            EXPECT_EQ(after.one("SELECT count(*) FROM [MERVANE RECORDS] WHERE rowid NOT IN (SELECT "
                                "rowid FROM src.[MERVANE RECORDS])"),
                      "0");
            EXPECT_TRUE(!(flags & Kept) || after.one("SELECT count(*) FROM [MERVANE RECORDS]") ==
                                               (deleted ? "2000" : "3000"));
            if (flags & SubjectsLost) { // none in Subjects, all lost and found, no item left there
                auto stray = strays(after);
                EXPECT_EQ(after.one("SELECT count(*) FROM Subjects"), "0");
                EXPECT_EQ(stray["10"].size(), 0u);
                for (const auto& row : rowsOf(Sql(source(deleted)), "Subjects"))
                    EXPECT_TRUE(stray["2"].count(row)) << row;
            }
            EXPECT_FALSE(fs::exists(path + "-journal") || fs::exists(path + "-wal"));
        }
}

// Paths that hold no database, a file whose rows show no catalogue (no table would be left: it
// stays for a better tool) and a file another holds are refused, untouched; a sound file is not
// rewritten (same bytes, time and file). Released and named through a symbolic link, the held
// file is rebuilt; the link stays a link.
TEST(Repair, RefusalsLeaveFilesUntouched) {
    TempDir dir;
    ASSERT_TRUE(Sql(dir / "tables.M17")
                    .exec("CREATE TABLE t (a INTEGER, b TEXT); INSERT INTO t VALUES (1, 'x'), "
                          "(2, 'y'); CREATE TABLE u (c); INSERT INTO u VALUES (3)"));
    std::string tables = readFile(dir / "tables.M17"), held = dir / "held.M17";
    tables[100] = '\x01'; // no b-tree page type
    fs::copy_file(source(), held);
    zeroPages(held, false, "MERVANE RECORDS");
    const std::tuple<std::string, std::string, long> cases[] = {
        {"empty.M17", "", err::NotADatabase},
        {"text.M17", "Mervane 1.7 catalogue\n", err::NotADatabase},
        {"zeros.M17", std::string(65536, '\0'), err::NotADatabase},
        {"noise.M17", noise(65536, 12345), err::NotADatabase},
        {"tables.M17", tables, err::RepairFailed},
        {"held.M17", readFile(held), err::FileInUse},
        {"sound.M17", readFile(source()), 0}};
    for (const auto& [name, bytes, expected] : cases)
        writeFile(dir / name, bytes);
    auto other = DatabaseEngine().LockDatabase(held);
    for (const auto& [name, bytes, expected] : cases) {
        auto id = identity(dir / name);
        EXPECT_EQ(repair(dir / name), expected) << name;
        EXPECT_EQ(std::pair(readFile(dir / name), identity(dir / name)), std::pair(bytes, id))
            << name;
    }
    EXPECT_EQ(repair(dir / "missing.M17"), err::CannotFindFile);
    fs::create_directory(dir / "folder.M17");
    EXPECT_EQ(repair(dir / "folder.M17"), err::NotValidPath);
    EXPECT_EQ(dir.names(),
              (std::set<std::string>{"empty.M17", "text.M17", "zeros.M17", "noise.M17",
                                     "tables.M17", "folder.M17", "held.M17", "sound.M17"}));
    other->Release();
    fs::create_symlink(held, dir / "link.M17");
    EXPECT_EQ(repair(dir / "link.M17"), 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.M17"));
    EXPECT_EQ(verdict(held), "ok");
}

// The combine tool's history tables, fields and keys as it creates them, a few rows each.
const char* const historySql =
    "CREATE TABLE combine_history (step INTEGER PRIMARY KEY, kind, at, category, undone_at, "
    "undoes, items);"
    "CREATE TABLE combine_history_merges (step, merge, target_code, target_name, merged_codes, "
    "merged_names, changed_1, changed_2, PRIMARY KEY (step, merge));"
    "CREATE TABLE combine_history_entries (step, merge, entry, field, value, PRIMARY KEY (step, "
    "merge, entry, field));"
    "CREATE TABLE combine_history_refs (step, merge, column_name, old_code, count, items, PRIMARY "
    "KEY (step, merge, column_name, old_code));"
    "INSERT INTO combine_history VALUES (1, 'combine', '2026-12-07T08:01:36Z', 'Subject', NULL, "
    "NULL, 4), (2, 'combine', '2026-12-07T08:02:00Z', 'Type', NULL, NULL, 2);"
    "INSERT INTO combine_history_merges VALUES (1, 0, 3, 'History', '40, 41', 'history, "
    "History ', 3, 1), (2, 0, 2, 'Book', '9', 'book', 2, NULL);"
    "INSERT INTO combine_history_entries VALUES (1, 0, 40, 'Subject Code', 40), (1, 0, 40, "
    "'Subject Name', 'history'), (2, 0, 9, 'Type Code', 9);"
    "INSERT INTO combine_history_refs VALUES (1, 0, 'Subject 1', 40, 3, x'0102'), (2, 0, "
    "'Item Type', 9, 2, x'03');";

// Gives each lookup entry its rowid as code, references following: the tables' codes overlap.
const char* const renumberSql =
    "UPDATE [MERVANE RECORDS] SET "
    "[Subject 1] = ifnull((SELECT rowid FROM Subjects WHERE [Subject Code] = [Subject 1]), -1), "
    "[Subject 2] = ifnull((SELECT rowid FROM Subjects WHERE [Subject Code] = [Subject 2]), -1), "
    "Publisher = ifnull((SELECT rowid FROM Publishers WHERE [Publisher Code] = Publisher), -1), "
    "[Item Type] = ifnull((SELECT rowid FROM Types WHERE [Type Code] = [Item Type]), -1);"
    "UPDATE Subjects SET [Subject Code] = -rowid; UPDATE Subjects SET [Subject Code] = rowid;"
    "UPDATE Publishers SET [Publisher Code] = -rowid; UPDATE Publishers SET [Publisher Code] = "
    "rowid; UPDATE Types SET [Type Code] = -rowid; UPDATE Types SET [Type Code] = rowid;";

// Writes the catalogue at path anew, settings (pragmas) run before its first table. Rows go as
// SQL text: two encodings cannot attach.
void recast(Path path, const std::string& settings) {
    {
        Sql from(path), to(path + ".recast");
        to.exec(settings);
        for (const auto& sql : from.rows("SELECT sql FROM sqlite_schema WHERE sql NOT NULL ORDER "
                                         "BY type='index', rowid"))
            to.exec(sql);
        to.exec("BEGIN");
        for (const auto& t : from.rows("SELECT name FROM sqlite_schema WHERE type='table'"))
            for (const auto& fields : rowsOf(from, t, false))
                to.exec("INSERT INTO \"" + t + "\" VALUES (" + fields + ")");
        to.exec("COMMIT");
    }
    fs::rename(path + ".recast", path);
}

// Ways to lose page 1's schema b-tree, the header kept, from a catalogue recast under settings.
struct SchemaDamage {
    const char* name;
    bool zeroed; // the page past the header zeroed, or only its page type
    const char* settings = nullptr;
    long alike = 0; // as many publishers as types, with the same codes; 0: as generated
    bool schemaSurvives = false; // the schema spans pages beyond page 1, whose rows survive
};

const SchemaDamage schemaDamages[] = {
    {"ZeroedPastHeader", true},
    {"NoPageType", false},
    {"Utf16SmallPages", true,
     "PRAGMA encoding='UTF-16le'; PRAGMA page_size=1024; PRAGMA user_version=7; PRAGMA "
     "application_id=17",
     0, true},
    {"WriteAheadLog", false, "PRAGMA auto_vacuum=FULL; PRAGMA journal_mode=WAL"},
    // Publishers and types all named by items: nothing tells them apart, both stay lost and found.
    {"LookupTablesThatMatchAlike", true, nullptr, 6},
};

// Every catalogue table comes back whole, with its indexes and the file's settings, except lookup
// tables that match alike. Where rows of the schema survive the history comes back too; else its
// rows stay in lost_and_found, not taken for catalogue data.
TEST(Repair, SchemaLostCatalogueIsRebuilt) {
    const char* const tables[] = {"FILEINFO", "Subjects", "Publishers", "Types", "MERVANE RECORDS"};
    // The catalogue's indexes (all, or those of the tables that alike keeps) and the settings.
    auto kept = [](bool all) {
        return "SELECT (SELECT group_concat(name || ':' || ifnull(sql, '')) FROM (SELECT * FROM "
               "sqlite_schema WHERE type='index' AND name NOT LIKE '%combine%' AND (" +
               std::string(all ? "1" : "0") +
               " OR name NOT LIKE '%Publisher%' AND name NOT LIKE '%Type%') ORDER BY name)), * "
               "FROM pragma_encoding, pragma_page_size, pragma_user_version, "
               "pragma_application_id, pragma_auto_vacuum";
    };
    for (const SchemaDamage& d : schemaDamages) {
        SCOPED_TRACE(d.name);
        TempDir dir;
        std::string path = dir / "schema.M17", settings;
        samplegen::Options options{.items = 3000, .seed = 11, .truthPath = ""};
        if (d.alike)
            options.publishers = options.types = d.alike;
        samplegen::WriteSampleCatalogue(path, options);
        if (d.settings)
            recast(path, d.settings);
        std::map<std::string, std::multiset<std::string>> before;
        {
            Sql db(path);
            ASSERT_TRUE(db.exec(renumberSql));
            settings = db.one(kept(!d.alike));
            for (const char* t : tables)
                before[t] = rowsOf(db, t);
            ASSERT_TRUE(db.exec(historySql));
        }
        overwrite(path, 100, d.zeroed ? std::string(be(readFile(path), 16) - 100, '\0') : "\x01");
        ASSERT_NE(verdict(path), "ok");
        ASSERT_EQ(repair(path), 0);
        EXPECT_EQ(verdict(path), "ok");
        Sql after(path);
        for (const char* t : tables) {
            if (!d.alike || (t[0] != 'P' && t[0] != 'T')) {
                EXPECT_EQ(rowsOf(after, t), before[t]) << t;
            }
        }
        EXPECT_EQ(after.one(kept(!d.alike)), settings);
        EXPECT_EQ(after.one("SELECT count(*) FROM sqlite_schema WHERE name LIKE 'combine%' OR name "
                            "IN ('Publishers', 'Types')"),
                  d.schemaSurvives ? "6"
                  : d.alike        ? "0"
                                   : "2");
        // Rows by field count: lookups 2 (where alike), history steps 7, merges 8, entries 5,
        // refs 6; none where the schema's rows named every b-tree.
        const char* lost[] = {"2:12", "5:3", "6:2", "7:2", "8:2"};
        EXPECT_EQ(after.one("SELECT count(*) FROM sqlite_schema WHERE name = 'lost_and_found'"),
                  d.schemaSurvives ? "0" : "1");
        if (!d.schemaSurvives) {
            EXPECT_EQ(after.rows("SELECT nfield || ':' || count(*) FROM lost_and_found GROUP BY "
                                 "nfield ORDER BY nfield"),
                      std::vector<std::string>(lost + (d.alike ? 0 : 1), std::end(lost)));
        }
    }
}

// Rows recovered twice under one key, apart from their b-trees' other rows: a copy equal to the
// row moved goes, one that differs stays in lost_and_found, for every table moved into. Rows
// of the old schema whose statements are not the one CREATE they name stay there unrun.
TEST(Repair, RefusedRowsStayUnlessTheSameRowMoved) {
    TempDir dir;
    ASSERT_TRUE(Sql(dir / "recovered.db")
                    .exec("BEGIN; CREATE TABLE laf (rootpgno INTEGER, pgno INTEGER, nfield "
                          "INTEGER, id INTEGER, c0, c1, c2, c3, c4, c5, c6, c7, c8, c9);"
                          "INSERT INTO laf (rootpgno, nfield, id, c0, c1, c2) VALUES "
                          "(2, 3, 1, 'Mervane 1.7', 'c', '2001');"
                          "CREATE TEMP TABLE n AS WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL "
                          "SELECT i + 1 FROM s WHERE i < 30) SELECT i FROM s;"
                          "INSERT INTO laf SELECT 3, 0, 10, i, NULL, 'title ' || i, 'a', i % 10 "
                          "+ 1, -1, i % 5 + 1, i % 3 + 1, 1990, '', '' FROM n;"
                          "INSERT INTO laf (rootpgno, nfield, id, c0, c1) SELECT r, 2, i, i, "
                          "'n' || i FROM n, (SELECT 4 r, 10 k UNION SELECT 5, 5 UNION SELECT 6, "
                          "3) WHERE i <= k ORDER BY r, i;"
                          "INSERT INTO laf SELECT * FROM laf WHERE id = 6 AND rootpgno = 3;"
                          "INSERT INTO laf VALUES (3, 0, 10, 5, NULL, 'other', 'a', 6, -1, 1, 3, "
                          "1990, '', '');"
                          "INSERT INTO laf (rootpgno, nfield, id, c0, c1) VALUES (5, 2, 3, 6, "
                          "'other');"
                          "INSERT INTO laf SELECT * FROM laf WHERE rootpgno = 2;"
                          "INSERT INTO laf (rootpgno, nfield, id, c0, c1, c2, c3, c4) VALUES "
                          "(7, 5, 1, 'table', 'evil', 'evil', 8, 'CREATE TABLE evil (x); "
                          "CREATE TABLE worse (y)'), (7, 5, 2, 'view', 'v', 'v', 0, 'DROP "
                          "TABLE Subjects'); COMMIT"));
    Sql after(dir / "fresh.db");
    ASSERT_TRUE(after.exec("ATTACH '" + dir / "recovered.db" + "' AS recovered; BEGIN"));
    ASSERT_TRUE(rebuildCatalogue(after.get(), "recovered", "laf", catalogue::RebuildLayout()));
    ASSERT_TRUE(after.exec("COMMIT"));
    EXPECT_EQ(after.one("SELECT (SELECT count(*) FROM [MERVANE RECORDS]) || (SELECT count(*) "
                        "FROM Subjects) || (SELECT count(*) FROM Publishers) || (SELECT "
                        "count(*) FROM Types) || (SELECT count(*) FROM FILEINFO)"),
              "3010531");
    EXPECT_EQ(after.one("SELECT [Field 2] FROM [MERVANE RECORDS] WHERE [Field 1] = 5"), "title 5");
    EXPECT_EQ(after.rows("SELECT rootpgno || ':' || id || ':' || c1 FROM laf ORDER BY 1"),
              (std::vector<std::string>{"3:5:other", "5:3:other", "7:1:evil", "7:2:v"}));
    // A surviving schema row's statement runs only as the one CREATE its row names.
    EXPECT_EQ(after.one("SELECT count(*) FROM sqlite_schema WHERE name IN ('evil', 'worse', 'v') "
                        "OR name = 'Subjects'"),
              "1");
}
