// Repair tests: copies of a generated catalogue damaged by overwriting or
// cutting off bytes must come back sound, holding every row that SQLite's own
// recovery reads from the damaged bytes and no row deleted before; sound files
// and bad input stay as they were.
#include "engine.h"
#include "rebuild.h"
#include "samplegen.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sqlite3recover.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;
using engine::DatabaseEngine;
using testsupport::overwrite;
using testsupport::readFile;
using testsupport::Sql;
using testsupport::TempDir;
namespace err = engine::err;

namespace {

// Each row of a table as quoted fields joined by ',': as a record reads,
// quote(rowid) first and the INTEGER PRIMARY KEY's field Null as on disk (and
// in lost_and_found); or, not as a record, the fields as SELECT * gives them.
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

std::string integrity(const std::string& path) {
    return testsupport::integrity(Sql(path).get());
}

// Repairs path; returns the engine's error number, 0 for none.
long repair(const std::string& path) {
    return testsupport::errorOf(
        [&] { DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout()); });
}

// The generated catalogue every test copies, a few hundred pages; or the same
// with its second thousand items deleted: their rows lie on freed pages, and
// the key range of most of them is now covered by leaves still in the tree.
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

unsigned be(const std::string& b, size_t at, int n = 2) {
    unsigned v = 0;
    while (n-- > 0)
        v = (v << 8) | static_cast<unsigned char>(b[at++]);
    return v;
}

// Noise that is the same on every run.
std::string noise(size_t size, unsigned x) {
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    return out;
}

struct Tree {
    std::vector<unsigned> leaves, interiors;
    unsigned pageSize = 0;
};

// The pages of the named b-tree, found by walking the file's bytes.
Tree treeOf(const std::string& path, const std::string& name) {
    Sql db(path);
    Tree t{{}, {}, static_cast<unsigned>(std::stoul(db.one("PRAGMA page_size")))};
    std::string bytes = readFile(path);
    std::vector<unsigned> todo = {static_cast<unsigned>(
        std::stoul(db.one("SELECT rootpage FROM sqlite_schema WHERE name='" + name + "'")))};
    while (!todo.empty()) {
        unsigned p = todo.back();
        todo.pop_back();
        size_t page = size_t{p - 1} * t.pageSize, h = page + (p == 1 ? 100 : 0);
        bool interior = bytes.at(h) == 2 || bytes.at(h) == 5;
        (interior ? t.interiors : t.leaves).push_back(p);
        for (unsigned i = 0, n = be(bytes, h + 3); interior && i <= n; ++i) // the last: h + 8
            todo.push_back(be(bytes, i < n ? page + be(bytes, h + 12 + 2 * i) : h + 8, 4));
    }
    return t;
}

// Zeroes a page of the named b-tree: its last interior page, or its middle leaf.
void zeroPage(const std::string& path, const std::string& name, bool interior) {
    Tree t = treeOf(path, name);
    ASSERT_FALSE(interior && t.interiors.empty()) << name << " needs more than one page";
    unsigned page = interior ? t.interiors.back() : t.leaves[t.leaves.size() / 2];
    overwrite(path, size_t{page - 1} * t.pageSize, std::string(t.pageSize, '\0'));
}

// The file's inode and modification time in nanoseconds.
std::pair<ino_t, long long> identity(const std::string& path) {
    struct stat s {};
    ::stat(path.c_str(), &s);
    return {s.st_ino, s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec};
}

// What SQLite's recovery reads from the file at path, written to out the way
// the repair is to read it: rowids kept, freed pages left alone.
void recoverCopy(const std::string& path, const std::string& out) {
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

// Checks that every row in the recovered file oracle is in repaired: rows of
// a table in that table, lost-and-found rows either still in a lost-and-found
// table or back, under their old rowid, in a table of their field count.
void expectEveryRecoveredRow(const std::string& oracle, const std::string& repaired) {
    Sql o(oracle), r(repaired);
    auto now = strays(r); // where a stray row may be now
    for (const auto& t : o.rows("SELECT name FROM sqlite_schema WHERE type='table' AND name <> "
                                "'lost_and_found'")) {
        auto have = rowsOf(r, t);
        for (const auto& row : rowsOf(o, t))
            ASSERT_TRUE(have.count(row)) << "row " << row << " of " << t << " was lost";
        now[std::to_string(r.rows("SELECT 1 FROM pragma_table_info('" + t + "')").size())].merge(
            have);
    }
    for (const auto& [n, rows] : strays(o))
        for (const auto& row : rows)
            EXPECT_TRUE(now[n].count(row)) << "lost-and-found row " << row << " was lost";
}

} // namespace

using Path = const std::string&;

// What a damage leaves, and what is expected of the repair.
enum : unsigned {
    Kept = 1,           // every item readable somewhere
    PristineOracle = 2, // nothing SQLite's recovery reads: every row of the source is expected
    FreedPagesOnly = 4, // needs a file with freed pages
    SubjectsLost = 8,   // Subjects orphaned too: of one shape with two other tables, they stay lost
    InPlace = 16,       // only index contents: the indexes are rebuilt in the file itself
};

const std::tuple<const char*, void (*)(Path), unsigned> damages[] = {
    {"ZeroedTablePage", [](Path p) { zeroPage(p, "MERVANE RECORDS", false); }, 0},
    // Its leaves become orphans; their field count is the item table's alone.
    {"ZeroedInteriorPage", [](Path p) { zeroPage(p, "MERVANE RECORDS", true); }, Kept},
    {"ZeroedInteriorPages",
     [](Path p) {
         zeroPage(p, "MERVANE RECORDS", true);
         zeroPage(p, "Subjects", true);
     },
     Kept | SubjectsLost},
    {"ZeroedIndexPage", [](Path p) { zeroPage(p, "Subject 1 Index", false); }, Kept},
    // Keys changed inside index entries, the pages themselves intact.
    {"ChangedIndexKeys",
     [](Path p) {
         std::string bytes = readFile(p);
         Tree t = treeOf(p, "Subject 1 Index");
         size_t page = size_t{t.leaves[t.leaves.size() / 2] - 1} * t.pageSize;
         int changed = 0;
         for (unsigned cell = 0; cell < be(bytes, page + 3) && changed < 5; ++cell) {
             // Cell: payload size, header size, two serial types, then the key's first byte.
             size_t at = page + be(bytes, page + 8 + 2 * cell);
             unsigned type = static_cast<unsigned char>(bytes[at + 2]);
             if (type >= 1 && type <= 4 && ++changed) // 0, 8 and 9 have no bytes of their own
                 overwrite(p, at + 4, std::string(1, static_cast<char>(bytes[at + 4] ^ 0x55)));
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
    // The freelist's first trunk page filled with noise: the freed pages it
    // listed look like orphaned pages of the item table.
    {"GarbageFreelistTrunk",
     [](Path p) {
         std::string bytes = readFile(p);
         ASSERT_NE(be(bytes, 32, 4), 0u);
         overwrite(p, size_t{be(bytes, 32, 4) - 1} * be(bytes, 16), noise(be(bytes, 16), 99));
     },
     Kept | FreedPagesOnly},
};

// Each damage, both to the generated catalogue and to one whose deleted items
// lie on freed pages: the file comes back sound with every row the recovery
// reads and none deleted before, and leaves no journal.
TEST(Repair, DamagedCatalogueComesBackSoundWithEveryRecoverableRow) {
    auto all = rowsOf(Sql(source()), "MERVANE RECORDS"),
         live = rowsOf(Sql(source(true)), "MERVANE RECORDS");
    std::vector<std::string> gone; // the items deleted, in order
    std::set_difference(all.begin(), all.end(), live.begin(), live.end(), std::back_inserter(gone));
    ASSERT_EQ(gone.size(), 1000u);
    ASSERT_NE(Sql(source(true)).one("PRAGMA freelist_count"), "0");
    for (const auto& [name, apply, flags] : damages) {
        for (bool deleted : {false, true}) {
            if ((flags & FreedPagesOnly) && !deleted)
                continue;
            SCOPED_TRACE(std::string(name) + (deleted ? " with deleted items" : ""));
            TempDir dir;
            std::string path = dir / "damaged.M17";
            std::string oracle = (flags & PristineOracle) ? source(deleted) : dir / "oracle.db";
            fs::copy_file(source(deleted), path);
            apply(path);
            ASSERT_NE(integrity(path), "ok") << "the damage did not damage";
            if (!(flags & PristineOracle))
                recoverCopy(path, oracle);
            auto before = identity(path);
            ASSERT_EQ(repair(path), 0);
            EXPECT_EQ(integrity(path), "ok");
            EXPECT_TRUE(!(flags & InPlace) || identity(path).first == before.first)
                << "the file was rebuilt, not reindexed";
            expectEveryRecoveredRow(oracle, path);
            Sql after(path);
            EXPECT_EQ(after.one("SELECT [Product Name] FROM FILEINFO"), "Mervane 1.7");
            auto items = rowsOf(after, "MERVANE RECORDS");
            std::vector<std::string> back; // deleted items that came back
            std::set_intersection(items.begin(), items.end(), gone.begin(), gone.end(),
                                  std::back_inserter(back));
            EXPECT_TRUE(!deleted || back.empty()) << back.size() << " deleted items came back";
            EXPECT_TRUE(!(flags & Kept) || items.size() == (deleted ? 2000u : 3000u))
                << items.size() << " items";
            if (flags & SubjectsLost) { // none in Subjects, all lost and found, no item left there
                auto stray = strays(after);
                EXPECT_EQ(after.one("SELECT count(*) FROM Subjects"), "0");
                EXPECT_EQ(stray["10"].size(), 0u);
                for (const auto& row : rowsOf(Sql(source(deleted)), "Subjects"))
                    EXPECT_TRUE(stray["2"].count(row)) << row;
            }
            for (const char* suffix : {"-journal", "-wal"})
                EXPECT_FALSE(fs::exists(path + suffix));
        }
    }
}

// Paths that hold no database, a file whose schema is lost and whose rows show
// no catalogue (no table would be left: no repair, the file stays for a better
// tool or the safety copy) and a catalogue another holds (a lock like another
// process's) are refused with the engine's error, untouched. Released, named
// through a symbolic link, it is rebuilt; the link stays a link. A sound file
// is not rewritten: same bytes, same modification time, same file.
TEST(Repair, RefusalsLeaveFilesUntouched) {
    TempDir dir;
    ASSERT_TRUE(Sql(dir / "tables.M17")
                    .exec("CREATE TABLE t (a INTEGER, b TEXT); INSERT INTO t VALUES (1, 'x'), "
                          "(2, 'y'); CREATE TABLE u (c); INSERT INTO u VALUES (3)"));
    std::string tables = readFile(dir / "tables.M17");
    tables[100] = '\x01'; // no b-tree page type
    const std::tuple<std::string, std::string, long> cases[] = {
        {"empty.M17", "", err::NotADatabase},
        {"text.M17", "Mervane 1.7 catalogue\n", err::NotADatabase},
        {"zeros.M17", std::string(65536, '\0'), err::NotADatabase},
        {"noise.M17", noise(65536, 12345), err::NotADatabase},
        {"tables.M17", tables, err::RepairFailed}};
    for (const auto& [name, bytes, expected] : cases) {
        testsupport::writeFile(dir / name, bytes);
        EXPECT_EQ(repair(dir / name), expected) << name;
        EXPECT_EQ(readFile(dir / name), bytes) << name;
    }
    EXPECT_EQ(repair(dir / "missing.M17"), err::CannotFindFile);
    fs::create_directory(dir / "folder.M17");
    EXPECT_EQ(repair(dir / "folder.M17"), err::NotValidPath);
    fs::copy_file(source(), dir / "sound.M17");
    auto sound = std::pair(readFile(dir / "sound.M17"), identity(dir / "sound.M17"));
    EXPECT_EQ(repair(dir / "sound.M17"), 0);
    EXPECT_EQ(std::pair(readFile(dir / "sound.M17"), identity(dir / "sound.M17")), sound);
    std::string held = dir / "held.M17";
    fs::copy_file(source(), held);
    zeroPage(held, "MERVANE RECORDS", false);
    std::string bytes = readFile(held);
    auto other = DatabaseEngine().LockDatabase(held);
    EXPECT_EQ(repair(held), err::FileInUse);
    EXPECT_EQ(readFile(held), bytes);
    EXPECT_EQ(dir.names(),
              (std::set<std::string>{"empty.M17", "text.M17", "zeros.M17", "noise.M17",
                                     "tables.M17", "folder.M17", "held.M17", "sound.M17"}));
    other->Release();
    fs::create_symlink(held, dir / "link.M17");
    EXPECT_EQ(repair(dir / "link.M17"), 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.M17"));
    EXPECT_EQ(integrity(held), "ok");
}

// The combine tool's history tables, as it creates them, with a few rows each.
const char* const historySql =
    "CREATE TABLE combine_history (step INTEGER PRIMARY KEY, kind TEXT NOT NULL CHECK (kind IN "
    "('combine', 'undo')), at TEXT NOT NULL, category TEXT NOT NULL, undone_at TEXT, undoes "
    "INTEGER, items INTEGER NOT NULL);"
    "CREATE TABLE combine_history_merges (step INTEGER NOT NULL, merge INTEGER NOT NULL, "
    "target_code INTEGER NOT NULL, target_name TEXT NOT NULL, merged_codes TEXT NOT NULL, "
    "merged_names TEXT NOT NULL, changed_1 INTEGER NOT NULL, changed_2 INTEGER, PRIMARY KEY "
    "(step, merge));"
    "CREATE TABLE combine_history_entries (step INTEGER NOT NULL, merge INTEGER NOT NULL, entry "
    "INTEGER NOT NULL, field TEXT NOT NULL, value, PRIMARY KEY (step, merge, entry, field));"
    "CREATE TABLE combine_history_refs (step INTEGER NOT NULL, merge INTEGER NOT NULL, "
    "column_name TEXT NOT NULL, old_code INTEGER NOT NULL, count INTEGER NOT NULL, items BLOB "
    "NOT NULL, PRIMARY KEY (step, merge, column_name, old_code));"
    "INSERT INTO combine_history VALUES (1, 'combine', '2026-12-07T08:01:36Z', 'Subject', NULL, "
    "NULL, 4), (2, 'combine', '2026-12-07T08:02:00Z', 'Type', NULL, NULL, 2);"
    "INSERT INTO combine_history_merges VALUES (1, 0, 3, 'History', '40, 41', 'history, "
    "History ', 3, 1), (2, 0, 2, 'Book', '9', 'book', 2, NULL);"
    "INSERT INTO combine_history_entries VALUES (1, 0, 40, 'Subject Code', 40), (1, 0, 40, "
    "'Subject Name', 'history'), (2, 0, 9, 'Type Code', 9);"
    "INSERT INTO combine_history_refs VALUES (1, 0, 'Subject 1', 40, 3, x'0102'), (2, 0, "
    "'Item Type', 9, 2, x'03');";

// Gives each lookup entry its rowid as code, references following, so that
// the three tables' codes all run from 1 upwards and overlap.
const char* const renumberSql =
    "UPDATE [MERVANE RECORDS] SET "
    "[Subject 1] = ifnull((SELECT rowid FROM Subjects WHERE [Subject Code] = [Subject 1]), -1), "
    "[Subject 2] = ifnull((SELECT rowid FROM Subjects WHERE [Subject Code] = [Subject 2]), -1), "
    "Publisher = ifnull((SELECT rowid FROM Publishers WHERE [Publisher Code] = Publisher), -1), "
    "[Item Type] = ifnull((SELECT rowid FROM Types WHERE [Type Code] = [Item Type]), -1);"
    "UPDATE Subjects SET [Subject Code] = -rowid; UPDATE Subjects SET [Subject Code] = rowid;"
    "UPDATE Publishers SET [Publisher Code] = -rowid; UPDATE Publishers SET [Publisher Code] = "
    "rowid; UPDATE Types SET [Type Code] = -rowid; UPDATE Types SET [Type Code] = rowid;";

// Writes the catalogue at path anew, settings (pragmas) run before its first
// table, then a journal mode. Rows go as SQL text: two encodings cannot attach.
void recast(const std::string& path, const std::string& settings, const std::string& journal) {
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
        to.exec("COMMIT; PRAGMA journal_mode=" + journal);
    }
    fs::rename(path + ".recast", path);
}

// Ways to lose the first page's schema b-tree, the file header kept, from a
// catalogue generated as options say, written anew under settings where given.
struct SchemaDamage {
    const char* name;
    bool zeroed; // the page past the header zeroed, or only its page type
    const char* settings = nullptr;
    const char* journal = "DELETE";
    samplegen::Options options = {.items = 3000, .seed = 11, .truthPath = ""};
};

const SchemaDamage schemaDamages[] = {
    {"ZeroedPastHeader", true},
    {"NoPageType", false},
    {"Utf16SmallPages", true,
     "PRAGMA encoding='UTF-16le'; PRAGMA page_size=1024; PRAGMA user_version=7; PRAGMA "
     "application_id=17"},
    {"WriteAheadLog", false, "PRAGMA auto_vacuum=FULL", "WAL"},
    // Publishers and types with the same codes, each named by the items:
    // nothing tells the two b-trees apart, so both stay in lost_and_found.
    {"LookupTablesThatMatchAlike",
     true,
     nullptr,
     "DELETE",
     {.items = 3000, .publishers = 6, .types = 6, .seed = 11, .truthPath = ""}},
};

// Every catalogue table comes back whole, with its indexes and the file's
// settings, except lookup tables that match alike; the history's rows stay in
// lost_and_found, where nothing mistakes them for catalogue data.
TEST(Repair, SchemaLostCatalogueIsRebuilt) {
    const char* const tables[] = {"FILEINFO", "Subjects", "Publishers", "Types", "MERVANE RECORDS"};
    const std::string kept = "SELECT (SELECT group_concat(name || ':' || ifnull(sql, '')) FROM "
                             "(SELECT * FROM sqlite_schema WHERE type='index' ORDER BY name)), * "
                             "FROM pragma_encoding, pragma_page_size, pragma_user_version, "
                             "pragma_application_id, pragma_auto_vacuum";
    for (const SchemaDamage& d : schemaDamages) {
        SCOPED_TRACE(d.name);
        const long publishers = d.options.publishers, types = d.options.types;
        TempDir dir;
        std::string path = dir / "schema.M17", settings;
        samplegen::WriteSampleCatalogue(path, d.options);
        if (d.settings)
            recast(path, d.settings, d.journal);
        std::map<std::string, std::multiset<std::string>> before;
        {
            Sql db(path);
            ASSERT_TRUE(db.exec(renumberSql));
            // Codes from 1 to the table's size, every one named by the items.
            ASSERT_EQ(db.one("SELECT max([Type Code]) || ',' || max([Publisher Code]) || ',' || "
                             "(SELECT count(DISTINCT nullif([Item Type], -1)) || ',' || "
                             "count(DISTINCT nullif(Publisher, -1)) FROM [MERVANE RECORDS]) FROM "
                             "Types, Publishers"),
                      std::to_string(types) + "," + std::to_string(publishers) + "," +
                          std::to_string(types) + "," + std::to_string(publishers));
            settings = db.one(kept);
            for (const char* t : tables)
                before[t] = rowsOf(db, t);
            ASSERT_TRUE(db.exec(historySql));
        }
        overwrite(path, 100, d.zeroed ? std::string(be(readFile(path), 16) - 100, '\0') : "\x01");
        ASSERT_NE(integrity(path), "ok");
        ASSERT_EQ(repair(path), 0);
        EXPECT_EQ(integrity(path), "ok");
        Sql after(path);
        if (publishers == types)
            before["Publishers"] = before["Types"] = {};
        for (const char* t : tables)
            EXPECT_EQ(rowsOf(after, t), before[t]) << t;
        EXPECT_EQ(after.one(kept), settings);
        EXPECT_EQ(after.one("SELECT count(*) FROM sqlite_schema WHERE name LIKE 'combine%'"), "0");
        // Table rows of the history, by field count: steps 7, merges 8, entries
        // 5, refs 6; the lookup rows that stayed, 2. With small pages the
        // schema spans more than page 1, and the rows of its other pages stay too.
        std::vector<std::string> lost = {"5:3", "6:2", "7:2", "8:2"};
        if (publishers == types)
            lost.insert(lost.begin(), "2:12");
        EXPECT_EQ(after.rows("SELECT nfield || ':' || count(*) FROM lost_and_found WHERE id IS "
                             "NOT NULL AND NOT (nfield=5 AND c0 IN ('table', 'index')) GROUP BY "
                             "nfield ORDER BY nfield"),
                  lost);
    }
}

// Rows recovered twice under one key: a copy equal to the row moved goes,
// one that differs stays in lost_and_found, for every table moved into. The
// copies lie apart from their b-trees' other rows.
TEST(Repair, RefusedRowsStayUnlessTheSameRowMoved) {
    TempDir dir;
    std::string sql = "BEGIN; CREATE TABLE laf (rootpgno INTEGER, pgno INTEGER, nfield INTEGER, id "
                      "INTEGER, c0, c1, c2, c3, c4, c5, c6, c7, c8, c9);"
                      "INSERT INTO laf (rootpgno, nfield, id, c0, c1, c2) VALUES "
                      "(2, 3, 1, 'Mervane 1.7', 'c', '2001');";
    for (int i = 1; i <= 30; ++i)
        sql += "INSERT INTO laf VALUES (3, 0, 10, " + std::to_string(i) + ", NULL, 'title " +
               std::to_string(i) + "', 'a', " + std::to_string(i % 10 + 1) + ", -1, " +
               std::to_string(i % 5 + 1) + ", " + std::to_string(i % 3 + 1) + ", 1990, '', '');";
    for (const auto& [root, codes] : {std::pair{4, 10}, {5, 5}, {6, 3}})
        for (int c = 1; c <= codes; ++c)
            sql += "INSERT INTO laf (rootpgno, nfield, id, c0, c1) VALUES (" +
                   std::to_string(root) + ", 2, " + std::to_string(c) + ", " + std::to_string(c) +
                   ", 'n" + std::to_string(c) + "');";
    sql += "INSERT INTO laf SELECT * FROM laf WHERE id = 6 AND rootpgno = 3;"
           "INSERT INTO laf VALUES (3, 0, 10, 5, NULL, 'other', 'a', 6, -1, 1, 3, 1990, '', '');"
           "INSERT INTO laf (rootpgno, nfield, id, c0, c1) VALUES (5, 2, 3, 6, 'other');"
           "INSERT INTO laf SELECT * FROM laf WHERE rootpgno = 2; COMMIT";
    ASSERT_TRUE(Sql(dir / "recovered.db").exec(sql));
    {
        Sql fresh(dir / "fresh.db");
        ASSERT_TRUE(fresh.exec("ATTACH '" + dir / "recovered.db" + "' AS recovered; BEGIN"));
        ASSERT_TRUE(
            engine::rebuildCatalogue(fresh.get(), "recovered", "laf", catalogue::RebuildLayout()));
        ASSERT_TRUE(fresh.exec("COMMIT"));
    }
    Sql after(dir / "fresh.db");
    EXPECT_EQ(after.one("SELECT (SELECT count(*) FROM [MERVANE RECORDS]) || (SELECT count(*) "
                        "FROM Subjects) || (SELECT count(*) FROM Publishers) || (SELECT "
                        "count(*) FROM Types) || (SELECT count(*) FROM FILEINFO)"),
              "3010531");
    EXPECT_EQ(after.one("SELECT Title FROM [MERVANE RECORDS] WHERE [Item Number] = 5"), "title 5");
    EXPECT_EQ(after.rows("SELECT rootpgno || ':' || id || ':' || c1 FROM laf ORDER BY 1"),
              (std::vector<std::string>{"3:5:other", "5:3:other"}));
}
