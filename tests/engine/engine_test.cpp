// Engine tests: opening, the walk and seek, Execute, transactions, bad input, cross-process holds.
#include "engine.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
using namespace engine;
using namespace testsupport;

namespace {

using Names = std::vector<std::pair<int, std::optional<std::string>>>;
using Walk = std::vector<std::pair<std::string, int>>;

// A lookup table with the given field order and rows (Null names as nullopt, none with a quote).
void makeLookup(const std::string& path, const Names& rows, bool codeFirst = true) {
    auto db = DatabaseEngine().CreateDatabase(path);
    db->Execute(std::string("CREATE TABLE Subjects (") +
                (codeFirst ? "[Subject Code] INTEGER, [Subject Name] TEXT)"
                           : "[Note] TEXT, [Subject Name] TEXT, [Subject Code] INTEGER)"));
    db->Execute("CREATE INDEX [Subject Name Index] ON Subjects ([Subject Name] COLLATE NOCASE)");
    db->Execute("CREATE UNIQUE INDEX [Subject Code Index] ON Subjects ([Subject Code])");
    for (const auto& [code, name] : rows)
        db->Execute("INSERT INTO Subjects ([Subject Code], [Subject Name]) VALUES (" +
                    std::to_string(code) + ", " + (name ? "'" + *name + "'" : "NULL") + ")");
}

// Walks the table in name order from the first name after "", as the lists are
// filled; with no such name the seek finds no match and leaves no current record.
Walk walkNames(Database& db) {
    auto rs = db.OpenTable("Subjects");
    rs->Index("Subject Name Index");
    Walk out;
    rs->Seek(">", Variant(""));
    if (rs->NoMatch())
        EXPECT_EQ(errorOf([&] { rs->Fields().Item(0).Value(); }), err::NoCurrentRecord);
    else
        EXPECT_FALSE(rs->Eof()); // a match is a current record
    for (; !rs->NoMatch() && !rs->Eof(); rs->MoveNext())
        out.emplace_back(rs->Fields().Item("Subject Name").Value().ToText(),
                         rs->Fields().Item("Subject Code").Value().ToLong());
    return out;
}

} // namespace

// The walk skips Null and empty names, keeps duplicates adjacent with their own
// codes, sorts without regard to ASCII case, whatever the order of the fields.
TEST(Recordset, SeekAfterEmptyWalksNamesInIndexOrder) {
    const Names mixed = {
        {5, "computers"}, {1, std::nullopt},      {7, ""},        {3, "Art"},      {9, "Computers"},
        {2, "banking"},   {11, " leading blank"}, {4, "Zoology"}, {8, "Ünicode ß"}};
    const Walk walk = {{" leading blank", 11}, {"Art", 3},     {"banking", 2},  {"computers", 5},
                       {"Computers", 9},       {"Zoology", 4}, {"Ünicode ß", 8}};
    const std::tuple<bool, Names, Walk> cases[] = {
        {true, mixed, walk}, {false, mixed, walk}, {true, {{1, ""}, {2, std::nullopt}}, {}}};
    for (const auto& [codeFirst, rows, expected] : cases) {
        TempDir dir;
        makeLookup(dir / "subjects.M17", rows, codeFirst);
        EXPECT_EQ(walkNames(*DatabaseEngine().OpenDatabase(dir / "subjects.M17")), expected)
            << "code first " << codeFirst << ", rows " << rows.size();
    }
}

// Unknown names, no current record or index, statements Execute does not run and bad
// conversions raise their own number, leaving recordset and table as they were. Seek then
// finds the first key equal to the key in the index's collation, or after it (0: no match).
TEST(Recordset, MisuseRaisesItsNumberThenSeekFinds) {
    TempDir dir;
    makeLookup(dir / "subjects.M17", {{1, "Apple"}, {2, "banana"}, {3, "Cherry"}});
    auto db = DatabaseEngine().OpenDatabase(dir / "subjects.M17");
    db->Execute("CREATE TABLE Empty (x INTEGER)");
    auto rs = db->OpenTable("Subjects"), empty = db->OpenTable("Empty");
    const std::tuple<const char*, long, std::function<void()>> cases[] = {
        {"no table", err::TableNotFound, [&] { db->OpenTable("Publishers"); }},
        {"no index", err::NotAnIndex, [&] { rs->Index("Publisher Name Index"); }},
        {"index case", err::NotAnIndex, [&] { rs->Index("subject name index"); }},
        {"no field 2", err::ItemNotFound, [&] { rs->Fields().Item(2); }},
        {"field case", err::ItemNotFound, [&] { rs->Fields().Item("subject name"); }},
        {"seek unindexed", err::InvalidOperation, [&] { rs->Seek(">", Variant("")); }},
        {"empty MoveFirst", err::NoCurrentRecord, [&] { empty->MoveFirst(); }},
        {"empty read", err::NoCurrentRecord, [&] { empty->Fields().Item("x").Value(); }},
        {"empty MoveNext", err::NoCurrentRecord, [&] { empty->MoveNext(); }},
        {"two statements", err::ExtraCharacters,
         [&] { db->Execute("DELETE FROM Subjects; DROP TABLE Subjects"); }},
        {"a query", err::InvalidOperation, [&] { db->Execute("SELECT * FROM Subjects"); }},
        {"no such table", err::SqlSyntax, [&] { db->Execute("UPDATE nowhere SET x = 1"); }},
        {"no statement", err::SqlSyntax, [&] { db->Execute(""); }},
        {"commit without begin", err::InvalidOperation, [&] { db->CommitTrans(); }},
        {"overflow", err::Overflow, [] { Variant(std::int64_t{2147483648LL}).ToLong(); }},
        {"Null as number", err::InvalidUseOfNull, [] { Variant().ToLong(); }},
        {"Null as text", err::InvalidUseOfNull, [] { Variant().ToText(); }},
        {"not a number", err::TypeMismatch, [] { Variant("12a").ToLong(); }}};
    for (const auto& [what, number, f] : cases)
        EXPECT_EQ(errorOf(f), number) << what;
    EXPECT_EQ(Variant(std::int64_t{INT32_MIN}).ToLong(), INT32_MIN);
    EXPECT_EQ(Variant(" 42 ").ToLong(), 42);
    EXPECT_EQ(Variant(2.5).ToLong(), 2); // to even
    EXPECT_EQ(Variant(3.5).ToLong(), 4);
    EXPECT_EQ(Variant(std::int64_t{-7}).ToText(), "-7");
    EXPECT_TRUE(empty->Eof());
    EXPECT_EQ(rs->Fields().Item("Subject Name").Value(), Variant("Apple"));
    EXPECT_EQ(rs->Fields().Item(0).Value(), Variant(1));
    EXPECT_EQ(walkNames(*db), (Walk{{"Apple", 1}, {"banana", 2}, {"Cherry", 3}}));
    rs->Index("Subject Name Index");
    const std::tuple<const char*, const char*, int> seeks[] = {
        {"=", "BANANA", 2}, {"=", "Blueberry", 0}, {">=", "b", 2}, {">", "cherry", 0}};
    for (auto [op, key, code] : seeks) {
        rs->Seek(op, Variant(key));
        EXPECT_EQ(rs->NoMatch() ? 0 : rs->Fields().Item(0).Value().ToLong(), code) << op << key;
    }
    // Closing the database closes its recordsets; closing twice is harmless.
    db->Close();
    EXPECT_FALSE(rs->IsOpen());
    EXPECT_EQ(errorOf([&] { rs->MoveNext(); }), err::ObjectClosed);
    EXPECT_EQ(errorOf([&] { db->Execute("DELETE FROM Subjects"); }), err::ObjectClosed);
    rs->Close();
    db->Close();
}

// The statement shapes a combine runs, brackets and "DELETE *", in a transaction: committed it
// takes effect, or else rolls back. The file opened again holds what was committed.
TEST(Execute, UpdateAndDeleteShapesInTransactions) {
    TempDir dir;
    std::string path = dir / "exec.M17";
    makeLookup(path, {{4, "Computers"}, {12, "Computer"}, {31, "Computing"}});
    {
        auto db = DatabaseEngine().OpenDatabase(path);
        db->Execute("CREATE TABLE [MERVANE RECORDS] ([Item Number] INTEGER PRIMARY KEY, "
                    "[Subject 1] INTEGER CHECK ([Subject 1] < 100), [Subject 2] INTEGER)");
        db->Execute("INSERT INTO [MERVANE RECORDS] VALUES (1, 12, 31), (2, 31, 4), (3, -1, 12);");
        {
            Transaction tx(*db);
            db->Execute("INSERT INTO [MERVANE RECORDS] VALUES (4, 1, 1)");
            EXPECT_EQ(
                errorOf([&] { db->Execute("INSERT INTO [MERVANE RECORDS] VALUES (5, 100, 1)"); }),
                err::ConstraintViolation);
        }
        EXPECT_FALSE(db->InTransaction());
        Transaction tx(*db);
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 1] = 4 WHERE [Subject 1] IN (12, 31)");
        EXPECT_EQ(db->RecordsAffected(), 2);
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = -1 WHERE [Subject 2] = 31");
        EXPECT_EQ(db->RecordsAffected(), 1);
        db->Execute("  delete   * FROM [Subjects] WHERE [Subject Code] IN (12, 31)");
        EXPECT_EQ(db->RecordsAffected(), 2);
        tx.Commit();
    }
    EXPECT_EQ(Sql(path).rows("SELECT [Subject 1], [Subject 2] FROM [MERVANE RECORDS]"),
              (std::vector<std::string>{"4|-1", "4|4", "-1|12"}));
    EXPECT_EQ(walkNames(*DatabaseEngine().OpenDatabase(path)), (Walk{{"Computers", 4}}));
}

// Bad paths (the empty one too) get the engine's error and leave nothing behind.
TEST(OpenDatabase, BadInput) {
    TempDir dir;
    const std::string text = "This is a text file, not a catalogue.\n";
    writeFile(dir / "empty.M17", "");
    writeFile(dir / "text.M17", text);
    fs::create_directory(dir / "folder.M17");
    const std::pair<std::string, long> cases[] = {{"missing.M17", err::CannotFindFile},
                                                  {"empty.M17", err::NotADatabase},
                                                  {"text.M17", err::NotADatabase},
                                                  {"folder.M17", err::NotValidPath},
                                                  {"", err::NotValidPath}};
    for (const auto& [name, number] : cases) {
        std::string path = name.empty() ? name : dir / name;
        for (bool exclusive : {false, true})
            EXPECT_EQ(errorOf([&] { DatabaseEngine().OpenDatabase(path, exclusive); }), number)
                << path << exclusive;
    }
    EXPECT_EQ(readFile(dir / "empty.M17") + readFile(dir / "text.M17"), text);
    EXPECT_EQ(errorOf([&] { DatabaseEngine().CreateDatabase(dir / "text.M17"); }),
              err::DatabaseExists);
    EXPECT_EQ(errorOf([&] { DatabaseEngine().LockDatabase(dir / "missing.M17"); }),
              err::FileNotFound);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"empty.M17", "text.M17", "folder.M17"}));
}

namespace {

bool waitFor(const std::string& marker) {
    for (int i = 0; i < 3000 && !fs::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fs::exists(marker);
}

// Opens and reads the file ("shared"), opens it exclusively, locks it, or holds it exclusively
// until told to release it; returns the error number met as text ("0" for none).
std::string attempt(const std::string& path, const std::string& mode) {
    return std::to_string(errorOf([&] {
        if (mode == "shared")
            DatabaseEngine().OpenDatabase(path)->OpenTable("Subjects");
        else if (mode == "lock")
            DatabaseEngine().LockDatabase(path);
        else if (auto db = DatabaseEngine().OpenDatabase(path, true); mode == "hold") {
            writeFile(path + ".held", "");
            ASSERT_TRUE(waitFor(path + ".release"));
        }
    }));
}

// Runs attempt in another process: this test program again, as the child test below.
std::string child(const std::string& path, const std::string& mode) {
    fs::remove(path + ".result");
    std::string command = "ENGINE_CHILD_PATH='" + path + "' ENGINE_CHILD_MODE=" + mode +
                          " '" ENGINE_TESTS_EXE "' --gtest_filter=ChildProcess.DISABLED_Try "
                          "--gtest_also_run_disabled_tests >/dev/null";
    return std::system(command.c_str()) == 0 ? readFile(path + ".result") : "the child failed";
}

} // namespace

// The child side: writes what attempt met on the file named by the environment to PATH.result.
TEST(ChildProcess, DISABLED_Try) {
    std::string path = std::getenv("ENGINE_CHILD_PATH");
    writeFile(path + ".result", attempt(path, std::getenv("ENGINE_CHILD_MODE")));
}

// While one process holds the file (opened exclusively, in either journal mode, or locked),
// another can neither open, read, hold nor lock it; released, it can at once.
TEST(CrossProcess, HeldFileKeepsOthersOutUntilReleased) {
    for (std::string holder : {"Open", "OpenWal", "Lock", "OtherProcess"}) {
        SCOPED_TRACE(holder);
        TempDir dir;
        std::string path = dir / "held.M17", held;
        makeLookup(path, {{1, "A"}});
        if (holder == "OpenWal")
            DatabaseEngine().OpenDatabase(path)->Execute("PRAGMA journal_mode=WAL");
        bool here = holder == "OtherProcess"; // the attempts are this process's
        auto attempts = [&](const std::string& expected) {
            for (const char* mode : {"shared", "exclusive", "lock"})
                EXPECT_EQ(here ? attempt(path, mode) : child(path, mode), expected) << mode;
        };
        std::thread other;
        std::function<void()> release = [&] { writeFile(path + ".release", ""), other.join(); };
        if (holder == "Lock") {
            std::shared_ptr<FileLock> lock = DatabaseEngine().LockDatabase(path);
            EXPECT_FALSE(readFile(path).empty()); // a descriptor closed, as a copy does
            release = [lock] { lock->Release(); };
        } else if (here) {
            other = std::thread([&] { held = child(path, "hold"); });
            ASSERT_TRUE(waitFor(path + ".held"));
        } else {
            std::shared_ptr<Database> db = DatabaseEngine().OpenDatabase(path, true);
            std::shared_ptr<Recordset> rs = db->OpenTable("Subjects");
            release = [db, rs] { db->Close(); }; // which closes the recordset too
        }
        attempts(std::to_string(err::FileInUse));
        release();
        EXPECT_EQ(held, here ? "0" : "");
        attempts("0");
    }
}
