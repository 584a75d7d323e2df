// Tests of the sample-catalogue generator and the mkcatalogue command: every
// catalogue is written into a fresh temporary folder and read back through
// the engine's recordsets.
#include "samplegen.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using engine::Variant;
using Row = std::vector<Variant>;

class SampleCatalogue : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "samplegen-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// Every row of a table in its natural order, every field.
std::vector<Row> readTable(engine::Database& db, const std::string& table) {
    auto rs = db.OpenTable(table);
    std::vector<Row> rows;
    int n = rs->Fields().Count();
    for (; !rs->Eof(); rs->MoveNext()) {
        Row row;
        for (int i = 0; i < n; ++i)
            row.push_back(rs->Fields().Item(i).Value());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> fieldNames(engine::Recordset& rs) {
    std::vector<std::string> names;
    for (int i = 0; i < rs.Fields().Count(); ++i)
        names.push_back(rs.Fields().Item(i).Name());
    return names;
}

struct Lookup {
    std::vector<std::int32_t> codes;
    std::vector<Variant> names;
};

Lookup readLookup(engine::Database& db, const std::string& word) {
    auto rs = db.OpenTable(word + "s");
    Lookup l;
    for (; !rs->Eof(); rs->MoveNext()) {
        l.codes.push_back(rs->Fields().Item(word + " Code").Value().ToLong());
        l.names.push_back(rs->Fields().Item(word + " Name").Value());
    }
    return l;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

// The number of the engine::Error that f raises; 0 when it raises none.
template <class F> long errorOf(F f) {
    try {
        f();
    } catch (const engine::Error& e) {
        return e.Number();
    }
    return 0;
}

const char* const tableNames[] = {"FILEINFO", "Subjects", "Publishers", "Types", "MERVANE RECORDS"};

std::map<std::string, std::vector<Row>> readAll(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    std::map<std::string, std::vector<Row>> all;
    for (const char* t : tableNames)
        all[t] = readTable(*db, t);
    return all;
}

// ---- Determinism ------------------------------------------------------------

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(SampleCatalogue, SameSeedWritesSameContentAndAnotherSeedDoesNot) {
    samplegen::Options opts;
    opts.items = 400;
    opts.seed = 7;
    opts.truthPath = path("a.tsv");
    samplegen::WriteSampleCatalogue(path("a.M17"), opts);
    opts.truthPath = path("b.tsv");
    samplegen::WriteSampleCatalogue(path("b.M17"), opts);
    EXPECT_EQ(fileText(path("a.tsv")), fileText(path("b.tsv")));
    opts.truthPath.clear();
    opts.seed = 8;
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);

    auto a = readAll(path("a.M17"));
    auto b = readAll(path("b.M17"));
    auto c = readAll(path("c.M17"));
    EXPECT_EQ(a, b);
    for (const char* t : {"Subjects", "Publishers", "Types", "MERVANE RECORDS"})
        EXPECT_NE(a[t], c[t]) << t;
}

// ---- Schema -----------------------------------------------------------------

struct TableShape {
    const char* table;
    std::vector<std::string> fields;
    std::vector<std::string> indexes;
};

void PrintTo(const TableShape& shape, std::ostream* os) {
    *os << shape.table;
}

class CatalogueSchema : public SampleCatalogue, public ::testing::WithParamInterface<TableShape> {};

// Both the empty catalogue and a sample one carry every field and index by its exact name.
TEST_P(CatalogueSchema, TableHasEveryFieldAndIndex) {
    const auto& shape = GetParam();
    samplegen::CreateCatalogue(path("empty.M17"))->Close();
    samplegen::WriteSampleCatalogue(path("sample.M17"), {});
    for (const char* file : {"empty.M17", "sample.M17"}) {
        SCOPED_TRACE(file);
        auto db = engine::DatabaseEngine().OpenDatabase(path(file));
        auto tables = db->TableNames();
        EXPECT_EQ(std::set<std::string>(tables.begin(), tables.end()),
                  std::set<std::string>(std::begin(tableNames), std::end(tableNames)));
        auto rs = db->OpenTable(shape.table);
        EXPECT_EQ(fieldNames(*rs), shape.fields);
        for (const auto& index : shape.indexes)
            EXPECT_NO_THROW(rs->Index(index)) << index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CatalogueSchema,
    ::testing::Values(
        TableShape{"FILEINFO", {"Product Name", "Catalogue Name", "Created"}, {}},
        TableShape{"Subjects",
                   {"Subject Code", "Subject Name"},
                   {"Subject Code Index", "Subject Name Index"}},
        TableShape{"Publishers",
                   {"Publisher Code", "Publisher Name"},
                   {"Publisher Code Index", "Publisher Name Index"}},
        TableShape{"Types", {"Type Code", "Type Name"}, {"Type Code Index", "Type Name Index"}},
        TableShape{"MERVANE RECORDS",
                   {"Item Number", "Title", "Author", "Subject 1", "Subject 2", "Publisher",
                    "Item Type", "Year", "ISBN", "Notes"},
                   {"Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}}),
    [](const auto& p) {
        std::string name = p.param.table;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(SampleCatalogue, SchemaRefusesDuplicateAndOutOfRangeCodes) {
    auto db = samplegen::CreateCatalogue(path("c.M17"));
    db->Execute("INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483647, 'Book')");
    db->Execute("INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (-2147483648, 'Map')");
    for (const char* sql :
         {"INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483647, 'Books')",
          "INSERT INTO [Types] ([Type Code], [Type Name]) VALUES (2147483648, 'Kit')",
          "INSERT INTO [Types] ([Type Name]) VALUES ('Slide')",
          "INSERT INTO [MERVANE RECORDS] ([Publisher]) VALUES (-2147483649)"})
        EXPECT_EQ(errorOf([&] { db->Execute(sql); }), engine::err::ConstraintViolation) << sql;
}

// The name index sorts ASCII letters without regard to case, and a seek past
// the empty string skips the Null and empty names.
TEST_F(SampleCatalogue, NameIndexSortsWithoutLetterCase) {
    samplegen::Options opts;
    opts.subjects = 3000;
    opts.items = 0;
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);
    auto db = engine::DatabaseEngine().OpenDatabase(path("c.M17"));
    auto rs = db->OpenTable("Subjects");
    rs->Index("Subject Name Index");
    rs->Seek(">", Variant(""));
    ASSERT_FALSE(rs->NoMatch());
    std::vector<std::string> names;
    for (; !rs->Eof(); rs->MoveNext())
        names.push_back(rs->Fields().Item("Subject Name").Value().ToText());

    auto all = readLookup(*db, "Subject");
    auto blank = std::count_if(all.names.begin(), all.names.end(),
                               [](const Variant& v) { return v.IsNull() || v == Variant(""); });
    EXPECT_EQ(names.size() + static_cast<std::size_t>(blank), all.names.size());
    for (std::size_t i = 1; i < names.size(); ++i)
        ASSERT_LE(asciiLower(names[i - 1]), asciiLower(names[i])) << "at " << i;
}

// ---- Content ----------------------------------------------------------------

struct Sizes {
    long items, subjects, publishers, types;
};

void PrintTo(const Sizes& z, std::ostream* os) {
    *os << z.items << " items, " << z.subjects << "/" << z.publishers << "/" << z.types
        << " subjects/publishers/types";
}

class SampleContent : public SampleCatalogue, public ::testing::WithParamInterface<Sizes> {};

// Counts as asked, codes unique, 32-bit and never -1, every reference to an
// existing code or -1.
TEST_P(SampleContent, CountsCodesAndReferencesHold) {
    samplegen::Options opts;
    opts.items = GetParam().items;
    opts.subjects = GetParam().subjects;
    opts.publishers = GetParam().publishers;
    opts.types = GetParam().types;
    opts.seed = 11;
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);
    auto db = engine::DatabaseEngine().OpenDatabase(path("c.M17"));

    std::map<std::string, std::set<std::int32_t>> codes;
    for (auto [word, count] :
         {std::pair{"Subject", opts.subjects}, std::pair{"Publisher", opts.publishers},
          std::pair{"Type", opts.types}}) {
        auto l = readLookup(*db, word);
        EXPECT_EQ(l.codes.size(), static_cast<std::size_t>(count)) << word;
        auto& set = codes[word];
        set.insert(l.codes.begin(), l.codes.end());
        EXPECT_EQ(set.size(), l.codes.size()) << word << " codes repeat";
        EXPECT_FALSE(set.count(-1)) << word;
    }

    const std::pair<const char*, const char*> refs[] = {{"Subject 1", "Subject"},
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
            if (code != -1) {
                ASSERT_TRUE(codes[word].count(code)) << column << " refers to missing " << code;
            }
        }
    }
    EXPECT_EQ(items, opts.items);
    if (opts.items >= 1000 && opts.subjects >= 100) {
        // Some items have no second subject, and a few subjects are far more
        // popular than the average.
        EXPECT_GT(uses["Subject 2"][-1], opts.items / 10);
        long top = 0;
        for (auto [code, n] : uses["Subject 1"])
            if (code != -1)
                top = std::max(top, n);
        EXPECT_GT(top, 10 * opts.items / opts.subjects);
    }
    if (opts.types == 0 && opts.items > 0) {
        EXPECT_EQ(uses["Item Type"][-1], opts.items);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SampleContent,
                         ::testing::Values(Sizes{0, 0, 0, 0}, Sizes{1, 1, 1, 1},
                                           Sizes{250, 3, 2, 0}, Sizes{3000, 2000, 120, 40}));

// The lookup names hold the near-duplicates a combine is for and the awkward
// characters that must survive the trip into the file.
TEST_F(SampleCatalogue, NamesHoldNearDuplicatesAndAwkwardText) {
    samplegen::WriteSampleCatalogue(path("c.M17"), {});
    auto db = engine::DatabaseEngine().OpenDatabase(path("c.M17"));
    std::set<std::string> names;
    long nulls = 0;
    for (const char* word : {"Subject", "Publisher", "Type"}) {
        for (const auto& v : readLookup(*db, word).names) {
            if (v.IsNull())
                ++nulls;
            else
                names.insert(v.ToText());
        }
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

// ---- Truth about the planted variants ----------------------------------------

// The truth file of a catalogue: group of each listed code, per table.
std::map<std::string, std::map<std::int32_t, long>> readTruth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "table\tcode\tgroup");
    std::map<std::string, std::map<std::int32_t, long>> truth;
    while (std::getline(in, line)) {
        auto a = line.find('\t'), b = line.rfind('\t');
        truth[line.substr(0, a)][std::stoi(line.substr(a + 1, b - a - 1))] =
            std::stol(line.substr(b + 1));
    }
    return truth;
}

// Every listed entry exists and has a name; groups have two entries or more;
// entries of one name share a group; the curated variants are grouped and the
// names that only look alike are not; the new kinds of variant are planted.
TEST_F(SampleCatalogue, TruthGroupsThePlantedVariants) {
    samplegen::Options opts;
    opts.subjects = 3000;
    opts.publishers = 600;
    opts.truthPath = path("truth.tsv");
    samplegen::WriteSampleCatalogue(path("c.M17"), opts);
    auto truth = readTruth(opts.truthPath);
    auto db = engine::DatabaseEngine().OpenDatabase(path("c.M17"));
    std::map<std::string, std::string> kinds; // a listed name of each kind of variant
    for (const char* word : {"Subject", "Publisher", "Type"}) {
        SCOPED_TRACE(word);
        const auto& groups = truth[std::string(word) + "s"];
        ASSERT_FALSE(groups.empty());
        auto l = readLookup(*db, word);
        std::map<std::string, long> groupOfName;
        std::map<long, int> sizes;
        for (std::size_t i = 0; i < l.codes.size(); ++i) {
            auto at = groups.find(l.codes[i]);
            bool blank = l.names[i].IsNull() || l.names[i].ToText().empty();
            if (at == groups.end())
                continue;
            EXPECT_FALSE(blank) << l.codes[i];
            ++sizes[at->second];
            auto name = l.names[i].ToText();
            auto [seen, added] = groupOfName.try_emplace(name, at->second);
            EXPECT_EQ(seen->second, at->second) << name;
            for (const char* mark : {"\xEF\xBF\xBD", "[", " :", " ;", "  "})
                if (name.find(mark) != std::string::npos)
                    kinds[mark] = name;
        }
        for (auto [group, n] : sizes)
            EXPECT_GE(n, 2) << "group " << group;
        auto same = [&](const std::string& a, const std::string& b) {
            return groupOfName.count(a) && groupOfName.count(b) && groupOfName[a] == groupOfName[b];
        };
        if (std::string(word) == "Subject") {
            EXPECT_TRUE(same("Computers", "COMPUTERS"));
            EXPECT_TRUE(same("World War, 1914-1918", "World War, 1914-1918."));
            EXPECT_FALSE(same("World War, 1914-1918", "World War, 1939-1945"));
            EXPECT_FALSE(same("Chemistry 1", "Chemistry 2"));
        } else if (std::string(word) == "Publisher") {
            EXPECT_TRUE(same("Penguin Books", "Penguin Bks."));
            EXPECT_TRUE(same("Dār al-Maʻārif", "D\uFFFD\uFFFDr al-Ma\uFFFD\uFFFDrif"));
            EXPECT_TRUE(same("Methuen", "[Methuen]"));
        }
    }
    EXPECT_EQ(kinds.size(), 5u);
}

// A truth file that cannot be written fails the write and leaves no catalogue.
TEST_F(SampleCatalogue, UnwritableTruthLeavesNoCatalogue) {
    samplegen::Options opts;
    opts.truthPath = path("no such folder/truth.tsv");
    EXPECT_EQ(errorOf([&] { samplegen::WriteSampleCatalogue(path("c.M17"), opts); }),
              engine::err::PathFileAccess);
    EXPECT_FALSE(fs::exists(path("c.M17")));
}

// ---- Marker and failures ----------------------------------------------------

class SampleMarker : public SampleCatalogue,
                     public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(SampleMarker, FirstFileInfoRowCarriesTheProductName) {
    samplegen::Options opts;
    opts.productName = GetParam();
    samplegen::WriteSampleCatalogue(path("sample.M17"), opts);
    samplegen::CreateCatalogue(path("empty.M17"), GetParam())->Close();
    for (const char* file : {"sample.M17", "empty.M17"}) {
        auto db = engine::DatabaseEngine().OpenDatabase(path(file));
        auto rows = readTable(*db, "FILEINFO");
        ASSERT_EQ(rows.size(), 1u) << file;
        EXPECT_EQ(rows[0][0], GetParam() ? Variant(*GetParam()) : Variant()) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Products, SampleMarker,
                         ::testing::Values(std::optional<std::string>("Mervane 1.7"),
                                           std::optional<std::string>("Mervane 1.5"),
                                           std::optional<std::string>()));

// A refused write leaves an existing file as it was and makes no new one.
TEST_F(SampleCatalogue, RefusedWriteTouchesNoFile) {
    const std::string taken = path("taken.M17");
    std::ofstream(taken) << "someone else's file";
    EXPECT_EQ(errorOf([&] { samplegen::WriteSampleCatalogue(taken, {}); }),
              engine::err::DatabaseExists);
    EXPECT_EQ(fs::file_size(taken), 19u);

    samplegen::Options opts;
    opts.publishers = -1;
    EXPECT_EQ(errorOf([&] { samplegen::WriteSampleCatalogue(path("c.M17"), opts); }),
              engine::err::InvalidArgument);
    EXPECT_FALSE(fs::exists(path("c.M17")));
}

// ---- mkcatalogue --------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::string arguments; // {} stands for the output path
    int status;
    bool writes;
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << "mkcatalogue " << c.arguments;
}

class Mkcatalogue : public SampleCatalogue {
protected:
    int run(std::string arguments) {
        auto at = arguments.find("{}");
        if (at != std::string::npos)
            arguments.replace(at, 2, "'" + path("out file.M17") + "'");
        std::string cmd = std::string("'") + MKCATALOGUE_EXE + "' " + arguments + " >'" +
                          path("stdout") + "' 2>'" + path("stderr") + "'";
        int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string stderrText() {
        std::ifstream in(path("stderr"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

class MkcatalogueArguments : public Mkcatalogue,
                             public ::testing::WithParamInterface<CommandCase> {};

TEST_P(MkcatalogueArguments, ExitStatusAndOutputFile) {
    const auto& c = GetParam();
    EXPECT_EQ(run(c.arguments), c.status);
    EXPECT_EQ(fs::exists(path("out file.M17")), c.writes);
    EXPECT_EQ(stderrText().empty(), c.status == 0) << stderrText();
}

INSTANTIATE_TEST_SUITE_P(Arguments, MkcatalogueArguments,
                         ::testing::Values(CommandCase{"Help", "--help", 0, false},
                                           CommandCase{"Defaults", "{}", 0, true},
                                           CommandCase{"NoPath", "--items 5", 2, false},
                                           CommandCase{"BadNumber", "--items 5x {}", 2, false},
                                           CommandCase{"NegativeCount", "--types -3 {}", 2, false},
                                           CommandCase{"UnknownOption", "--colour red {}", 2,
                                                       false},
                                           CommandCase{"TruthWithoutFile", "{} --truth", 2, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Mkcatalogue, OptionsReachTheFile) {
    ASSERT_FALSE(fs::exists(path("truth.tsv")));
    ASSERT_EQ(run("--items 20 --subjects=50 --publishers 4 --types 3 --seed 9 --null-product "
                  "--truth '" +
                  path("truth.tsv") + "' {}"),
              0);
    EXPECT_FALSE(readTruth(path("truth.tsv"))["Subjects"].empty());
    auto db = engine::DatabaseEngine().OpenDatabase(path("out file.M17"));
    EXPECT_EQ(readTable(*db, "MERVANE RECORDS").size(), 20u);
    EXPECT_EQ(readTable(*db, "Subjects").size(), 50u);
    EXPECT_EQ(readTable(*db, "Publishers").size(), 4u);
    EXPECT_EQ(readTable(*db, "Types").size(), 3u);
    EXPECT_TRUE(readTable(*db, "FILEINFO").at(0).at(0).IsNull());
}

TEST_F(Mkcatalogue, ExistingPathIsRefused) {
    std::ofstream(path("out file.M17")) << "keep me";
    EXPECT_EQ(run("--items 5 {}"), 1);
    EXPECT_NE(stderrText().find("exists"), std::string::npos);
    EXPECT_EQ(fs::file_size(path("out file.M17")), 7u);
}

} // namespace
