// Tests of the combine history without a window: combines recorded with
// everything they changed and undone back to the catalogue as it was, across
// repair, with item counts kept in step; failures rolled back; histories that
// cannot be trusted refused.
#include "catalogues.h"
#include "history.h"
#include "itemcounts.h"
#include "operation.h"
#include "support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

using namespace testsupport;

namespace {

const std::vector<Entry> subjects = {
    {12, "Computer"}, {4, "Computers"}, {31, "Computing"}, {7, "Chemistry"}, {-1, "Minus one"}};
const std::vector<Item> items = {{12, 31, 1, 1}, {31, 12, 3, 2}, {4, -1, 2, 3},   {-1, 12, -1, 2},
                                 {7, 31, 1, 1},  {12, 12, 2, 2}, {-1, -1, -1, -1}};
// Lookup rows carry fields beyond code and name, of every storage class.
const std::vector<std::string> extraFields = {
    "ALTER TABLE [Subjects] ADD COLUMN [Scope Note] TEXT",
    "ALTER TABLE [Subjects] ADD COLUMN [Weight] REAL",
    "ALTER TABLE [Subjects] ADD COLUMN [Raw]",
    "UPDATE [Subjects] SET [Scope Note] = 'note ' || [Subject Code], [Weight] = 0.5, "
    "[Raw] = x'00ff'",
    "ALTER TABLE [Publishers] ADD COLUMN [Place] TEXT",
    "UPDATE [Publishers] SET [Place] = 'London' WHERE [Publisher Code] = 2"};

class History : public ::testing::Test {
protected:
    // A new catalogue, open, with the extra statements run after extraFields.
    std::unique_ptr<engine::Database> open(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), extraFields.begin(), extraFields.end());
        writeCatalogue(path, subjects, {{1, "Penguin"}, {2, "Penguin Books"}, {3, "Methuen"}},
                       {{1, "Book"}, {2, "Books"}, {3, "CD"}}, items, extra);
        return engine::DatabaseEngine().OpenDatabase(path);
    }
    TempDir dir{"history"};
    const std::string path = dir / "Books.M17";
};

history::CombineOutcome combine(engine::Database& db, int category, std::vector<int> codes,
                                int target, const std::string& targetName = "x") {
    history::Merge m;
    m.codes.assign(codes.begin(), codes.end());
    m.names = "names";
    m.targetName = targetName;
    m.target = [target] { return target; };
    engine::Transaction t(db);
    auto out = history::Combine(db, *catalogue::CategoryAt(category), {m});
    t.Commit();
    return out;
}

history::UndoOutcome undoLast(engine::Database& db) {
    const std::optional<history::StepInfo> step = history::LastUndoable(db);
    if (!step)
        throw std::runtime_error("nothing to undo");
    history::UndoOutcome out;
    CatalogueOperation(db).Undo(*step, out);
    return out;
}

// Every count of the codes in use, column by column.
std::vector<long long> countsOf(const ItemCounts& c) {
    std::vector<long long> out;
    for (size_t column = 0; column < c.columns().size(); ++column)
        for (int code = -1; code <= 99; ++code)
            out.push_back(c.count(column, code));
    return out;
}

bool utcStamp(const std::string& s) {
    return std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"));
}

struct UndoRow {
    const char* name;
    int category;
    std::vector<int> codes;
    int target;
    long long changed;
};

class UndoRestores : public History, public ::testing::WithParamInterface<UndoRow> {};

// Combine then undo gives back every row of every table, field for field;
// both are recorded, and the counts follow each without counting again.
TEST_P(UndoRestores, EveryFieldBackAndBothRecorded) {
    const UndoRow& r = GetParam();
    auto db = open();
    const catalogue::Category& cat = *catalogue::CategoryAt(r.category);
    const Dump before = dump(*db, false);
    ItemCounts counts(*db, cat);
    const std::vector<long long> countsBefore = countsOf(counts);
    const auto outcome = combine(*db, r.category, r.codes, r.target);
    ASSERT_TRUE(outcome.recorded);
    EXPECT_EQ(outcome.changed, std::vector<long long>{r.changed});
    EXPECT_NE(dump(*db, false), before);
    counts.merged({r.codes.begin(), r.codes.end()}, r.target);
    EXPECT_EQ(countsOf(counts), countsOf(ItemCounts(*db, cat)));

    const history::UndoPreview preview = history::PreviewUndo(*db, *history::LastUndoable(*db));
    const auto undone = undoLast(*db);
    EXPECT_EQ(undone.referencesBack, r.changed);
    EXPECT_EQ(undone.leftAlone, 0);
    EXPECT_EQ(preview.referencesBack, r.changed);
    EXPECT_EQ(preview.itemsBack, undone.itemsBack);
    EXPECT_EQ(preview.leftAlone, 0);
    EXPECT_EQ(dump(*db, false), before);
    counts.moved(undone.moved);
    EXPECT_EQ(countsOf(counts), countsBefore);

    const auto steps = history::ReadHistory(*db);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].kind, "undo");
    EXPECT_EQ(steps[0].undoes, steps[1].step);
    EXPECT_EQ(steps[0].items, r.changed);
    EXPECT_EQ(steps[1].kind, "combine");
    EXPECT_EQ(steps[1].category, cat.word);
    EXPECT_EQ(steps[1].items, r.changed);
    ASSERT_TRUE(steps[1].undoneAt);
    EXPECT_TRUE(utcStamp(steps[0].at) && utcStamp(steps[1].at) && utcStamp(*steps[1].undoneAt));
    EXPECT_FALSE(history::LastUndoable(*db));
}

INSTANTIATE_TEST_SUITE_P(Rows, UndoRestores,
                         ::testing::Values(UndoRow{"SubjectsSeveral", 0, {12, 31}, 4, 8},
                                           UndoRow{"SubjectsBlankRowMerged", 0, {-1, 7}, 4, 5},
                                           UndoRow{"SubjectsBlankRowTarget", 0, {12}, -1, 5},
                                           UndoRow{
                                               "SubjectsCodeMinusOneRepeated", 0, {31, 31}, -1, 3},
                                           UndoRow{"PublishersOne", 1, {2}, 1, 2},
                                           UndoRow{"MediaTypesSeveral", 2, {2, 3}, 1, 4}),
                         [](const auto& p) { return std::string(p.param.name); });

// Combines are undone newest first; a reference changed since is left alone.
TEST_F(History, UndoneInReverseAndChangedSinceLeftAlone) {
    auto db = open();
    const Dump before = dump(*db, false);
    combine(*db, 0, {12}, 4);
    const Dump middle = dump(*db, false);
    combine(*db, 0, {4}, 31);
    combine(*db, 1, {1, 2}, 3);
    undoLast(*db);
    undoLast(*db);
    EXPECT_EQ(dump(*db, false), middle);
    // Another program moves one item away from the target.
    db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 7 WHERE [Item Number] = 6");
    EXPECT_EQ(history::PreviewUndo(*db, *history::LastUndoable(*db)).leftAlone, 1);
    const auto last = undoLast(*db);
    EXPECT_EQ(last.leftAlone, 1);
    EXPECT_EQ(last.referencesBack, 4);
    db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 12 WHERE [Item Number] = 6");
    EXPECT_EQ(dump(*db, false), before);
}

// The history survives closing and repair in both formats, and the undo
// afterwards still gives back the catalogue as it was.
TEST_F(History, UndoAfterRepair) {
    for (const char* format : {" -v4", ""}) {
        SCOPED_TRACE(format);
        std::filesystem::remove(path);
        Dump before, recorded;
        {
            auto db = open();
            before = dump(*db, false);
            combine(*db, 0, {12, 31}, 4);
            combine(*db, 2, {3}, -1, "");
            recorded = dump(*db, true);
        }
        const int status = std::system((REPAIR_EXE " '" + path + "'" + format).c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        EXPECT_EQ(dump(*db, true), recorded);
        undoLast(*db);
        undoLast(*db);
        EXPECT_EQ(dump(*db, false), before);
    }
}

// A failure in the middle of an operation rolls back all of it, the history
// included: a lookup row that cannot come back, the record of a combine or
// of an undo refused.
TEST_F(History, FailedOperationLeavesEverythingAsItWas) {
    const struct {
        const char* trigger;
        bool undo;
    } rows[] = {{"BEFORE INSERT ON [Subjects] WHEN NEW.[Subject Code] = 31", true},
                {"BEFORE UPDATE OF items ON combine_history", false},
                {"BEFORE UPDATE OF undone_at ON combine_history", true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.trigger);
        std::filesystem::remove(path);
        auto db = open();
        combine(*db, 0, {12, 31}, 4);
        db->Execute(std::string("CREATE TRIGGER refuse ") + r.trigger +
                    " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        const Dump before = dump(*db, true);
        const history::Merge m{{7}, "Chemistry", "Computers", [] { return 4; }};
        EXPECT_THROW(r.undo ? (void)undoLast(*db)
                            : (void)CatalogueOperation(*db).Combine(*catalogue::CategoryAt(0), {m}),
                     engine::Error);
        EXPECT_EQ(dump(*db, true), before);
        EXPECT_FALSE(db->InTransaction());
        EXPECT_TRUE(history::LastUndoable(*db).has_value());
    }
}

// Histories that cannot be trusted are refused with HistoryDamaged, and the
// combine goes on working, recording where the tables are ours.
TEST_F(History, DamagedHistoryRefused) {
    const struct {
        std::vector<std::string> damage;
        bool combineRecords;
    } rows[] = {
        {{"DROP TABLE combine_history_refs", "CREATE TABLE combine_history_refs (x)"}, false},
        {{"DROP TABLE combine_history_entries"}, false},
        {{"UPDATE combine_history_refs SET items = substr(items, 1, 1)"}, true},
        {{"UPDATE combine_history_refs SET count = count + 1"}, true},
        {{"UPDATE combine_history SET category = 'Colour'"}, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.damage[0]);
        std::filesystem::remove(path);
        auto db = open();
        combine(*db, 0, {12, 31}, 4);
        for (const std::string& sql : r.damage)
            db->Execute(sql);
        const Dump before = dump(*db, true);
        EXPECT_EQ(errorOf([&] { undoLast(*db); }), engine::err::HistoryDamaged);
        EXPECT_EQ(dump(*db, true), before);
        EXPECT_EQ(combine(*db, 1, {1}, 3).recorded, r.combineRecords);
    }
}

// Without an INTEGER PRIMARY KEY nothing is recorded and no table is made.
TEST_F(History, NoItemKeyRecordsNothing) {
    auto db =
        open({"CREATE TABLE copy AS SELECT * FROM [MERVANE RECORDS]",
              "DROP TABLE [MERVANE RECORDS]", "ALTER TABLE copy RENAME TO [MERVANE RECORDS]"});
    EXPECT_EQ(history::Inspect(*db).state, history::State::NoItemKey);
    const auto outcome = combine(*db, 0, {12, 31}, 4);
    EXPECT_FALSE(outcome.recorded);
    EXPECT_EQ(outcome.changed, std::vector<long long>{8});
    for (const std::string& t : db->TableNames())
        EXPECT_FALSE(t.starts_with("combine_history")) << t;
    EXPECT_TRUE(history::ReadHistory(*db).empty());
}

// Item keys come back as written; one byte short is damage.
TEST(HistoryKeys, EncodeDecodeRoundTrip) {
    const std::vector<long long> rows[] = {
        {}, {1, 2, 3, 200, 201}, {-9223372036854775807LL - 1, -5, 0, 9223372036854775807LL}};
    for (const auto& keys : rows) {
        const auto bytes = history::EncodeKeys(keys);
        const auto count = static_cast<long long>(keys.size());
        EXPECT_EQ(history::DecodeKeys(bytes, count), keys);
        if (!bytes.empty()) {
            EXPECT_EQ(errorOf([&] {
                          history::DecodeKeys({bytes.begin(), bytes.end() - 1}, count);
                      }),
                      engine::err::HistoryDamaged);
        }
    }
}

} // namespace
