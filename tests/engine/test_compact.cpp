// Compaction tests: the file format asked for (read back from the header and
// from the records themselves), the copy holding what the source holds, the
// source left as it was, and every refusal leaving nothing behind.
#include "engine.h"
#include "samplegen.h"
#include "support.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

namespace fs = std::filesystem;
using engine::DatabaseEngine;
using engine::GeneralLocale;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace err = engine::err;

namespace {

// Compacts from into to; returns the engine's error number, 0 for none.
long compact(const std::string& from, const std::string& to, long options = 68,
             const std::string& locale = GeneralLocale) {
    try {
        DatabaseEngine().CompactDatabase(from, to, locale, options);
    } catch (const engine::Error& e) {
        return e.Number();
    }
    return 0;
}

// A catalogue with 0 and 1 among its values (written in format 4 without a
// payload), a descending index and a table without indexes besides.
const std::string& source() {
    static TempDir dir;
    static const std::string path = [] {
        std::string p = dir / "source.M17";
        samplegen::Options o;
        o.items = 2000;
        o.seed = 3;
        samplegen::WriteSampleCatalogue(p, o);
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

// Everything a database holds, row by row, exact to type: its schema and each table's rows.
std::multiset<std::string> contentOf(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::multiset<std::string> out;
    auto each = [&](const std::string& sql, const std::function<void(sqlite3_stmt*)>& f) {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        while (st && sqlite3_step(st) == SQLITE_ROW)
            f(st);
        sqlite3_finalize(st);
    };
    std::vector<std::string> tables;
    each("SELECT type || ' ' || name || ' ' || sql, type, name FROM sqlite_schema",
         [&](sqlite3_stmt* st) {
             out.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
             if (std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))) == "table")
                 tables.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
         });
    for (const auto& t : tables)
        each("SELECT * FROM \"" + t + "\"", [&](sqlite3_stmt* st) {
            std::string row = t;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* v = sqlite3_column_text(st, i);
                row += "|" + std::to_string(sqlite3_column_type(st, i)) + ":" +
                       (v ? reinterpret_cast<const char*>(v) : "");
            }
            out.insert(row);
        });
    sqlite3_close(db);
    return out;
}

std::string integrity(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    std::string verdict = st && sqlite3_step(st) == SQLITE_ROW
                              ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0))
                              : sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return verdict;
}

unsigned be(const std::string& b, size_t at, int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

// The schema format number: the 4-byte integer at byte 44 of the header.
unsigned schemaFormat(const std::string& path) {
    return be(readFile(path), 44, 4);
}

size_t varint(const std::string& b, size_t at, std::uint64_t& v) {
    v = 0;
    for (size_t i = 0; i < 9; ++i) {
        auto c = static_cast<unsigned char>(b[at + i]);
        if (i == 8) {
            v = (v << 8) | c;
            return at + 9;
        }
        v = (v << 7) | (c & 0x7f);
        if (c < 0x80)
            return at + i + 1;
    }
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

} // namespace

class CompactFormat : public ::testing::TestWithParam<std::pair<long, unsigned>> {};

// The copy is in the format asked for, holds what the source holds, passes
// SQLite's own check, and the source is not touched.
TEST_P(CompactFormat, WritesTheFormatAskedForWithEverything) {
    const auto [options, format] = GetParam();
    TempDir dir;
    std::string before = readFile(source());
    ASSERT_GT(payloadlessIntegers(source()), 0) << "the source must hold format-4 records";

    DatabaseEngine().CompactDatabase(source(), dir / "copy.M17", GeneralLocale, options);

    EXPECT_EQ(schemaFormat(dir / "copy.M17"), format);
    EXPECT_EQ(integrity(dir / "copy.M17"), "ok");
    EXPECT_EQ(contentOf(dir / "copy.M17"), contentOf(source()));
    EXPECT_EQ(readFile(source()), before);
    EXPECT_EQ(dir.names(), std::set<std::string>{"copy.M17"});
    if (format == 1) {
        EXPECT_EQ(payloadlessIntegers(dir / "copy.M17"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Options, CompactFormat,
                         ::testing::Values(std::pair{68L, 4u}, std::pair{64L, 4u},
                                           std::pair{20L, 1u}, std::pair{16L, 1u},
                                           std::pair{4L, 4u}));

// The repair program's second run compacts a format-1 file back to format 4.
TEST(Compact, FormatOneBackToFormatFour) {
    TempDir dir;
    DatabaseEngine().CompactDatabase(source(), dir / "old.M17", GeneralLocale, 20);
    DatabaseEngine().CompactDatabase(dir / "old.M17", dir / "new.M17", GeneralLocale, 68);
    EXPECT_EQ(schemaFormat(dir / "new.M17"), 4u);
    EXPECT_EQ(integrity(dir / "new.M17"), "ok");
    EXPECT_EQ(contentOf(dir / "new.M17"), contentOf(source()));
}

// Bad options and locales are refused before anything is written.
TEST(Compact, BadArgumentsWriteNothing) {
    TempDir dir;
    for (long options : {80L, 84L, 128L, 1L, 2L, 8L, -1L})
        EXPECT_EQ(compact(source(), dir / "c.M17", options), err::InvalidOperation) << options;
    for (const char* locale :
         {"", ";LANGID=0x0409;CP=1252;COUNTRY=1", ";langid=0x0409;cp=1252;country=0",
          ";LANGID=0x0407;CP=1252;COUNTRY=0"})
        EXPECT_EQ(compact(source(), dir / "c.M17", 68, locale), err::BadLocale) << locale;
    EXPECT_EQ(compact(dir / "none.M17", dir / "c.M17"), err::CannotFindFile);
    EXPECT_TRUE(dir.names().empty());
}

// An existing destination, even a symbolic link to nothing, is never replaced.
TEST(Compact, ExistingDestinationIsKept) {
    TempDir dir;
    std::ofstream(dir / "taken.M17") << "mine";
    fs::create_symlink(dir / "nowhere", dir / "link.M17");
    EXPECT_EQ(compact(source(), dir / "taken.M17"), err::DatabaseExists);
    EXPECT_EQ(compact(source(), dir / "link.M17", 20), err::DatabaseExists);
    EXPECT_EQ(readFile(dir / "taken.M17"), "mine");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"taken.M17", "link.M17"}));
}

// A folder the caller may not write to gets nothing, not even a temporary file.
// Root may write anywhere, so as root the compaction runs in a child process
// that has given up root for an ordinary user.
TEST(Compact, UnwritableFolderGetsNothing) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all); // the ordinary user must reach the files
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "out");
    fs::copy_file(source(), dir / "in/source.M17");
    fs::permissions(dir / "in/source.M17", fs::perms::all);
    fs::permissions(dir / "in", fs::perms::all);
    fs::permissions(dir / "out",
                    fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write |
                                       fs::perms::others_write));
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        long number = -1;
        if (::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0))
            number = compact(dir / "in/source.M17", dir / "out/copy.M17");
        [[maybe_unused]] ssize_t w = ::write(pipeFds[1], &number, sizeof number);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    long number = 0;
    ASSERT_EQ(::read(pipeFds[0], &number, sizeof number), static_cast<ssize_t>(sizeof number));
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(number, err::ReadOnlyFile);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    fs::permissions(dir / "out", fs::perms::owner_all, fs::perm_options::add);
}

// A source that another holder keeps (a lock like another process's) is refused.
TEST(Compact, SourceHeldElsewhereIsRefused) {
    TempDir dir;
    fs::copy_file(source(), dir / "held.M17");
    auto other = DatabaseEngine().LockDatabase(dir / "held.M17");
    EXPECT_EQ(compact(dir / "held.M17", dir / "copy.M17"), err::FileInUse);
    EXPECT_EQ(dir.names(), std::set<std::string>{"held.M17"});
}
