// The repair's own soundness check gives integrity_check's verdict, on sound files and on files
// whose indexes disagree with their tables, also where it leaves a table to SQLite.
#include "check.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace testsupport;

namespace {

// Rows of mixed case, trailing blanks, equal integers and reals, repeated keys.
#define ROWS                                                                                       \
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "               \
    "INSERT INTO t SELECT i, CASE i % 3 WHEN 0 THEN 'Name' || (i % 50) WHEN 1 THEN 'name' || "     \
    "(i % 50) ELSE 'NAME' || (i % 50) || '  ' END, i % 7, (i % 7) * 1.0 FROM n;"
#define TABLE "CREATE TABLE t (k INTEGER PRIMARY KEY, a TEXT, b, c);" ROWS
#define NO_ROWID "CREATE TABLE t (k INTEGER PRIMARY KEY, a TEXT, b, c) WITHOUT ROWID;" ROWS
#define UTF16 "PRAGMA encoding='UTF-16le';" TABLE
#define IX "CREATE INDEX i ON t "

// A file made by setup and the index i as built, then i declared anew while its entries stay as
// built: an index that disagrees with its table, every page intact. Declared "": the index, made
// last, has its page zeroed instead.
struct CheckCase {
    const char *setup, *built, *declared;
    bool sound; // integrity_check's verdict at the end, to show the case does what it says
};

const CheckCase cases[] = {
    {TABLE, IX "(a)", IX "(a COLLATE NOCASE)", false},
    {TABLE, IX "(a COLLATE NOCASE)", IX "(a COLLATE RTRIM)", false},
    {TABLE, IX "(a COLLATE RTRIM)", IX "(a COLLATE NOCASE)", false},
    // Entries whose text differs from the row's in letter case or trailing blanks.
    {TABLE "ALTER TABLE t ADD d; UPDATE t SET d = upper(a);", IX "(a COLLATE NOCASE)",
     IX "(d COLLATE NOCASE)", true},
    {TABLE "ALTER TABLE t ADD d; UPDATE t SET d = rtrim(a);", IX "(a COLLATE RTRIM)",
     IX "(d COLLATE RTRIM)", true},
    {TABLE, IX "(b, a)", IX "(b DESC, a)", false},
    {TABLE, IX "(b DESC, a)", IX "(b, a)", false},
    {TABLE, IX "(b)", "CREATE UNIQUE INDEX i ON t (b)", false},
    {TABLE, IX "(k, a)", "CREATE UNIQUE INDEX i ON t (k, a COLLATE NOCASE)", true},
    // Entries built from integers, rows holding the equal reals.
    {TABLE, IX "(b)", IX "(c)", true},
    {TABLE, IX "(b)", IX "(a)", false},
    {TABLE, IX "(upper(a))", IX "(lower(a))", false},
    {TABLE, IX "(a) WHERE b > 1", IX "(a) WHERE b > 3", false},
    {NO_ROWID, IX "(a)", IX "(a COLLATE NOCASE)", false},
    {UTF16, IX "(a)", IX "(a COLLATE NOCASE)", false},
    {UTF16, IX "(a COLLATE NOCASE)", IX "(a)", false},
    {TABLE, IX "(a)", "", false},
};

} // namespace

// The check's verdict, and with ENGINE_REPAIR_CHECK=sqlite SQLite's own, is integrity_check's:
// on the file as built, and with the index declared anew.
TEST(CheckAgainstSqlite, SameVerdict) {
    auto expectVerdict = [](const std::string& path, bool sound) {
        Sql primary(path, SQLITE_OPEN_READWRITE), secondary(path, SQLITE_OPEN_READONLY);
        std::string verdict = integrity(primary.get());
        EXPECT_EQ(verdict == "ok", sound) << verdict;
        EXPECT_EQ(engine::checkDatabase(primary.get(), secondary.get()).sound(), sound);
        ::setenv("ENGINE_REPAIR_CHECK", "sqlite", 1);
        EXPECT_EQ(engine::checkDatabase(primary.get(), secondary.get()).sound(), sound);
        ::unsetenv("ENGINE_REPAIR_CHECK");
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        TempDir dir;
        std::string path = dir / "check.db";
        ASSERT_TRUE(Sql(path).exec(std::string(c.setup) + c.built));
        if (!*c.declared)
            overwrite(path, std::filesystem::file_size(path) - 4096, std::string(4096, '\0'));
        expectVerdict(path, *c.declared || c.sound);
        if (!*c.declared)
            continue;
        ASSERT_TRUE(Sql(path).exec("PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql='" +
                                   std::string(c.declared) + "' WHERE name='i'"));
        ASSERT_EQ(Sql(path).one("SELECT sql FROM sqlite_schema WHERE name='i'"), c.declared);
        expectVerdict(path, c.sound);
    }
}
