// The repair's own soundness check against SQLite's integrity_check: on sound
// files and on files whose indexes disagree with their tables, both must give
// the same verdict, also where the check leaves a table to SQLite.
#include "check.h"
#include "support.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using testsupport::integrity;
using testsupport::TempDir;

namespace {

// A file made by setup, whose index named index is then declared as declared
// in the schema (when not empty) while its entries stay as built: the way to
// make an index disagree with its table while every page stays intact.
struct CheckCase {
    const char* name;
    const char* setup;
    const char* index;
    const char* declared;
    bool sound; // integrity_check's verdict, to show the case does what it says
    bool zeroLastPage = false;
};
void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

sqlite3* open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    return db;
}

class CheckAgainstSqlite : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckAgainstSqlite, SameVerdict) {
    const CheckCase& c = GetParam();
    TempDir dir;
    std::string path = dir / "check.db";
    {
        sqlite3* db = open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        ASSERT_EQ(sqlite3_exec(db, c.setup, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        if (*c.declared) {
            sqlite3_stmt* st = nullptr;
            sqlite3_exec(db, "PRAGMA writable_schema=ON", nullptr, nullptr, nullptr);
            sqlite3_prepare_v2(db, "UPDATE sqlite_schema SET sql=?1 WHERE name=?2", -1, &st,
                               nullptr);
            sqlite3_bind_text(st, 1, c.declared, -1, SQLITE_STATIC);
            sqlite3_bind_text(st, 2, c.index, -1, SQLITE_STATIC);
            ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
            ASSERT_EQ(sqlite3_changes(db), 1);
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
    }
    if (c.zeroLastPage) {
        auto size = std::filesystem::file_size(path);
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(size - 4096));
        f.write(std::string(4096, '\0').data(), 4096);
    }
    sqlite3* primary = open(path, SQLITE_OPEN_READWRITE);
    sqlite3* secondary = open(path, SQLITE_OPEN_READONLY);
    std::string verdict = integrity(primary);
    EXPECT_EQ(verdict == "ok", c.sound) << verdict;

    EXPECT_EQ(engine::checkDatabase(primary, secondary).sound(), verdict == "ok");
    // The switch to SQLite's own check.
    ::setenv("ENGINE_REPAIR_CHECK", "sqlite", 1);
    EXPECT_EQ(engine::checkDatabase(primary, secondary).sound(), verdict == "ok");
    ::unsetenv("ENGINE_REPAIR_CHECK");
    sqlite3_close(secondary);
    sqlite3_close(primary);
}

// Rows of mixed case, trailing blanks, equal integers and reals, repeated keys.
#define ROWS                                                                                       \
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "               \
    "INSERT INTO t SELECT i, CASE i % 3 WHEN 0 THEN 'Name' || (i % 50) WHEN 1 THEN 'name' || "     \
    "(i % 50) ELSE 'NAME' || (i % 50) || '  ' END, i % 7, (i % 7) * 1.0 FROM n;"
#define TABLE "CREATE TABLE t (k INTEGER PRIMARY KEY, a TEXT, b, c);" ROWS

const CheckCase cases[] = {
    {"Binary", TABLE "CREATE INDEX i ON t (a)", "i", "", true},
    {"NoCase", TABLE "CREATE INDEX i ON t (a COLLATE NOCASE)", "i", "", true},
    {"NoCaseBuiltBinary", TABLE "CREATE INDEX i ON t (a)", "i",
     "CREATE INDEX i ON t (a COLLATE NOCASE)", false},
    {"RTrim", TABLE "CREATE INDEX i ON t (a COLLATE RTRIM)", "i", "", true},
    {"RTrimBuiltNoCase", TABLE "CREATE INDEX i ON t (a COLLATE NOCASE)", "i",
     "CREATE INDEX i ON t (a COLLATE RTRIM)", false},
    // Entries whose text differs from the row's in letter case or trailing blanks.
    {"NoCaseOtherCase",
     TABLE "ALTER TABLE t ADD d; UPDATE t SET d = upper(a);"
           "CREATE INDEX i ON t (a COLLATE NOCASE)",
     "i", "CREATE INDEX i ON t (d COLLATE NOCASE)", true},
    {"RTrimOtherBlanks",
     TABLE "ALTER TABLE t ADD d; UPDATE t SET d = rtrim(a);"
           "CREATE INDEX i ON t (a COLLATE RTRIM)",
     "i", "CREATE INDEX i ON t (d COLLATE RTRIM)", true},
    {"Desc", TABLE "CREATE INDEX i ON t (b DESC, a)", "i", "", true},
    {"DescBuiltAscending", TABLE "CREATE INDEX i ON t (b, a)", "i",
     "CREATE INDEX i ON t (b DESC, a)", false},
    {"UniqueWithDuplicates", TABLE "CREATE INDEX i ON t (b)", "i", "CREATE UNIQUE INDEX i ON t (b)",
     false},
    {"UniqueNoCaseDuplicates", TABLE "CREATE INDEX i ON t (k, a)", "i",
     "CREATE UNIQUE INDEX i ON t (k, a COLLATE NOCASE)", true},
    // Entries built from integers, rows holding the equal reals.
    {"IntegerEqualsReal", TABLE "CREATE INDEX i ON t (b)", "i", "CREATE INDEX i ON t (c)", true},
    {"OtherColumn", TABLE "CREATE INDEX i ON t (b)", "i", "CREATE INDEX i ON t (a)", false},
    {"Expression", TABLE "CREATE INDEX i ON t (lower(a))", "i", "", true},
    {"ExpressionChanged", TABLE "CREATE INDEX i ON t (upper(a))", "i",
     "CREATE INDEX i ON t (lower(a))", false},
    {"Partial", TABLE "CREATE INDEX i ON t (a) WHERE b > 3", "i", "", true},
    {"PartialWider", TABLE "CREATE INDEX i ON t (a) WHERE b > 1", "i",
     "CREATE INDEX i ON t (a) WHERE b > 3", false},
    {"WithoutRowid",
     "CREATE TABLE t (k INTEGER PRIMARY KEY, a TEXT, b, c) WITHOUT ROWID;" ROWS
     "CREATE INDEX i ON t (a)",
     "i", "", true},
    {"WithoutRowidNoCase",
     "CREATE TABLE t (k INTEGER PRIMARY KEY, a TEXT, b, c) WITHOUT ROWID;" ROWS
     "CREATE INDEX i ON t (a)",
     "i", "CREATE INDEX i ON t (a COLLATE NOCASE)", false},
    {"Utf16", "PRAGMA encoding='UTF-16le';" TABLE "CREATE INDEX i ON t (a COLLATE NOCASE)", "i", "",
     true},
    {"Utf16NoCaseBuiltBinary", "PRAGMA encoding='UTF-16le';" TABLE "CREATE INDEX i ON t (a)", "i",
     "CREATE INDEX i ON t (a COLLATE NOCASE)", false},
    {"ZeroedIndexPage", TABLE "CREATE INDEX i ON t (a)", "i", "", false, true},
};

INSTANTIATE_TEST_SUITE_P(Repair, CheckAgainstSqlite, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<CheckCase>& c) {
                             return std::string(c.param.name);
                         });

} // namespace
