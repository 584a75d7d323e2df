// Tests of the sample-catalogue generator and the mkcatalogue command: every
// catalogue is written into a fresh temporary folder and read back through
// the engine's recordsets.
#include "samplegen.h"
#include "support.h"

#include <strings.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

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
    Rows rows;
    for (auto rs = db.OpenTable(table); !rs->Eof(); rs->MoveNext()) {
        rows.emplace_back();
        for (int i = 0; i < rs->Fields().Count(); ++i)
            rows.back().push_back(rs->Fields().Item(i).Value());
    }
    return rows;
}

// Test names from the rows' own.
const auto byName = [](const auto& p) { return std::string(p.param.name); };

// Each table with its fields in order and its indexes.
const struct {
    const char* table;
    std::string fields;
    std::vector<std::string> indexes;
} shapes[] = {
    {"FILEINFO", "Product Name|Catalogue Name|Created", {}},
    {"Subjects", "Subject Code|Subject Name", {"Subject Code Index", "Subject Name Index"}},
    {"Publishers",
     "Publisher Code|Publisher Name",
     {"Publisher Code Index", "Publisher Name Index"}},
    {"Types", "Type Code|Type Name", {"Type Code Index", "Type Name Index"}},
    {"MERVANE RECORDS",
     "Item Number|Title|Author|Subject 1|Subject 2|Publisher|Item Type|Year|ISBN|Notes",
     {"Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}}};

// A seed writes the same file and truth file every time; another seed writes
// other content into every table but FILEINFO.
TEST_F(SampleCatalogue, SameSeedWritesSameContentAndAnotherSeedDoesNot) {
    for (const char* name : {"a", "b"})
        samplegen::WriteSampleCatalogue(path(name + std::string(".M17")),
                                        {.items = 400, .seed = 7, .truthPath = path(name)});
    EXPECT_EQ(readFile(path("a.M17")), readFile(path("b.M17")));
    EXPECT_EQ(readFile(path("a")), readFile(path("b")));
    samplegen::WriteSampleCatalogue(path("c.M17"), {.items = 400, .seed = 8, .truthPath = ""});
    auto a = open("a.M17"), c = open("c.M17");
    for (const char* table : {"Subjects", "Publishers", "Types", "MERVANE RECORDS"})
        EXPECT_NE(readTable(*a, table), readTable(*c, table)) << table;
}

class CatalogueSchema : public SampleCatalogue,
                        public ::testing::WithParamInterface<std::optional<std::string>> {};

// Both the empty catalogue and a sample one carry every table, field and index
// by its exact name, no other table, and one FILEINFO row with the product name;
// the schema refuses duplicate, missing and out-of-range codes.
TEST_P(CatalogueSchema, EveryTableFieldIndexAndTheMarker) {
    auto empty = samplegen::CreateCatalogue(path("empty.M17"), GetParam());
    const std::string insert = "INSERT INTO [Types] ([Type Code], [Type Name]) VALUES ";
    empty->Execute(insert + "(2147483647, 'Book')");
    empty->Execute(insert + "(-2147483648, 'Map')");
    for (const std::string& sql :
         {insert + "(2147483647, 'Books')", insert + "(2147483648, 'Kit')",
          std::string("INSERT INTO [Types] ([Type Name]) VALUES ('Slide')"),
          std::string("INSERT INTO [MERVANE RECORDS] ([Publisher]) VALUES (-2147483649)")})
        EXPECT_EQ(errorOf([&] { empty->Execute(sql); }), err::ConstraintViolation) << sql;
    empty->Close();
    samplegen::WriteSampleCatalogue(path("sample.M17"),
                                    {.productName = GetParam(), .truthPath = ""});
    for (const char* file : {"empty.M17", "sample.M17"}) {
        auto db = open(file);
        auto names = db->TableNames();
        std::set<std::string> tables(names.begin(), names.end());
        for (const auto& s : shapes) {
            SCOPED_TRACE(std::string(file) + " " + s.table);
            EXPECT_EQ(tables.erase(s.table), 1u); // by its exact name
            auto rs = db->OpenTable(s.table);
            std::string fields;
            for (int i = 0; i < rs->Fields().Count(); ++i)
                fields += (i ? "|" : "") + rs->Fields().Item(i).Name();
            EXPECT_EQ(fields, s.fields);
            for (const auto& index : s.indexes)
                EXPECT_NO_THROW(rs->Index(index)) << index;
        }
        EXPECT_EQ(tables, std::set<std::string>()) << file;
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
    for (auto [word, count] : {std::pair{"Subject", z.subjects},
                               std::pair{"Publisher", z.publishers}, std::pair{"Type", z.types}}) {
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
            names.push_back(rs->Fields().Item(1).Value().ToText());
        EXPECT_EQ(names.size() + blank, rows.size()) << word;
        // Only ASCII letters fold: the program runs in the "C" locale.
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](auto& a, auto& b) {
            return ::strcasecmp(a.c_str(), b.c_str()) < 0;
        })) << word;
    }
    const std::pair<const char*, const char*> refs[] = {{"Subject 1", "Subject"},
                                                        {"Subject 2", "Subject"},
                                                        {"Publisher", "Publisher"},
                                                        {"Item Type", "Type"}};
    std::map<std::string, std::map<std::int32_t, long>> uses;
    long items = 0;
    for (auto rs = db->OpenTable("MERVANE RECORDS"); !rs->Eof(); rs->MoveNext(), ++items)
        for (auto [column, word] : refs) {
            auto code = rs->Fields().Item(column).Value().ToLong();
            ++uses[column][code];
            ASSERT_TRUE(code == -1 || codes[word].count(code)) << column << " refers to " << code;
        }
    EXPECT_EQ(items, z.items);
    // Some items have no second subject, and a few subjects are far more
    // popular than the average; without types no item has one.
    if (z.items >= 1000 && z.subjects >= 100) {
        EXPECT_GT(uses["Subject 2"][-1], z.items / 10);
        long top = 0;
        for (auto [code, n] : uses["Subject 1"])
            top = code == -1 ? top : std::max(top, n);
        EXPECT_GT(top, 10 * z.items / z.subjects);
    }
    if (z.types == 0) {
        EXPECT_EQ(uses["Item Type"][-1], z.items);
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
// name share a group; the variants are grouped with their names and the names
// that only look alike are not; every kind of planted variant is there.
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
        {"Subjects", "Computers", "Computers ", true},
        {"Subjects", "Sport", "Sports", true},
        {"Subjects", "Art & Architecture", "Art and Architecture", true},
        {"Subjects", "Cookery", "Cokery", true},
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
    for (const char* text : {"", "O'Reilly", "Éditions Gallimard", "Science [General]",
                             "Music; Scores", "Poetry \"Modern\""})
        EXPECT_TRUE(names.count(text)) << text;
}

// A refused write raises the engine's error, leaves an existing file as it was
// and makes no new one (a truth file that cannot be written takes its
// catalogue with it).
TEST_F(SampleCatalogue, RefusedWritesTouchNoFile) {
    testsupport::writeFile(path("taken.M17"), "someone else's file");
    const std::tuple<const char*, samplegen::Options, long> refused[] = {
        {"taken.M17", {}, err::DatabaseExists},
        {"negative.M17", {.publishers = -1, .truthPath = ""}, err::InvalidArgument},
        {"c.M17", {.truthPath = path("no such folder/truth.tsv")}, err::PathFileAccess}};
    for (const auto& [file, opts, number] : refused)
        EXPECT_EQ(errorOf([&] { samplegen::WriteSampleCatalogue(path(file), opts); }), number)
            << file;
    EXPECT_EQ(dir_.names(), std::set<std::string>{"taken.M17"});
    EXPECT_EQ(readFile(path("taken.M17")), "someone else's file");
}

// mkcatalogue with the arguments given ({} stands for the output path): its
// exit status, whether it wrote the file, and a complaint exactly when it fails.
struct Command {
    const char* name;
    std::string arguments;
    int status;
    bool writes;
    friend void PrintTo(const Command& c, std::ostream* os) { *os << c.arguments; }
};

class Mkcatalogue : public SampleCatalogue, public ::testing::WithParamInterface<Command> {
protected:
    int run(std::string arguments) {
        if (auto at = arguments.find("{}"); at != std::string::npos)
            arguments.replace(at, 2, "'" + path("out file.M17") + "'");
        int rc = std::system(("'" MKCATALOGUE_EXE "' " + arguments + " >'" + path("stdout") +
                              "' 2>'" + path("stderr") + "'")
                                 .c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
};

TEST_P(Mkcatalogue, ExitStatusAndOutputFile) {
    const auto& c = GetParam();
    EXPECT_EQ(run(c.arguments), c.status);
    EXPECT_EQ(std::filesystem::exists(path("out file.M17")), c.writes);
    EXPECT_EQ(readFile(path("stderr")).empty(), c.status == 0) << readFile(path("stderr"));
}

const Command commands[] = {{"Help", "--help", 0, false},
                            {"Defaults", "{}", 0, true},
                            {"NoPath", "--items 5", 2, false},
                            {"BadNumber", "--items 5x {}", 2, false},
                            {"NegativeCount", "--types -3 {}", 2, false},
                            {"UnknownOption", "--colour red {}", 2, false},
                            {"TruthWithoutFile", "{} --truth", 2, false}};
INSTANTIATE_TEST_SUITE_P(Arguments, Mkcatalogue, ::testing::ValuesIn(commands), byName);

// Every option reaches the file, and an existing file is never overwritten.
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
