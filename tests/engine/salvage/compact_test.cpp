// Compaction tests: the file format asked for (read back from the header and
// from the records themselves), the copy holding what the source holds, the
// source left as it was, and every refusal leaving nothing behind.
#include "engine.h"
#include "samplegen.h"
#include "support.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;
using engine::DatabaseEngine;
using testsupport::readFile;
using testsupport::TempDir;
namespace err = engine::err;

namespace {

// Compacts from into to; returns the engine's error number, 0 for none.
long compact(const std::string& from, const std::string& to, long options = 68,
             const std::string& locale = engine::GeneralLocale) {
    return testsupport::errorOf(
        [&] { DatabaseEngine().CompactDatabase(from, to, locale, options); });
}

// A catalogue with 0 and 1 among its values (written in format 4 without a
// payload), a descending index and a table without indexes besides.
const std::string& source() {
    static TempDir dir;
    static const std::string path = [] {
        std::string p = dir / "source.M17";
        samplegen::WriteSampleCatalogue(p, {.items = 2000, .seed = 3, .truthPath = ""});
        auto db = DatabaseEngine().OpenDatabase(p);
        db->Execute("UPDATE [MERVANE RECORDS] SET [Year]=0 WHERE [Item Number] % 7 = 0");
        db->Execute("UPDATE [MERVANE RECORDS] SET [Item Type]=1 WHERE [Item Number] % 5 = 0");
        db->Execute("CREATE INDEX [Year Index] ON [MERVANE RECORDS] ([Year] DESC)");
        db->Execute("CREATE TABLE Flags (Name TEXT, Value INTEGER)");
        db->Execute("INSERT INTO Flags VALUES ('on', 1), ('off', 0)");
        return p;
    }();
    return path;
}

// The rows sql yields on the file at path, opened read only by SQLite itself:
// each field as "type:text", joined by '|'.
std::vector<std::string> rowsOf(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    std::vector<std::string> rows;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            int type = sqlite3_column_type(st, i); // before the text conversion below
            auto text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
            row += (i ? "|" : "") + std::to_string(type) + ":" + (text ? text : "");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// Everything a database holds, exact to type: its schema and each table's rows.
std::multiset<std::string> contentOf(const std::string& path) {
    auto schema = rowsOf(path, "SELECT type, name, sql FROM sqlite_schema");
    std::multiset<std::string> out(schema.begin(), schema.end());
    for (const auto& table : rowsOf(path, "SELECT name FROM sqlite_schema WHERE type = 'table'"))
        for (const auto& row : rowsOf(path, "SELECT * FROM \"" + table.substr(2) + "\""))
            out.insert(table + "|" + row);
    return out;
}

unsigned be(const std::string& b, size_t at, int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

size_t varint(const std::string& b, size_t at, std::uint64_t& v) {
    v = 0;
    for (size_t i = 0; i < 8; ++i) {
        auto c = static_cast<unsigned char>(b[at + i]);
        v = (v << 7) | (c & 0x7f);
        if (c < 0x80)
            return at + i + 1;
    }
    v = (v << 8) | static_cast<unsigned char>(b[at + 8]);
    return at + 9;
}

// How many record fields on the file's b-tree pages use serial types 8 and 9
// (the integers 0 and 1 without a payload), which schema format 4 introduced.
int payloadlessIntegers(const std::string& path) {
    std::string b = readFile(path);
    unsigned pageSize = be(b, 16, 2) == 1 ? 65536 : be(b, 16, 2);
    int found = 0;
    for (size_t page = 0; page + pageSize <= b.size(); page += pageSize) {
        size_t h = page == 0 ? 100 : page;
        unsigned type = static_cast<unsigned char>(b[h]);
        if (type != 2 && type != 10 && type != 13)
            continue; // table interior pages and others hold no records
        for (unsigned cell = 0; cell < be(b, h + 3, 2); ++cell) {
            size_t at = page + be(b, h + (type == 2 ? 12 : 8) + 2 * cell, 2) + (type == 2 ? 4 : 0);
            std::uint64_t v;
            at = varint(b, at, v); // payload size
            if (type == 13)
                at = varint(b, at, v); // rowid
            size_t headerEnd = at;
            at = varint(b, at, v);
            headerEnd += v;
            while (at < headerEnd) {
                at = varint(b, at, v);
                found += (v == 8 || v == 9) ? 1 : 0;
            }
        }
    }
    return found;
}

struct FormatCase {
    long options;
    unsigned format;
    bool fromFormatOne; // compact a format-1 copy of the source instead
    friend void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.options; }
};

} // namespace

class CompactFormat : public ::testing::TestWithParam<FormatCase> {};

// The copy is in the format asked for (its records too), holds what the source
// holds, passes SQLite's own check, and its source is not touched. A format-1
// file compacts back to format 4, as the repair program's second run does.
TEST_P(CompactFormat, WritesTheFormatAskedForWithEverything) {
    const auto [options, format, fromFormatOne] = GetParam();
    TempDir dir;
    ASSERT_GT(payloadlessIntegers(source()), 0) << "the source must hold format-4 records";
    ASSERT_EQ(compact(source(), dir / "old.M17", 20), 0); // the source in format 1
    std::string from = fromFormatOne ? dir / "old.M17" : source(), before = readFile(from);

    ASSERT_EQ(compact(from, dir / "copy.M17", options), 0);

    EXPECT_EQ(be(readFile(dir / "copy.M17"), 44, 4), format); // the schema format number
    EXPECT_EQ(rowsOf(dir / "copy.M17", "PRAGMA integrity_check"), std::vector<std::string>{"3:ok"});
    EXPECT_EQ(contentOf(dir / "copy.M17"), contentOf(source()));
    EXPECT_EQ(readFile(from), before);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"copy.M17", "old.M17"}));
    EXPECT_EQ(payloadlessIntegers(dir / "copy.M17") > 0, format == 4);
}

INSTANTIATE_TEST_SUITE_P(Options, CompactFormat,
                         ::testing::Values(FormatCase{68, 4, false}, FormatCase{64, 4, false},
                                           FormatCase{20, 1, false}, FormatCase{16, 1, false},
                                           FormatCase{4, 4, false}, FormatCase{68, 4, true}),
                         [](const auto& p) {
                             return "Options" + std::to_string(p.param.options) +
                                    (p.param.fromFormatOne ? "FromFormatOne" : "");
                         });

// Bad options and locales, a missing or held source and an existing
// destination (even a symbolic link to nothing) are refused before anything
// is written or replaced.
TEST(Compact, RefusalsWriteNothing) {
    TempDir dir;
    testsupport::writeFile(dir / "taken.M17", "mine");
    fs::create_symlink(dir / "nowhere", dir / "link.M17");
    fs::copy_file(source(), dir / "held.M17");
    auto other = DatabaseEngine().LockDatabase(dir / "held.M17"); // as another process's
    for (long options : {80L, 84L, 128L, 1L, 2L, 8L, -1L})
        EXPECT_EQ(compact(source(), dir / "c.M17", options), err::InvalidOperation) << options;
    for (const char* locale :
         {"", ";LANGID=0x0409;CP=1252;COUNTRY=1", ";langid=0x0409;cp=1252;country=0",
          ";LANGID=0x0407;CP=1252;COUNTRY=0"})
        EXPECT_EQ(compact(source(), dir / "c.M17", 68, locale), err::BadLocale) << locale;
    EXPECT_EQ(compact(dir / "none.M17", dir / "c.M17"), err::CannotFindFile);
    EXPECT_EQ(compact(dir / "held.M17", dir / "c.M17"), err::FileInUse);
    EXPECT_EQ(compact(source(), dir / "taken.M17"), err::DatabaseExists);
    EXPECT_EQ(compact(source(), dir / "link.M17", 20), err::DatabaseExists);
    EXPECT_EQ(readFile(dir / "taken.M17"), "mine");
    EXPECT_EQ(readFile(dir / "held.M17"), readFile(source()));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"taken.M17", "link.M17", "held.M17"}));
}

// A folder the caller may not write to gets nothing, not even a temporary file.
// Root may write anywhere, so as root the compaction runs in a child process
// that has given up root for an ordinary user.
TEST(Compact, UnwritableFolderGetsNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all); // the ordinary user must reach the files
    fs::copy_file(source(), dir / "source.M17");
    fs::permissions(dir / "source.M17", fs::perms::all);
    fs::create_directory(dir / "out");
    fs::permissions(dir / "out", fs::perms(0555));
    pid_t pid = ::fork();
    if (pid == 0) {
        long number = -1;
        if (::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0))
            number = compact(dir / "source.M17", dir / "out/copy.M17");
        testsupport::writeFile(dir / "number", std::to_string(number));
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(readFile(dir / "number"), std::to_string(err::ReadOnlyFile));
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    fs::permissions(dir / "out", fs::perms::owner_all, fs::perm_options::add);
}
