// The repair program on catalogues of random layouts written with plain SQL, page 1 lost:
// the tables come back by what they hold, every row as it was, the names made up told.
#include "combine1.h"
#include "harness.h"

#include <random>
#include <set>

using namespace testsupport;

namespace {

// What a field holds: a key, a lookup's own codes, a distinct rising number, references to a
// lookup's codes; then values of one storage class, Nulls only, or of every class.
enum Kind { Key, Code, Rising, Ref, Int, Real, Text, Blob, Nulls, Mixed };

struct Field {
    std::string name;
    Kind kind;
    bool known = false; // a name the format gives, found again by content
    size_t lookup = 0;  // whose codes a Code or Ref field holds
};

struct Table {
    std::string name;
    std::vector<Field> fields;
    int rows;
};

// One catalogue to damage and repair.
struct Shape {
    const char* name;
    unsigned seed;
    bool items;      // an item table at all
    bool wideInfo;   // FILEINFO of five fields, else of "Product Name" alone
    bool smallPages; // page_size 1024 and the history tables: the schema spans pages
    bool wholeReals; // REAL fields hold whole values, too
    friend void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }
};

// Writes a catalogue of a random layout at path; returns the lines a rebuild from content gives.
std::multiset<std::string> writeCatalogue(const std::string& path, const Shape& s) {
    std::mt19937 rng(s.seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto word = [&] { return "w" + std::to_string(rng()); };
    std::vector<std::vector<long long>> codes;
    // Field f's value in row r as SQL text, text of digits and whole reals among them: what a
    // wrong declared type changes.
    auto value = [&](const Field& f, int r) -> std::string {
        const auto& c = codes[f.lookup];
        switch (f.kind == Mixed ? Kind(Int + pick(5)) : f.kind) {
        case Key:
        case Rising:
            return std::to_string(7 * r + pick(7));
        case Code:
            return std::to_string(c[size_t(r)]);
        case Ref: // no second subject at times
            return f.name == "Subject 2" && !pick(3) ? "-1" : std::to_string(c[rng() % c.size()]);
        case Real:
            // Whole values only among fractional ones: a REAL field of whole values alone
            // is stored as an INTEGER one is, and comes back as such.
            return std::to_string(pick(2000) - 1000) +
                   (s.wholeReals && r && pick(2) ? ".0" : ".25");
        case Text:
            return f.name == "Product Name"
                       ? "'Mervane 1.7'"
                       : "'" + (pick(3) ? word() : std::to_string(pick(99999))) + "'";
        case Blob:
            return "CAST('" + word() + "' AS BLOB)";
        case Nulls:
            return "NULL";
        default: // beyond 32 bits at times
            return std::to_string(static_cast<long long>(static_cast<int>(rng())) *
                                  (pick(4) ? 1 : 99991));
        }
    };
    std::vector<Table> tables;
    for (const auto& [table, stem, entries] : {std::tuple("Subjects", "Subject", 300),
                                               {"Publishers", "Publisher", 40},
                                               {"Types", "Type", 6}}) {
        auto& c = codes.emplace_back();
        for (int r = 0; r < entries; ++r) // distinct by their last digits, none -1
            c.push_back(1000LL * pick(2000000) - 1000000000 + r);
        // Code and name either way round; a further number or text anywhere.
        Table t{table,
                {{stem + std::string(" Code"), Code, true, tables.size()},
                 {stem + std::string(" Name"), Text, true}},
                entries};
        const bool number = pick(2), nameFirst = pick(2);
        if (nameFirst)
            std::swap(t.fields[0], t.fields[1]);
        const int at = pick(3);
        t.fields.insert(t.fields.begin() + at,
                        {number ? "Sort Order" : "Remark", number ? Rising : Text});
        tables.push_back(std::move(t));
    }
    if (s.items) { // the references in order, further fields of every kind around them
        std::vector<Kind> kinds = {
            Ref, Ref, Ref, Ref, Int, Real, Text, Blob, Nulls, Mixed, Kind(Int + pick(6))};
        std::shuffle(kinds.begin(), kinds.end(), rng);
        Table t{"MERVANE RECORDS", {{"Record ID", Key}}, 3000};
        const std::string refs[] = {"Subject 1", "Subject 2", "Publisher", "Item Type"};
        const size_t lookupOf[] = {0, 0, 1, 2, 0};
        for (size_t ref = 0; Kind k : kinds) {
            const size_t i = k == Ref ? ref++ : 4;
            t.fields.push_back({i < 4 ? refs[i] : word(), k, i < 4, lookupOf[i]});
        }
        tables.push_back(std::move(t));
    }
    Table info{"FILEINFO", {{"Product Name", Text, true}}, 1}; // or the marker not first of five
    if (s.wideInfo) {
        info.fields = {{"Owner", Text}, {"Made", Int}, {"Scale", Real}, {"Notes", Text}};
        info.fields.insert(info.fields.begin() + 1 + pick(4), {"Product Name", Text, true});
    }
    tables.push_back(std::move(info));

    std::string sql = s.smallPages ? "PRAGMA page_size=1024; BEGIN;" : "BEGIN;";
    std::multiset<std::string> lines;
    const char* const types[] = {"INTEGER", "REAL", "TEXT", "BLOB", "", ""}; // from Int on
    for (const Table& t : tables) {
        std::string fields, named, rows;
        bool made = false;
        for (size_t i = 0; i < t.fields.size(); ++i) {
            const Field& f = t.fields[i];
            fields += (i ? ", [" : "[") + f.name + "] " +
                      (f.kind == Key  ? "INTEGER PRIMARY KEY"
                       : f.kind < Int ? "INTEGER"
                                      : types[f.kind - Int]);
            named +=
                (i ? ", \"" : "\"") + (f.known ? f.name : "Field " + std::to_string(i + 1)) + '"';
            made = made || !f.known;
        }
        // An index each: a lookup's on its name, as the format has it, else on the last field.
        const Field& indexed = *std::find_if(t.fields.begin(), t.fields.end(), [&](const Field& f) {
            return (f.known && f.kind == Text && f.name != "Product Name") ||
                   &f == &t.fields.back();
        });
        for (int r = 0; r < t.rows; ++r) {
            std::string row;
            for (const Field& f : t.fields)
                row += (row.empty() ? "(" : ", ") + value(f, r);
            rows += (rows.empty() ? "" : ", ") + row + ")";
        }
        sql += "CREATE TABLE [" + t.name + "] (" + fields + "); INSERT INTO [" + t.name +
               "] VALUES " + rows + "; CREATE INDEX [" + t.name + " Index] ON [" + t.name + "] ([" +
               indexed.name + "]);";
        if (made && !s.smallPages)
            lines.insert("repair: the field names of table \"" + t.name +
                         "\" were lost with the file's schema; its fields are now " + named);
    }
    if (s.smallPages) // enough statements besides to need more than page 1
        sql += "CREATE TABLE combine_history (step INTEGER PRIMARY KEY, kind, category, items);"
               "CREATE TABLE combine_history_refs (step, column_name, old_code, items, PRIMARY "
               "KEY (step, column_name, old_code)); INSERT INTO combine_history VALUES (1, "
               "'combine', 'Subject', 4), (2, 'undo', 'Type', 2); INSERT INTO "
               "combine_history_refs VALUES (1, 'Subject 1', 40, x'0102'), (2, 'Item Type', 9, 3);";
    EXPECT_TRUE(Sql(path).exec(sql + "COMMIT"));
    return lines;
}

// Every table's rows, each its rowid and fields in stored order, quoted: storage classes show.
std::map<std::string, std::multiset<std::string>> contents(const Sql& db) {
    std::map<std::string, std::multiset<std::string>> out;
    for (const auto& t : db.rows("SELECT name FROM sqlite_schema WHERE type='table'")) {
        std::string cols = "quote(rowid)";
        for (const auto& c : db.rows("SELECT name FROM pragma_table_info('" + t + "')"))
            cols += " || ',' || quote([" + c + "])";
        const auto rows = db.rows("SELECT " + cols + " FROM [" + t + "]");
        out[t] = {rows.begin(), rows.end()};
    }
    return out;
}

const char* const schemaSql = "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY name";

class LayoutTest : public testing::TestWithParam<Shape> {};

// Page 1 zeroed past its header: every table is back by name with every row and storage class,
// the file sound and of the supported version, a line for each table whose names were made up,
// the old statements kept where they survived; a file with no item table refused, untouched.
TEST_P(LayoutTest, LostSchemaRebuilt) {
    const Shape& s = GetParam();
    TempDir dir("layouts-test");
    const std::string path = dir / "Books.M17";
    const auto lines = writeCatalogue(path, s);
    const auto before = contents(Sql(path));
    const auto schema = Sql(path).rows(schemaSql);
    ASSERT_EQ(readFile(path)[100], s.smallPages ? '\x05' : '\x0d') << "the schema's pages";
    overwrite(path, 100, std::string(be(readFile(path), 16) - 100, '\0'));
    const std::string damaged = readFile(path);

    const Outcome o = run(dir, REPAIR_EXE, {"Books.M17"});
    if (!s.items) {
        EXPECT_TRUE(endedWith(o, engine::err::RepairFailed));
        EXPECT_EQ(readFile(path), damaged);
        return;
    }
    ASSERT_TRUE(endedWith(o, 0));
    std::multiset<std::string> printed;
    for (size_t at = 0, end; (end = o.err.find('\n', at)) != std::string::npos; at = end + 1)
        printed.insert(o.err.substr(at, end - at));
    EXPECT_EQ(printed, lines);
    EXPECT_TRUE(CheckCatalogueVersion(path));
    Sql after(path);
    EXPECT_EQ(integrity(after.get()), "ok");
    EXPECT_EQ(contents(after), before);
    if (s.smallPages) {
        EXPECT_EQ(after.rows(schemaSql), schema);
    }
}

const Shape shapes[] = {
    {"OnePageInfoAlone", 1, true, false, false, false},
    {"OnePageInfoAloneAgain", 2, true, false, false, false},
    {"OnePageWideInfo", 3, true, true, false, false},
    {"OnePageWideInfoAgain", 4, true, true, false, false},
    {"OnePageWholeReals", 5, true, true, false, true},
    {"SchemaSpansPages", 6, true, true, true, true},
    {"NoItemTable", 7, false, true, false, false},
};

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest, testing::ValuesIn(shapes),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
