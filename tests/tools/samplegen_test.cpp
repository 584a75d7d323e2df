// The sample-catalogue generator and mkcatalogue: every catalogue written into
// a fresh temporary folder and read back through the engine's recordsets.
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

// Every row of a table in its natural order, every field.
Rows readTable(engine::Database& db, const std::string& table) {
    Rows rows;
    for (auto rs = db.OpenTable(table); !rs->Eof(); rs->MoveNext()) {
        rows.emplace_back();
        for (int i = 0; i < rs->Fields().Count(); ++i)
            rows.back().push_back(rs->Fields().Item(i).Value());
    }
    return rows;
}

const auto byName = [](const auto& p) { return std::string(p.param.name); };

// Every table with its fields in order and its indexes by their exact names, no
// other table, and one FILEINFO row with the product name.
void expectSchema(engine::Database& db, const std::optional<std::string>& product) {
    const std::tuple<const char*, const char*, std::vector<std::string>> shapes[] = {
        {"FILEINFO", "Product Name|Catalogue Name|Created", {}},
        {"Subjects", "Subject Code|Subject Name", {"Subject Code Index", "Subject Name Index"}},
        {"Publishers",
         "Publisher Code|Publisher Name",
         {"Publisher Code Index", "Publisher Name Index"}},
        {"Types", "Type Code|Type Name", {"Type Code Index", "Type Name Index"}},
        {"MERVANE RECORDS",
         "Item Number|Title|Author|Subject 1|Subject 2|Publisher|Item Type|Year|ISBN|Notes",
         {"Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}}};
    auto names = db.TableNames();
    std::set<std::string> tables(names.begin(), names.end());
    for (const auto& [table, fields, indexes] : shapes) {
        SCOPED_TRACE(table);
        EXPECT_EQ(tables.erase(table), 1u);
        auto rs = db.OpenTable(table);
        std::string found;
        for (int i = 0; i < rs->Fields().Count(); ++i)
            found += (i ? "|" : "") + rs->Fields().Item(i).Name();
        EXPECT_EQ(found, fields);
        for (const auto& index : indexes)
            EXPECT_NO_THROW(rs->Index(index)) << index;
    }
    EXPECT_EQ(tables, std::set<std::string>());
    auto rows = readTable(db, "FILEINFO");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], product ? Variant(*product) : Variant());
}

// The empty catalogue's schema refuses duplicate, missing and out-of-range codes.
TEST_F(SampleCatalogue, EmptyCatalogueHasTheSchemaThatRefusesBadCodes) {
    auto empty = samplegen::CreateCatalogue(path("empty.M17"));
    const std::string insert = "INSERT INTO [Types] ([Type Code], [Type Name]) VALUES ";
    empty->Execute(insert + "(2147483647, 'Book')");
    empty->Execute(insert + "(-2147483648, 'Map')");
    for (const std::string& sql :
         {insert + "(2147483647, 'Books')", insert + "(2147483648, 'Kit')",
          std::string("INSERT INTO [Types] ([Type Name]) VALUES ('Slide')"),
          std::string("INSERT INTO [MERVANE RECORDS] ([Publisher]) VALUES (-2147483649)")})
        EXPECT_EQ(errorOf([&] { empty->Execute(sql); }), err::ConstraintViolation) << sql;
    empty->Close();
    expectSchema(*open("empty.M17"), catalogue::ProductVersion);
}

struct Sizes {
    const char* name;
    long items, subjects, publishers, types;
    std::optional<std::string> product;
    friend void PrintTo(const Sizes& z, std::ostream* os) { *os << z.name; }
};

class SampleContent : public SampleCatalogue, public ::testing::WithParamInterface<Sizes> {};

// The schema and product name, counts as asked, codes unique and never -1,
// names in the name index's order (ASCII letters without regard to case; a seek
// past "" skips Null and empty names), references to existing codes or -1.
TEST_P(SampleContent, SchemaCountsCodesAndReferencesHold) {
    const auto& z = GetParam();
    samplegen::WriteSampleCatalogue(path("c.M17"), {.items = z.items,
                                                    .subjects = z.subjects,
                                                    .publishers = z.publishers,
                                                    .types = z.types,
                                                    .productName = z.product,
                                                    .truthPath = ""});
    auto db = open("c.M17");
    expectSchema(*db, z.product);
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
        auto rs = db->OpenTable(std::string(word) + "s");
        rs->Index(std::string(word) + " Name Index");
        rs->Seek(">", Variant(""));
        std::vector<std::string> names;
        for (; !rs->NoMatch() && !rs->Eof(); rs->MoveNext())
            names.push_back(rs->Fields().Item(1).Value().ToText());
        EXPECT_EQ(names.size() + blank, rows.size()) << word;
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
    // Some items lack a second subject and a few subjects are far above average.
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

const Sizes sizeRows[] = {{"Empty", 0, 0, 0, 0, std::nullopt},
                          {"OneOfEach", 1, 1, 1, 1, "Mervane 1.5"},
                          {"NoTypes", 250, 3, 2, 0, catalogue::ProductVersion},
                          {"Large", 3000, 2000, 120, 40, catalogue::ProductVersion}};
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

// A seed writes the same catalogue and truth file every time, another seed other
// lookups and items. The names hold near-duplicates and awkward characters. The
// truth lists named entries in groups of two or more, one group per name, the
// variants with their names and not the names that only look alike; every kind
// of planted variant is there.
TEST_F(SampleCatalogue, SeedsNamesAndTheTruthThatGroupsThem) {
    for (const char* name : {"a", "b"})
        samplegen::WriteSampleCatalogue(path(name + std::string(".M17")),
                                        {.truthPath = path(name)});
    samplegen::WriteSampleCatalogue(path("c.M17"), {.seed = 8, .truthPath = ""});
    EXPECT_EQ(readFile(path("a.M17")), readFile(path("b.M17")));
    EXPECT_EQ(readFile(path("a")), readFile(path("b")));
    auto db = open("a.M17"), other = open("c.M17");
    for (const char* table : {"Subjects", "Publishers", "Types", "MERVANE RECORDS"})
        EXPECT_NE(readTable(*db, table), readTable(*other, table)) << table;
    auto truth = readTruth(path("a"));
    std::set<std::string> names;
    long nulls = 0;
    std::map<std::string, std::string> groupOf; // the table and group of each listed name
    std::map<std::string, std::string> kinds;   // a listed name of each kind of variant
    for (const std::string table : {"Subjects", "Publishers", "Types"}) {
        SCOPED_TRACE(table);
        const auto& groups = truth[table];
        ASSERT_FALSE(groups.empty());
        std::map<long, int> sizes;
        for (const auto& r : readTable(*db, table)) {
            nulls += r[1].IsNull();
            const auto name = r[1].IsNull() ? std::string() : r[1].ToText();
            names.insert(r[1].IsNull() ? "(Null)" : name);
            auto at = groups.find(r[0].ToLong());
            if (at == groups.end())
                continue;
            ASSERT_FALSE(name.empty()) << at->first;
            ++sizes[at->second];
            const std::string group = table + " " + std::to_string(at->second);
            EXPECT_EQ(groupOf.try_emplace(name, group).first->second, group) << name;
            for (const char* mark : {"\xEF\xBF\xBD", "[", " :", " ;", "  "})
                if (name.find(mark) != std::string::npos)
                    kinds[mark] = name;
        }
        for (auto [group, n] : sizes)
            EXPECT_GE(n, 2) << "group " << group;
    }
    EXPECT_EQ(kinds.size(), 5u);
    const std::tuple<const char*, const char*, bool> pairs[] = {
        {"Computers", "COMPUTERS", true},
        {"Computers", "Computers ", true},
        {"Sport", "Sports", true},
        {"Art & Architecture", "Art and Architecture", true},
        {"Cookery", "Cokery", true},
        {"World War, 1914-1918", "World War, 1914-1918.", true},
        {"World War, 1914-1918", "World War, 1939-1945", false},
        {"Chemistry 1", "Chemistry 2", false},
        {"Penguin Books", "Penguin Bks.", true},
        {"Dār al-Maʻārif", "D\uFFFD\uFFFDr al-Ma\uFFFD\uFFFDrif", true},
        {"Methuen", "[Methuen]", true}};
    for (auto [a, b, grouped] : pairs)
        EXPECT_EQ(groupOf.count(a) && groupOf.count(b) && groupOf[a] == groupOf[b], grouped)
            << a << " / " << b;
    EXPECT_GE(nulls, 3);
    for (const char* text : {"", "O'Reilly", "Éditions Gallimard", "Science [General]",
                             "Music; Scores", "Poetry \"Modern\""})
        EXPECT_TRUE(names.count(text)) << text;
}

// A refused write raises the engine's error and touches no file (a truth file
// that cannot be written takes its catalogue with it).
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

// mkcatalogue with the arguments given, each {} standing for the output path.
class Mkcatalogue : public SampleCatalogue {
protected:
    int run(std::string arguments) {
        for (auto at = arguments.find("{}"); at != std::string::npos; at = arguments.find("{}"))
            arguments.replace(at, 2, "'" + path("out file.M17") + "'");
        const int rc = std::system(
            ("'" MKCATALOGUE_EXE "' " + arguments + " >/dev/null 2>'" + path("stderr") + "'")
                .c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
};

// The exit status, the file written or not, a complaint exactly on failure.
TEST_F(Mkcatalogue, ExitStatusAndOutputFile) {
    const std::tuple<const char*, int, bool> commands[] = {
        {"--help", 0, false},        {"{}", 0, true},
        {"--items 5", 2, false},     {"--items 5x {}", 2, false},
        {"--types -3 {}", 2, false}, {"--colour red {}", 2, false},
        {"{} --truth", 2, false}};
    for (const auto& [arguments, status, writes] : commands) {
        EXPECT_EQ(run(arguments), status) << arguments;
        EXPECT_EQ(std::filesystem::remove(path("out file.M17")), writes) << arguments;
        EXPECT_EQ(readFile(path("stderr")).empty(), status == 0) << readFile(path("stderr"));
    }
}

// Every option reaches the file, and an existing file is never overwritten.
TEST_F(Mkcatalogue, OptionsReachTheFileAndItIsKept) {
    ASSERT_EQ(run("--items 20 --subjects=50 --publishers 4 --types 3 --seed 9 --null-product "
                  "--truth {}.tsv {}"),
              0);
    EXPECT_FALSE(readTruth(path("out file.M17.tsv"))["Subjects"].empty());
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
