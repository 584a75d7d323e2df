// Tests of the sample-catalogue generator and the mkcatalogue command: every
// catalogue is written into a fresh temporary folder and read back through
// the engine's recordsets.
#include "samplegen.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace err = engine::err;
using engine::Variant;
using testsupport::errorOf;
using testsupport::readFile;
using Rows = std::vector<std::vector<Variant>>;

class SampleCatalogue : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_ / name; }
    std::unique_ptr<engine::Database> open(const std::string& name) const {
        return engine::DatabaseEngine().OpenDatabase(path(name));
    }
    testsupport::TempDir dir_{"samplegen"};
};

// Every row of a table in its natural order, every field. A lookup table's
// rows are (code, name).
Rows readTable(engine::Database& db, const std::string& table) {
    auto rs = db.OpenTable(table);
    Rows rows;
    for (; !rs->Eof(); rs->MoveNext()) {
        rows.emplace_back();
        for (int i = 0; i < rs->Fields().Count(); ++i)
            rows.back().push_back(rs->Fields().Item(i).Value());
    }
    return rows;
}

// Only ASCII letters change: the program runs in the "C" locale.
std::string asciiLower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Test names from the rows' own.
const auto byName = [](const auto& p) { return std::string(p.param.name); };

struct TableShape {
    const char* table;
    std::vector<std::string> fields, indexes;
};

const TableShape shapes[] = {
    {"FILEINFO", {"Product Name", "Catalogue Name", "Created"}, {}},
    {"Subjects", {"Subject Code", "Subject Name"}, {"Subject Code Index", "Subject Name Index"}},
    {"Publishers",
     {"Publisher Code", "Publisher Name"},
     {"Publisher Code Index", "Publisher Name Index"}},
    {"Types", {"Type Code", "Type Name"}, {"Type Code Index", "Type Name Index"}},
    {"MERVANE RECORDS",
     {"Item Number", "Title", "Author", "Subject 1", "Subject 2", "Publisher", "Item Type", "Year",
      "ISBN", "Notes"},
     {"Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}}};

TEST_F(SampleCatalogue, SameSeedWritesSameContentAndAnotherSeedDoesNot) {
    samplegen::Options opts{.items = 400, .seed = 7, .truthPath = path("a.tsv")};
    samplegen::WriteSampleCatalogue(path("a.M17"), opts);
    opts.truthPath = path("b.tsv");
    samplegen::WriteSampleCatalogue(path("b.M17"), opts);
    EXPECT_EQ(readFile(path("a.tsv")), readFile(path("b.tsv")));
    opts.truthPath.clear();
    opts.seed = 8;
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);
    auto a = open("a.M17"), b = open("b.M17"), c = open("c.M17");
    for (const auto& s : shapes) {
        EXPECT_EQ(readTable(*a, s.table), readTable(*b, s.table)) << s.table;
        if (s.table != std::string("FILEINFO")) {
            EXPECT_NE(readTable(*a, s.table), readTable(*c, s.table)) << s.table;
        }
    }
}

class CatalogueSchema : public SampleCatalogue,
                        public ::testing::WithParamInterface<std::optional<std::string>> {};

// Both the empty catalogue and a sample one carry every table, field and index
// by its exact name, no other table, and one FILEINFO row with the product name;
// the schema refuses duplicate, missing and out-of-range codes.
TEST_P(CatalogueSchema, EveryTableFieldIndexAndTheMarker) {
    auto empty = samplegen::CreateCatalogue(path("empty.M17"), GetParam());
    empty->Execute("INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483647, 'Book')");
    empty->Execute("INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (-2147483648, 'Map')");
    for (const char* sql :
         {"INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483647, 'Books')",
          "INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483648, 'Kit')",
          "INSERT INTO [Types] ([Type Name]) VALUES ('Slide')",
          "INSERT INTO [MERVANE RECORDS] ([Publisher]) VALUES (-2147483649)"})
        EXPECT_EQ(errorOf([&] { empty->Execute(sql); }), err::ConstraintViolation) << sql;
    empty->Close();
    samplegen::WriteSampleCatalogue(path("sample.M17"),
                                    {.productName = GetParam(), .truthPath = ""});
    for (const char* file : {"empty.M17", "sample.M17"}) {
        auto db = open(file);
        std::set<std::string> tables;
        for (const auto& s : shapes) {
            SCOPED_TRACE(std::string(file) + " " + s.table);
            tables.insert(s.table);
            auto rs = db->OpenTable(s.table);
            std::vector<std::string> fields;
            for (int i = 0; i < rs->Fields().Count(); ++i)
                fields.push_back(rs->Fields().Item(i).Name());
            EXPECT_EQ(fields, s.fields);
            for (const auto& index : s.indexes)
                EXPECT_NO_THROW(rs->Index(index)) << index;
        }
        auto names = db->TableNames();
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), tables) << file;
        auto rows = readTable(*db, "FILEINFO");
        ASSERT_EQ(rows.size(), 1u) << file;
        EXPECT_EQ(rows[0][0], GetParam() ? Variant(*GetParam()) : Variant()) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Products, CatalogueSchema,
                         ::testing::Values(std::optional<std::string>("Mervane 1.7"),
                                           std::optional<std::string>("Mervane 1.5"),
                                           std::nullopt));

struct Sizes {
    const char* name;
    long items, subjects, publishers, types;
    friend void PrintTo(const Sizes& z, std::ostream* os) { *os << z.name; }
};

class SampleContent : public SampleCatalogue, public ::testing::WithParamInterface<Sizes> {};

// Counts as asked, codes unique, 32-bit and never -1, names in index order,
// every reference to an existing code or -1.
TEST_P(SampleContent, CountsCodesAndReferencesHold) {
    const auto& z = GetParam();
    samplegen::Options opts;
    std::tie(opts.items, opts.subjects, opts.publishers, opts.types) =
        std::tie(z.items, z.subjects, z.publishers, z.types);
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);
    auto db = open("c.M17");
    std::map<std::string, std::set<std::int32_t>> codes;
    for (auto [word, count] :
         {std::pair{"Subject", opts.subjects}, std::pair{"Publisher", opts.publishers},
          std::pair{"Type", opts.types}}) {
        auto rows = readTable(*db, std::string(word) + "s");
        EXPECT_EQ(rows.size(), static_cast<std::size_t>(count)) << word;
        std::size_t blank = 0;
        for (const auto& r : rows) {
            EXPECT_TRUE(codes[word].insert(r[0].ToLong()).second) << word << r[0].ToLong();
            blank += r[1].IsNull() || r[1] == Variant("");
        }
        EXPECT_FALSE(codes[word].count(-1)) << word;
        // The name index sorts ASCII letters without regard to case, and a seek
        // past the empty string skips the Null and empty names.
        auto rs = db->OpenTable(std::string(word) + "s");
        rs->Index(std::string(word) + " Name Index");
        rs->Seek(">", Variant(""));
        std::vector<std::string> names;
        for (; !rs->NoMatch() && !rs->Eof(); rs->MoveNext())
            names.push_back(asciiLower(rs->Fields().Item(1).Value().ToText()));
        EXPECT_EQ(names.size() + blank, rows.size()) << word;
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << word;
    }
    const char* const refs[][2] = {{"Subject 1", "Subject"},
                                   {"Subject 2", "Subject"},
                                   {"Publisher", "Publisher"},
                                   {"Item Type", "Type"}};
    std::map<std::string, std::map<std::int32_t, long>> uses;
    auto rs = db->OpenTable("MERVANE RECORDS");
    long items = 0;
    for (; !rs->Eof(); rs->MoveNext(), ++items) {
        for (auto [column, word] : refs) {
            auto code = rs->Fields().Item(column).Value().ToLong();
            ++uses[column][code];
            ASSERT_TRUE(code == -1 || codes[word].count(code))
                << column << " refers to missing " << code;
        }
    }
    EXPECT_EQ(items, opts.items);
    if (opts.items >= 1000 && opts.subjects >= 100) {
        // Some items have no second subject, and a few subjects are far more
        // popular than the average.
        EXPECT_GT(uses["Subject 2"][-1], opts.items / 10);
        long top = 0;
        for (auto [code, n] : uses["Subject 1"])
            top = code == -1 ? top : std::max(top, n);
        EXPECT_GT(top, 10 * opts.items / opts.subjects);
    }
    if (opts.types == 0) {
        EXPECT_EQ(uses["Item Type"][-1], opts.items);
    }
}

const Sizes sizeRows[] = {{"Empty", 0, 0, 0, 0},
                          {"OneOfEach", 1, 1, 1, 1},
                          {"NoTypes", 250, 3, 2, 0},
                          {"Large", 3000, 2000, 120, 40}};
INSTANTIATE_TEST_SUITE_P(Sizes, SampleContent, ::testing::ValuesIn(sizeRows), byName);

// The truth file of a catalogue: group of each listed code, per table.
std::map<std::string, std::map<std::int32_t, long>> readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "table\tcode\tgroup");
    std::map<std::string, std::map<std::int32_t, long>> truth;
    while (std::getline(in, line)) {
        auto a = line.find('\t'), b = line.rfind('\t');
        truth[line.substr(0, a)][std::stoi(line.substr(a + 1))] = std::stol(line.substr(b + 1));
    }
    return truth;
}

// The lookup names hold the near-duplicates a combine is for and the awkward
// characters that must survive the trip into the file. The truth file lists
// entries that exist and have a name, in groups of two or more; entries of one
// name share a group; the curated variants are grouped and the names that only
// look alike are not; every kind of planted variant is there.
TEST_F(SampleCatalogue, NamesHoldNearDuplicatesAndTheTruthGroupsThem) {
    samplegen::WriteSampleCatalogue(path("c.M17"), {.truthPath = path("truth.tsv")});
    auto truth = readTruth(path("truth.tsv"));
    auto db = open("c.M17");
    std::set<std::string> names;
    long nulls = 0;
    std::map<std::string, std::map<std::string, long>> groupOf; // of each listed name, per table
    std::map<std::string, std::string> kinds; // a listed name of each kind of variant
    for (const std::string table : {"Subjects", "Publishers", "Types"}) {
        SCOPED_TRACE(table);
        const auto& groups = truth[table];
        ASSERT_FALSE(groups.empty());
        std::map<long, int> sizes;
        for (const auto& r : readTable(*db, table)) {
            nulls += r[1].IsNull();
            auto name = r[1].IsNull() ? std::string() : r[1].ToText();
            if (!r[1].IsNull())
                names.insert(name);
            auto at = groups.find(r[0].ToLong());
            if (at == groups.end())
                continue;
            ASSERT_FALSE(name.empty()) << at->first;
            ++sizes[at->second];
            EXPECT_EQ(groupOf[table].try_emplace(name, at->second).first->second, at->second)
                << name;
            for (const char* mark : {"\xEF\xBF\xBD", "[", " :", " ;", "  "})
                if (name.find(mark) != std::string::npos)
                    kinds[mark] = name;
        }
        for (auto [group, n] : sizes)
            EXPECT_GE(n, 2) << "group " << group;
    }
    EXPECT_EQ(kinds.size(), 5u);
    const std::tuple<const char*, const char*, const char*, bool> pairs[] = {
        {"Subjects", "Computers", "COMPUTERS", true},
        {"Subjects", "World War, 1914-1918", "World War, 1914-1918.", true},
        {"Subjects", "World War, 1914-1918", "World War, 1939-1945", false},
        {"Subjects", "Chemistry 1", "Chemistry 2", false},
        {"Publishers", "Penguin Books", "Penguin Bks.", true},
        {"Publishers", "Dār al-Maʻārif", "D\uFFFD\uFFFDr al-Ma\uFFFD\uFFFDrif", true},
        {"Publishers", "Methuen", "[Methuen]", true}};
    for (auto [table, a, b, grouped] : pairs) {
        auto& g = groupOf[table];
        EXPECT_EQ(g.count(a) && g.count(b) && g[a] == g[b], grouped) << a << " / " << b;
    }

    EXPECT_GE(nulls, 3);
    EXPECT_TRUE(names.count(""));
    auto pairWhere = [&](auto related) {
        for (const auto& a : names)
            for (const auto& b : names)
                if (a != b && !a.empty() && related(a, b))
                    return true;
        return false;
    };
    EXPECT_TRUE(pairWhere([](auto& a, auto& b) { return asciiLower(a) == asciiLower(b); }));
    EXPECT_TRUE(pairWhere([](auto& a, auto& b) { return a + " " == b; }));
    EXPECT_TRUE(pairWhere([](auto& a, auto& b) { return a + "s" == b; }));
    auto replaced = [](std::string s, const std::string& from, const std::string& to) {
        auto at = s.find(from);
        return at == std::string::npos ? std::string() : s.replace(at, from.size(), to);
    };
    EXPECT_TRUE(pairWhere([&](auto& a, auto& b) { return replaced(a, "Books", "Bks.") == b; }));
    EXPECT_TRUE(pairWhere([&](auto& a, auto& b) { return replaced(a, " & ", " and ") == b; }));
    // A typo: one letter dropped.
    EXPECT_TRUE(pairWhere([](auto& a, auto& b) {
        if (a.size() != b.size() + 1)
            return false;
        auto at = std::mismatch(b.begin(), b.end(), a.begin()).first - b.begin();
        return a.compare(at + 1, std::string::npos, b, at) == 0;
    }));
    for (const char* text : {"O'Reilly", "Éditions Gallimard", "Science [General]", "Music; Scores",
                             "Poetry \"Modern\""})
        EXPECT_TRUE(names.count(text)) << text;
}

// A refused write raises the engine's error, leaves an existing file as it was
// and makes no new one (a truth file that cannot be written takes its
// catalogue with it).
TEST_F(SampleCatalogue, RefusedWritesTouchNoFile) {
    testsupport::writeFile(path("taken.M17"), "someone else's file");
    struct Refused {
        const char* file;
        samplegen::Options opts;
        long number;
    };
    for (const auto& [file, opts, number] :
         {Refused{"taken.M17", {}, err::DatabaseExists},
          Refused{"negative.M17", {.publishers = -1, .truthPath = ""}, err::InvalidArgument},
          Refused{"c.M17", {.truthPath = path("no such folder/truth.tsv")}, err::PathFileAccess}})
        EXPECT_EQ(errorOf([&] { samplegen::WriteSampleCatalogue(path(file), opts); }), number)
            << file;
    EXPECT_EQ(dir_.names(), std::set<std::string>{"taken.M17"});
    EXPECT_EQ(readFile(path("taken.M17")), "someone else's file");
}

// ---- mkcatalogue --------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::string arguments; // {} stands for the output path
    int status;
    bool writes;
    friend void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.arguments; }
};

class Mkcatalogue : public SampleCatalogue, public ::testing::WithParamInterface<CommandCase> {
protected:
    int run(std::string arguments) {
        auto at = arguments.find("{}");
        if (at != std::string::npos)
            arguments.replace(at, 2, "'" + path("out file.M17") + "'");
        int rc = std::system((std::string("'") + MKCATALOGUE_EXE + "' " + arguments + " >'" +
                              path("stdout") + "' 2>'" + path("stderr") + "'")
                                 .c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
};

TEST_P(Mkcatalogue, ExitStatusAndOutputFile) {
    const auto& c = GetParam();
    EXPECT_EQ(run(c.arguments), c.status);
    EXPECT_EQ(fs::exists(path("out file.M17")), c.writes);
    EXPECT_EQ(readFile(path("stderr")).empty(), c.status == 0) << readFile(path("stderr"));
}

const CommandCase commands[] = {{"Help", "--help", 0, false},
                                {"Defaults", "{}", 0, true},
                                {"NoPath", "--items 5", 2, false},
                                {"BadNumber", "--items 5x {}", 2, false},
                                {"NegativeCount", "--types -3 {}", 2, false},
                                {"UnknownOption", "--colour red {}", 2, false},
                                {"TruthWithoutFile", "{} --truth", 2, false}};
INSTANTIATE_TEST_SUITE_P(Arguments, Mkcatalogue, ::testing::ValuesIn(commands), byName);

TEST_F(Mkcatalogue, OptionsReachTheFileAndItIsKept) {
    ASSERT_EQ(run("--items 20 --subjects=50 --publishers 4 --types 3 --seed 9 --null-product "
                  "--truth '" +
                  path("truth.tsv") + "' {}"),
              0);
    EXPECT_FALSE(readTruth(path("truth.tsv"))["Subjects"].empty());
    auto db = open("out file.M17");
    for (auto [table, rows] : {std::pair{"MERVANE RECORDS", 20u}, std::pair{"Subjects", 50u},
                               std::pair{"Publishers", 4u}, std::pair{"Types", 3u}})
        EXPECT_EQ(readTable(*db, table).size(), rows) << table;
    EXPECT_TRUE(readTable(*db, "FILEINFO").at(0).at(0).IsNull());
    const std::string written = readFile(path("out file.M17"));
    EXPECT_EQ(run("--items 5 {}"), 1);
    EXPECT_NE(readFile(path("stderr")).find("exists"), std::string::npos);
    EXPECT_EQ(readFile(path("out file.M17")), written);
}

} // namespace
