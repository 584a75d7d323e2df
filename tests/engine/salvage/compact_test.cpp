// Compaction tests: the format asked for, in the header and the records, the copy holding what
// the source holds, the source left as it was, and every refusal leaving nothing behind.
#include "engine.h"
#include "samplegen.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;
using namespace engine;
using namespace testsupport;

namespace {

long compact(const std::string& from, const std::string& to, long options = 68,
             const std::string& locale = GeneralLocale) {
    return errorOf([&] { DatabaseEngine().CompactDatabase(from, to, locale, options); });
}

// A catalogue with 0 and 1 among its values (written in format 4 without a
// payload), a descending index and a table without indexes besides.
const std::string& source() {
    static TempDir dir;
    static const std::string path = [] {
        std::string p = dir / "source.M17";
        samplegen::WriteSampleCatalogue(p, {.items = 2000, .seed = 3, .truthPath = ""});
        Sql(p).exec("UPDATE [MERVANE RECORDS] SET [Year]=0 WHERE [Item Number] % 7 = 0;"
                    "UPDATE [MERVANE RECORDS] SET [Item Type]=1 WHERE [Item Number] % 5 = 0;"
                    "CREATE INDEX [Year Index] ON [MERVANE RECORDS] ([Year] DESC);"
                    "CREATE TABLE Flags (Name TEXT, Value INTEGER);"
                    "INSERT INTO Flags VALUES ('on', 1), ('off', 0)");
        return p;
    }();
    return path;
}

// Everything a file holds as SQLite reads it, exact to type: schema and rows.
std::multiset<std::string> contentOf(const std::string& path) {
    Sql db(path, SQLITE_OPEN_READONLY);
    auto schema = db.rows("SELECT type, name, sql FROM sqlite_schema", true);
    std::multiset<std::string> out(schema.begin(), schema.end());
    for (const auto& table : db.rows("SELECT name FROM sqlite_schema WHERE type = 'table'"))
        for (const auto& row : db.rows("SELECT * FROM \"" + table + "\"", true))
            out.insert(table + "|" + row);
    return out;
}

// The varint at at, which moves past it.
std::uint64_t varint(const std::string& b, size_t& at) {
    std::uint64_t v = 0;
    for (unsigned i = 0, c = 0x80; i < 9 && c >= 0x80; ++i) {
        c = static_cast<unsigned char>(b[at++]);
        v = i == 8 ? (v << 8) | c : (v << 7) | (c & 0x7f);
    }
    return v;
}

// How many record fields on the file's b-tree pages use serial types 8 and 9
// (the integers 0 and 1 without a payload), which schema format 4 introduced.
int payloadlessIntegers(const std::string& path) {
    std::string b = readFile(path);
    unsigned pageSize = be(b, 16) == 1 ? 65536 : be(b, 16), found = 0;
    for (size_t page = 0; page + pageSize <= b.size(); page += pageSize) {
        size_t h = page == 0 ? 100 : page, type = static_cast<unsigned char>(b[h]);
        bool records = type == 2 || type == 10 || type == 13; // not table interior pages
        for (unsigned cell = 0; records && cell < be(b, h + 3); ++cell) {
            size_t at = page + be(b, h + (type == 2 ? 12 : 8) + 2 * cell) + (type == 2 ? 4 : 0);
            for (int skip = type == 13 ? 2 : 1; skip-- > 0;)
                varint(b, at); // payload size, rowid
            for (size_t start = at, end = start + varint(b, at); at < end;)
                found += varint(b, at) / 2 == 4 ? 1 : 0; // 8 or 9
        }
    }
    return static_cast<int>(found);
}

} // namespace

// The copy, checked by SQLite, holds the source's content in the format asked for; the source is
// not touched. A format-1 file compacts back to format 4, as the repair program's second run does.
TEST(Compact, WritesTheFormatAskedForWithEverything) {
    ASSERT_GT(payloadlessIntegers(source()), 0) << "the source must hold format-4 records";
    // Options, the format they ask for, and whether the source's format-1 copy is compacted.
    const std::tuple<long, unsigned, bool> cases[] = {{68, 4, false}, {64, 4, false},
                                                      {20, 1, false}, {16, 1, false},
                                                      {4, 4, false},  {68, 4, true}};
    for (const auto& [options, format, fromFormatOne] : cases) {
        SCOPED_TRACE(std::to_string(options) + (fromFormatOne ? " from format 1" : ""));
        TempDir dir;
        std::string copy = dir / "copy.M17", old = dir / "old.M17";
        ASSERT_EQ(compact(source(), old, 20), 0);
        std::string from = fromFormatOne ? old : source(), before = readFile(from);
        ASSERT_EQ(compact(from, copy, options), 0);
        EXPECT_EQ(be(readFile(copy), 44, 4), format); // the schema format number
        EXPECT_EQ(integrity(Sql(copy, SQLITE_OPEN_READONLY).get()), "ok");
        EXPECT_EQ(contentOf(copy), contentOf(source()));
        EXPECT_EQ(readFile(from), before);
        EXPECT_EQ(dir.names(), (std::set<std::string>{"copy.M17", "old.M17"}));
        EXPECT_EQ(payloadlessIntegers(copy) > 0, format == 4);
    }
}

// Bad options and locales, a missing or held source, an existing destination (even a link to
// nothing) and an unwritable folder are refused before anything is written or replaced.
TEST(Compact, RefusalsWriteNothing) {
    TempDir dir;
    writeFile(dir / "taken.M17", "mine");
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

    // An unwritable folder gets nothing, not even a temporary file. Root may write anywhere, so
    // the compaction runs in a child process that, as root, gives up root for an ordinary user.
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
        writeFile(dir / "number", std::to_string(number));
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(readFile(dir / "number"), std::to_string(err::ReadOnlyFile));
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    fs::permissions(dir / "out", fs::perms::owner_all, fs::perm_options::add);
}
