// Repair tests: copies of a generated catalogue damaged by overwriting or
// cutting off bytes must come back sound, holding every row that SQLite's own
// recovery reads from the damaged bytes; sound files and bad input stay as
// they were.
#include "engine.h"
#include "rebuild.h"
#include "samplegen.h"
#include "support.h"

#include <sqlite3.h>
#include <sqlite3recover.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

namespace fs = std::filesystem;
using engine::DatabaseEngine;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace err = engine::err;

namespace {

// A raw SQLite connection: the independent view of what the engine wrote.
class Raw {
public:
    explicit Raw(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Raw() { sqlite3_close_v2(db_); }
    sqlite3* get() const { return db_; }
    // Every row of a query, its columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql) const {
        std::vector<std::string> out;
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                row += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "");
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }
    std::string one(const std::string& sql) const {
        auto r = rows(sql);
        return r.empty() ? std::string() : r.front();
    }

private:
    sqlite3* db_ = nullptr;
};

// Each row of a table as a record reads: quote(rowid)|quote(field)|..., with
// the INTEGER PRIMARY KEY's field Null as on disk (and in lost_and_found).
std::multiset<std::string> rowsOf(const Raw& db, const std::string& table) {
    std::string cols = "quote(rowid)";
    for (const auto& c : db.rows("SELECT CASE WHEN pk AND upper(type)='INTEGER' THEN 'NULL' ELSE "
                                 "'\"' || name || '\"' END FROM pragma_table_info('" +
                                 table + "')"))
        cols += " || '|' || quote(" + c + ")";
    auto r = db.rows("SELECT " + cols + " FROM \"" + table + "\"");
    return {r.begin(), r.end()};
}

// The generated catalogue every test copies: enough items for a few hundred pages.
const std::string& pristine() {
    static TempDir dir;
    static const std::string path = [] {
        std::string p = dir / "pristine.M17";
        samplegen::Options o;
        o.items = 3000;
        o.seed = 7;
        samplegen::WriteSampleCatalogue(p, o);
        return p;
    }();
    return path;
}

unsigned be16(const std::string& b, size_t at) {
    return (unsigned{static_cast<unsigned char>(b[at])} << 8) |
           static_cast<unsigned char>(b[at + 1]);
}
unsigned be32(const std::string& b, size_t at) {
    return (be16(b, at) << 16) | be16(b, at + 2);
}

// The pages of the b-tree rooted at root, found by walking the file's bytes.
void walkTree(const std::string& bytes, unsigned pageSize, unsigned root,
              std::vector<unsigned>& leaves, std::vector<unsigned>& interiors) {
    size_t page = size_t{root - 1} * pageSize;
    size_t h = page + (root == 1 ? 100 : 0);
    unsigned type = static_cast<unsigned char>(bytes.at(h));
    if (type != 2 && type != 5) {
        leaves.push_back(root);
        return;
    }
    interiors.push_back(root);
    for (unsigned i = 0; i < be16(bytes, h + 3); ++i)
        walkTree(bytes, pageSize, be32(bytes, page + be16(bytes, h + 12 + 2 * i)), leaves,
                 interiors);
    walkTree(bytes, pageSize, be32(bytes, h + 8), leaves, interiors);
}

struct Tree {
    std::vector<unsigned> leaves, interiors;
    unsigned pageSize = 0;
};

Tree treeOf(const std::string& path, const std::string& name) {
    Tree t;
    unsigned root = 0;
    {
        Raw db(path);
        root = static_cast<unsigned>(
            std::stoul(db.one("SELECT rootpage FROM sqlite_schema WHERE name='" + name + "'")));
        t.pageSize = static_cast<unsigned>(std::stoul(db.one("PRAGMA page_size")));
    }
    walkTree(readFile(path), t.pageSize, root, t.leaves, t.interiors);
    return t;
}

void overwrite(const std::string& path, size_t at, const std::string& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void zeroPage(const std::string& path, const Tree& t, unsigned page) {
    overwrite(path, size_t{page - 1} * t.pageSize, std::string(t.pageSize, '\0'));
}

// What SQLite's recovery reads from the file at path, written to out the way
// the repair is to read it: rowids kept, freed pages left alone.
void recoverCopy(const std::string& path, const std::string& out) {
    fs::copy_file(path, out + ".src");
    Raw in(out + ".src");
    sqlite3_recover* r = sqlite3_recover_init(in.get(), "main", out.c_str());
    int on = 1, off = 0;
    sqlite3_recover_config(r, SQLITE_RECOVER_LOST_AND_FOUND, const_cast<char*>("lost_and_found"));
    sqlite3_recover_config(r, SQLITE_RECOVER_ROWIDS, &on);
    sqlite3_recover_config(r, SQLITE_RECOVER_FREELIST_CORRUPT, &off);
    sqlite3_recover_run(r);
    ASSERT_EQ(sqlite3_recover_finish(r), SQLITE_OK);
}

// Checks that every row in the recovered file oracle is in repaired: rows of
// a table in that table, lost-and-found rows either still in a lost-and-found
// table or back, under their old rowid, in a table of their field count.
void expectEveryRecoveredRow(const std::string& oracle, const std::string& repaired) {
    Raw o(oracle), r(repaired);
    const std::string laf = "lost_and_found";
    std::map<size_t, std::multiset<std::string>> byFields; // where a stray row may be now
    for (const auto& t : o.rows("SELECT name FROM sqlite_schema WHERE type='table'")) {
        if (t == laf)
            continue;
        auto have = rowsOf(r, t);
        for (const auto& row : rowsOf(o, t))
            ASSERT_TRUE(have.count(row)) << "row " << row << " of " << t << " was lost";
        byFields[r.rows("SELECT 1 FROM pragma_table_info('" + t + "')").size()].merge(have);
    }
    if (o.one("SELECT count(*) FROM sqlite_schema WHERE name='" + laf + "'") != "1")
        return;
    auto stray = [&](const Raw& db, const std::string& n) {
        std::string cols = "quote(id)";
        for (int c = 0; c < std::stoi(n); ++c)
            cols += " || '|' || quote(c" + std::to_string(c) + ")";
        return db.rows("SELECT " + cols + " FROM " + laf + " WHERE nfield=" + n);
    };
    bool kept = r.one("SELECT count(*) FROM sqlite_schema WHERE name='" + laf + "'") == "1";
    for (const auto& n : o.rows("SELECT DISTINCT nfield FROM " + laf)) {
        auto still = kept ? stray(r, n) : std::vector<std::string>{};
        for (const auto& row : stray(o, n))
            EXPECT_TRUE(std::count(still.begin(), still.end(), row) ||
                        byFields[std::stoul(n)].count(row))
                << "lost-and-found row " << row << " was lost";
    }
}

// SQLite's verdict on the file: "ok", its first complaint, or why it cannot check.
std::string integrity(const std::string& path) {
    return testsupport::integrity(Raw(path).get());
}

// Repairs path; returns the engine's error number, 0 for none.
long repair(const std::string& path) {
    try {
        DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());
    } catch (const engine::Error& e) {
        return e.Number();
    }
    return 0;
}

} // namespace

// ---- Damaged catalogues ----------------------------------------------------

struct Damage {
    const char* name;
    std::function<void(const std::string&)> apply;
    bool everyItemKept; // the damage leaves every item readable somewhere
    // SQLite's recovery cannot read the damaged file at all: every row of the
    // undamaged catalogue is expected instead.
    bool pristineIsOracle = false;
};

void PrintTo(const Damage& d, std::ostream* os) {
    *os << d.name;
}

class DamagedCatalogue : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedCatalogue, ComesBackSoundWithEveryRecoverableRow) {
    TempDir dir;
    std::string path = dir / "damaged.M17";
    fs::copy_file(pristine(), path);
    GetParam().apply(path);
    ASSERT_NE(integrity(path), "ok") << "the damage did not damage";
    std::string oracle = pristine();
    if (!GetParam().pristineIsOracle) {
        oracle = dir / "oracle.db";
        recoverCopy(path, oracle);
    }

    DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());

    EXPECT_EQ(integrity(path), "ok");
    expectEveryRecoveredRow(oracle, path);
    Raw after(path);
    EXPECT_EQ(after.one("SELECT [Product Name] FROM FILEINFO"), "Mervane 1.7");
    if (GetParam().everyItemKept) {
        EXPECT_EQ(after.one("SELECT count(*) FROM [MERVANE RECORDS]"), "3000");
    }
    for (const char* suffix : {"-journal", "-wal"})
        EXPECT_FALSE(fs::exists(path + suffix));
}

const std::vector<Damage>& damages() {
    static const std::vector<Damage> all = {
        Damage{"ZeroedTablePage",
               [](const std::string& p) {
                   Tree tree = treeOf(p, "MERVANE RECORDS");
                   zeroPage(p, tree, tree.leaves[tree.leaves.size() / 2]);
               },
               false},
        // Its leaves become orphans; their field count is the item table's alone.
        Damage{"ZeroedInteriorPage",
               [](const std::string& p) {
                   Tree tree = treeOf(p, "MERVANE RECORDS");
                   zeroPage(p, tree, tree.interiors.back());
               },
               true},
        Damage{"ZeroedIndexPage",
               [](const std::string& p) {
                   Tree tree = treeOf(p, "Subject 1 Index");
                   zeroPage(p, tree, tree.leaves[tree.leaves.size() / 2]);
               },
               true},
        Damage{"TruncatedFile",
               [](const std::string& p) { fs::resize_file(p, fs::file_size(p) * 6 / 10); }, false},
        // The magic and every header field gone: only the page structure says SQLite.
        Damage{"ZeroedHeader",
               [](const std::string& p) { overwrite(p, 0, std::string(100, '\0')); }, true},
        // Versions SQLite's recovery stops at, too.
        Damage{"OverwrittenHeader",
               [](const std::string& p) { overwrite(p, 0, std::string(100, '\xA5')); }, true,
               true}};
    return all;
}

std::string damageName(const ::testing::TestParamInfo<Damage>& damage) {
    return damage.param.name;
}

INSTANTIATE_TEST_SUITE_P(Repair, DamagedCatalogue, ::testing::ValuesIn(damages()), damageName);

// Orphaned rows go back only where their field count points to one table:
// items do, lookup rows (three tables of one shape) stay in lost_and_found.
TEST(Repair, OrphansGoHomeOnlyWhenTheirShapeIsUnique) {
    TempDir dir;
    std::string path = dir / "orphans.M17";
    fs::copy_file(pristine(), path);
    std::set<std::string> subjects;
    {
        auto r = Raw(path).rows("SELECT rowid || '|' || quote([Subject Code]) || '|' || "
                                "quote([Subject Name]) FROM Subjects");
        subjects = {r.begin(), r.end()};
    }
    Tree items = treeOf(path, "MERVANE RECORDS");
    Tree names = treeOf(path, "Subjects");
    ASSERT_FALSE(names.interiors.empty()) << "Subjects needs more than one page";
    zeroPage(path, items, items.interiors.back());
    zeroPage(path, names, names.interiors.front());

    DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());

    Raw after(path);
    EXPECT_EQ(after.one("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(after.one("SELECT count(*) FROM [MERVANE RECORDS]"), "3000");
    EXPECT_EQ(after.one("SELECT count(*) FROM Subjects"), "0");
    auto stray = after.rows("SELECT id || '|' || quote(c0) || '|' || quote(c1) FROM lost_and_found "
                            "WHERE nfield=2 AND id IS NOT NULL");
    for (const auto& s : subjects)
        EXPECT_TRUE(std::find(stray.begin(), stray.end(), s) != stray.end()) << s;
    EXPECT_EQ(after.one("SELECT count(*) FROM lost_and_found WHERE nfield=10"), "0");
}

// A sound file is not rewritten: same bytes, same modification time, same file.
TEST(Repair, SoundFileIsLeftAsItIs) {
    TempDir dir;
    std::string path = dir / "sound.M17";
    fs::copy_file(pristine(), path);
    struct stat before {
    }, after{};
    ::stat(path.c_str(), &before);
    std::string bytes = readFile(path);

    DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());

    ::stat(path.c_str(), &after);
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Keys changed inside index entries, the pages themselves intact: rebuilding
// the index mends the file in place and every row stays as it was.
TEST(Repair, IndexContentDamageIsMendedInPlace) {
    TempDir dir;
    std::string path = dir / "index.M17";
    fs::copy_file(pristine(), path);
    auto itemsBefore = rowsOf(Raw(path), "MERVANE RECORDS");
    Tree t = treeOf(path, "Subject 1 Index");
    std::string bytes = readFile(path);
    size_t page = size_t{t.leaves[t.leaves.size() / 2] - 1} * t.pageSize;
    int changed = 0;
    for (unsigned cell = 0; cell < be16(bytes, page + 3) && changed < 5; ++cell) {
        // Cell: payload size, header size, two serial types, then the key's first byte.
        size_t at = page + be16(bytes, page + 8 + 2 * cell);
        unsigned type = static_cast<unsigned char>(bytes[at + 2]);
        if (type < 1 || type > 4)
            continue; // 0 and 1 have no bytes of their own
        overwrite(path, at + 4, std::string(1, static_cast<char>(bytes[at + 4] ^ 0x55)));
        ++changed;
    }
    ASSERT_EQ(changed, 5);
    ASSERT_EQ(Raw(path).one("PRAGMA quick_check"), "ok") << "the pages must stay intact";
    ASSERT_NE(integrity(path), "ok");
    struct stat before {
    }, after{};
    ::stat(path.c_str(), &before);

    DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());

    ::stat(path.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was rebuilt, not reindexed";
    EXPECT_EQ(integrity(path), "ok");
    EXPECT_EQ(rowsOf(Raw(path), "MERVANE RECORDS"), itemsBefore);
}

// The catalogue with its second thousand items deleted: their rows lie on
// freed pages, and the key range of most of them is now covered by leaves
// still in the tree.
const std::string& withDeletions() {
    static TempDir dir;
    static const std::string path = [] {
        std::string p = dir / "deleted.M17";
        fs::copy_file(pristine(), p);
        Raw db(p);
        sqlite3_exec(db.get(),
                     "DELETE FROM [MERVANE RECORDS] WHERE rowid IN (SELECT rowid FROM "
                     "[MERVANE RECORDS] ORDER BY rowid LIMIT 1000 OFFSET 1000)",
                     nullptr, nullptr, nullptr);
        return p;
    }();
    return path;
}

class DeletedItems : public ::testing::TestWithParam<Damage> {};

// No damage brings back a row deleted before it, and every live item that
// comes back otherwise still does.
TEST_P(DeletedItems, StayDeleted) {
    TempDir dir;
    std::string path = dir / "damaged.M17";
    fs::copy_file(withDeletions(), path);
    std::set<std::string> gone;
    {
        auto live = rowsOf(Raw(path), "MERVANE RECORDS");
        for (const auto& row : rowsOf(Raw(pristine()), "MERVANE RECORDS"))
            if (!live.count(row))
                gone.insert(row);
        ASSERT_EQ(gone.size(), 1000u);
        ASSERT_NE(Raw(path).one("PRAGMA freelist_count"), "0");
    }
    GetParam().apply(path);
    ASSERT_NE(integrity(path), "ok") << "the damage did not damage";

    DatabaseEngine().RepairDatabase(path, catalogue::RebuildLayout());

    EXPECT_EQ(integrity(path), "ok");
    int back = 0;
    for (const auto& row : rowsOf(Raw(path), "MERVANE RECORDS"))
        back += static_cast<int>(gone.count(row));
    EXPECT_EQ(back, 0) << "deleted items came back";
    if (GetParam().everyItemKept) {
        EXPECT_EQ(Raw(path).one("SELECT count(*) FROM [MERVANE RECORDS]"), "2000");
    }
}

std::vector<Damage> deletionDamages() {
    std::vector<Damage> all = damages();
    // The freelist's first trunk page filled with noise: the freed pages it
    // listed look like orphaned pages of the item table.
    all.push_back(Damage{"GarbageFreelistTrunk",
                         [](const std::string& p) {
                             std::string bytes = readFile(p);
                             unsigned pageSize = be16(bytes, 16);
                             unsigned trunk = be32(bytes, 32);
                             ASSERT_NE(trunk, 0u);
                             std::string noise(pageSize, '\0');
                             unsigned x = 99;
                             for (auto& c : noise)
                                 c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
                             overwrite(p, size_t{trunk - 1} * pageSize, noise);
                         },
                         true});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Repair, DeletedItems, ::testing::ValuesIn(deletionDamages()), damageName);

// Through a symbolic link the file itself is rebuilt; the link stays a link.
TEST(Repair, FileBehindASymbolicLinkIsRepaired) {
    TempDir dir;
    std::string path = dir / "real.M17";
    fs::copy_file(pristine(), path);
    Tree t = treeOf(path, "MERVANE RECORDS");
    zeroPage(path, t, t.leaves.front());
    fs::create_symlink(path, dir / "link.M17");

    DatabaseEngine().RepairDatabase(dir / "link.M17", catalogue::RebuildLayout());

    EXPECT_TRUE(fs::is_symlink(dir / "link.M17"));
    EXPECT_EQ(integrity(path), "ok");
}

// While another holder keeps the file (a lock like another process's) the
// repair refuses it, writing nothing.
TEST(Repair, FileHeldElsewhereIsRefusedUntouched) {
    TempDir dir;
    std::string path = dir / "held.M17";
    fs::copy_file(pristine(), path);
    Tree t = treeOf(path, "MERVANE RECORDS");
    zeroPage(path, t, t.leaves.front());
    std::string bytes = readFile(path);
    auto other = DatabaseEngine().LockDatabase(path);
    EXPECT_EQ(repair(path), err::FileInUse);
    EXPECT_EQ(readFile(path), bytes);
    other->Release();
    EXPECT_EQ(repair(path), 0);
    EXPECT_EQ(integrity(path), "ok");
}

// Paths that hold no database are refused with the engine's error, untouched.
TEST(Repair, BadInputIsRefusedUntouched) {
    TempDir dir;
    std::string noise(65536, '\0');
    unsigned x = 12345;
    for (auto& c : noise)
        c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    struct Case {
        std::string name, bytes;
        long expected;
    };
    std::vector<Case> cases = {{"empty.M17", "", err::NotADatabase},
                               {"text.M17", "Mervane 1.7 catalogue\n", err::NotADatabase},
                               {"zeros.M17", std::string(65536, '\0'), err::NotADatabase},
                               {"noise.M17", noise, err::NotADatabase}};
    for (const auto& c : cases) {
        writeFile(dir / c.name, c.bytes);
        EXPECT_EQ(repair(dir / c.name), c.expected) << c.name;
        EXPECT_EQ(readFile(dir / c.name), c.bytes) << c.name;
    }
    EXPECT_EQ(repair(dir / "missing.M17"), err::CannotFindFile);
    fs::create_directory(dir / "folder.M17");
    EXPECT_EQ(repair(dir / "folder.M17"), err::NotValidPath);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / ""), fs::directory_iterator()), 5)
        << "nothing but the cases may be left in the folder";
}

// ---- Schema lost -------------------------------------------------------------

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
    "UPDATE [MERVANE RECORDS] SET [Subject 1] = (SELECT rowid FROM Subjects WHERE [Subject "
    "Code] = [Subject 1]) WHERE [Subject 1] <> -1;"
    "UPDATE [MERVANE RECORDS] SET [Subject 2] = (SELECT rowid FROM Subjects WHERE [Subject "
    "Code] = [Subject 2]) WHERE [Subject 2] <> -1;"
    "UPDATE [MERVANE RECORDS] SET Publisher = (SELECT rowid FROM Publishers WHERE [Publisher "
    "Code] = Publisher) WHERE Publisher <> -1;"
    "UPDATE [MERVANE RECORDS] SET [Item Type] = (SELECT rowid FROM Types WHERE [Type Code] = "
    "[Item Type]) WHERE [Item Type] <> -1;"
    "UPDATE Subjects SET [Subject Code] = -rowid; UPDATE Subjects SET [Subject Code] = rowid;"
    "UPDATE Publishers SET [Publisher Code] = -rowid; UPDATE Publishers SET [Publisher Code] = "
    "rowid;"
    "UPDATE Types SET [Type Code] = -rowid; UPDATE Types SET [Type Code] = rowid;";

// Writes the catalogue at path anew, settings (pragmas) run before its first
// table and then, where given, a journal mode. Rows are copied value by value:
// files of two encodings cannot be attached to one connection.
void recast(const std::string& path, const std::string& settings, const std::string& journal) {
    const std::string fresh = path + ".recast";
    {
        Raw from(path);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(fresh.c_str(), &db), SQLITE_OK);
        Raw to(fresh);
        sqlite3_close(db);
        auto run = [&](const std::string& sql) {
            ASSERT_EQ(sqlite3_exec(to.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                << sql;
        };
        run(settings);
        for (const std::string& sql : from.rows("SELECT sql FROM sqlite_schema WHERE sql NOT "
                                                "NULL ORDER BY type='index', rowid"))
            run(sql);
        run("BEGIN");
        for (const std::string& t : from.rows("SELECT quote(name) FROM sqlite_schema WHERE "
                                              "type='table'")) {
            sqlite3_stmt* get = nullptr;
            sqlite3_stmt* put = nullptr;
            sqlite3_prepare_v2(from.get(), ("SELECT * FROM " + t).c_str(), -1, &get, nullptr);
            std::string marks = "?";
            for (int i = 1; i < sqlite3_column_count(get); ++i)
                marks += ", ?";
            sqlite3_prepare_v2(to.get(), ("INSERT INTO " + t + " VALUES (" + marks + ")").c_str(),
                               -1, &put, nullptr);
            while (sqlite3_step(get) == SQLITE_ROW) {
                for (int i = 0; i < sqlite3_column_count(get); ++i)
                    sqlite3_bind_value(put, i + 1, sqlite3_column_value(get, i));
                EXPECT_EQ(sqlite3_step(put), SQLITE_DONE);
                sqlite3_reset(put);
            }
            sqlite3_finalize(get);
            sqlite3_finalize(put);
        }
        run("COMMIT; PRAGMA journal_mode=" + journal);
    }
    fs::rename(fresh, path);
}

// A catalogue generated with these lookup sizes, written anew under settings
// where given, codes renumbered, plus the history tables.
std::string catalogueWithHistory(const TempDir& dir, long publishers, long types,
                                 const char* settings = nullptr, const char* journal = "DELETE") {
    std::string path = dir / "schema.M17";
    samplegen::Options o;
    o.items = 3000;
    o.publishers = publishers;
    o.types = types;
    o.seed = 11;
    samplegen::WriteSampleCatalogue(path, o);
    if (settings)
        recast(path, settings, journal);
    Raw db(path);
    EXPECT_EQ(sqlite3_exec(db.get(), renumberSql, nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db.get(), historySql, nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(db.one("SELECT max([Type Code]) || ',' || max([Publisher Code]) FROM Types, "
                     "Publishers"),
              std::to_string(types) + "," + std::to_string(publishers));
    return path;
}

// Ways to lose the first page's schema b-tree, the file header kept.
struct SchemaDamage {
    const char* name;
    std::function<void(std::string&)> apply;
    const char* settings = nullptr; // the catalogue's, before the damage
    const char* journal = "DELETE";
};
void PrintTo(const SchemaDamage& d, std::ostream* os) {
    *os << d.name;
}

const SchemaDamage schemaDamages[] = {
    {"ZeroedPastHeader",
     [](std::string& b) { std::fill(b.begin() + 100, b.begin() + be16(b, 16), '\0'); }},
    {"NoPageType", [](std::string& b) { b[100] = '\x01'; }},
    {"Utf16SmallPages",
     [](std::string& b) { std::fill(b.begin() + 100, b.begin() + be16(b, 16), '\0'); },
     "PRAGMA encoding='UTF-16le'; PRAGMA page_size=1024; PRAGMA user_version=7; PRAGMA "
     "application_id=17"},
    {"WriteAheadLog", [](std::string& b) { b[100] = '\x01'; }, "PRAGMA auto_vacuum=FULL", "WAL"},
};

class SchemaLost : public ::testing::TestWithParam<SchemaDamage> {};

// Every catalogue table comes back whole, with its indexes; the history's
// rows stay in lost_and_found, where nothing mistakes them for catalogue data.
TEST_P(SchemaLost, CatalogueIsRebuilt) {
    TempDir dir;
    std::string path = catalogueWithHistory(dir, 50, 12, GetParam().settings, GetParam().journal);
    const char* const tables[] = {"FILEINFO", "Subjects", "Publishers", "Types", "MERVANE RECORDS"};
    std::map<std::string, std::multiset<std::string>> before;
    std::vector<std::string> indexes;
    const std::string settings = "SELECT * FROM pragma_encoding, pragma_page_size, "
                                 "pragma_user_version, pragma_application_id, pragma_auto_vacuum";
    std::string kept;
    {
        Raw db(path);
        kept = db.one(settings);
        for (const char* t : tables)
            before[t] = rowsOf(db, t);
        indexes = db.rows("SELECT name || sql FROM sqlite_schema WHERE type='index' AND sql NOT "
                          "NULL AND tbl_name NOT LIKE 'combine%' ORDER BY name");
    }
    std::string bytes = readFile(path);
    GetParam().apply(bytes);
    writeFile(path, bytes);
    ASSERT_NE(integrity(path), "ok");

    ASSERT_EQ(repair(path), 0);

    EXPECT_EQ(integrity(path), "ok");
    Raw after(path);
    for (const char* t : tables)
        EXPECT_EQ(rowsOf(after, t), before[t]) << t;
    EXPECT_EQ(after.rows("SELECT name || sql FROM sqlite_schema WHERE type='index' ORDER BY name"),
              indexes);
    EXPECT_EQ(after.one("SELECT [Product Name] FROM FILEINFO"), "Mervane 1.7");
    EXPECT_EQ(after.one(settings), kept);
    EXPECT_EQ(after.one("SELECT count(*) FROM sqlite_schema WHERE name LIKE 'combine%'"), "0");
    // Table rows of the history, by field count: steps 7, merges 8, entries 5, refs 6.
    // With small pages the schema spans more than page 1, and the rows of its
    // other pages stay too.
    EXPECT_EQ(after.rows("SELECT nfield || ':' || count(*) FROM lost_and_found WHERE id IS NOT "
                         "NULL AND NOT (nfield=5 AND c0 IN ('table', 'index')) GROUP BY nfield "
                         "ORDER BY nfield"),
              (std::vector<std::string>{"5:3", "6:2", "7:2", "8:2"}));
}

INSTANTIATE_TEST_SUITE_P(Repair, SchemaLost, ::testing::ValuesIn(schemaDamages),
                         [](const ::testing::TestParamInfo<SchemaDamage>& d) {
                             return std::string(d.param.name);
                         });

// Rows recovered twice under one key: a copy equal to the row moved goes,
// one that differs stays in lost_and_found, for every table moved into. The
// copies lie apart from their b-trees' other rows.
TEST(Repair, RefusedRowsStayUnlessTheSameRowMoved) {
    TempDir dir;
    const std::string recovered = dir / "recovered.db", fresh = dir / "fresh.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(recovered.c_str(), &db), SQLITE_OK);
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
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(sqlite3_open(fresh.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, ("ATTACH '" + recovered + "' AS recovered; BEGIN").c_str(), nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(engine::rebuildCatalogue(db, "recovered", "laf", catalogue::RebuildLayout()));
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    Raw after(fresh);
    EXPECT_EQ(after.one("SELECT (SELECT count(*) FROM [MERVANE RECORDS]) || (SELECT count(*) "
                        "FROM Subjects) || (SELECT count(*) FROM Publishers) || (SELECT "
                        "count(*) FROM Types) || (SELECT count(*) FROM FILEINFO)"),
              "3010531");
    EXPECT_EQ(after.one("SELECT Title FROM [MERVANE RECORDS] WHERE [Item Number] = 5"), "title 5");
    EXPECT_EQ(after.rows("SELECT rootpgno || ':' || id || ':' || c1 FROM laf ORDER BY 1"),
              (std::vector<std::string>{"3:5:other", "5:3:other"}));
}

// Publishers and types with the same codes, each named by the items: nothing
// tells the two b-trees apart, so both stay in lost_and_found; Subjects does not.
TEST(Repair, LookupTablesThatMatchAlikeStayLost) {
    TempDir dir;
    std::string path = catalogueWithHistory(dir, 6, 6);
    auto subjects = rowsOf(Raw(path), "Subjects");
    ASSERT_EQ(Raw(path).one("SELECT count(DISTINCT nullif(Publisher, -1)) || "
                            "count(DISTINCT nullif([Item Type], -1)) "
                            "FROM [MERVANE RECORDS]"),
              "66");
    std::string bytes = readFile(path);
    schemaDamages[0].apply(bytes);
    writeFile(path, bytes);

    ASSERT_EQ(repair(path), 0);

    Raw after(path);
    EXPECT_EQ(integrity(path), "ok");
    EXPECT_EQ(rowsOf(after, "Subjects"), subjects);
    EXPECT_EQ(after.one("SELECT count(*) FROM Publishers") +
                  after.one("SELECT count(*) FROM Types"),
              "00");
    EXPECT_EQ(after.one("SELECT count(*) FROM lost_and_found WHERE nfield=2 AND id NOT NULL"),
              "12");
    EXPECT_EQ(after.one("SELECT count(*) FROM [MERVANE RECORDS]"), "3000");
}

// A file whose schema is lost and whose rows show no catalogue: every row
// would land in lost-and-found and no table would be left. That is no repair,
// and the file stays as it was for a better tool or the safety copy.
TEST(Repair, FileWithNoTableLeftIsRefusedUntouched) {
    TempDir dir;
    std::string path = dir / "schema.db";
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE t (a INTEGER, b TEXT); INSERT INTO t VALUES (1, 'x'), "
                           "(2, 'y'); CREATE TABLE u (c); INSERT INTO u VALUES (3)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string bytes = readFile(path);
    bytes[100] = '\x01'; // no b-tree page type
    writeFile(path, bytes);
    EXPECT_EQ(repair(path), err::RepairFailed);
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(dir.names(), std::set<std::string>{"schema.db"});
}
