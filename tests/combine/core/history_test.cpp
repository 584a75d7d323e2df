// Tests of the combine history without a window: combines and renames
// recorded, undone in any order and redone, to the catalogue as it was, also
// after repair; what changed since left alone; failures and damage refused;
// the history as CSV.
#include "catalogues.h"
#include "history.h"
#include "itemcounts.h"
#include "operation.h"
#include "query.h"
#include "support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

using namespace testsupport;

namespace {

class History : public ::testing::Test {
protected:
    // A new history sample, open.
    std::unique_ptr<engine::Database> open(const std::vector<std::string>& extra = {}) {
        std::filesystem::remove(path);
        writeHistorySample(path, extra);
        return engine::DatabaseEngine().OpenDatabase(path);
    }
    TempDir dir{"history"};
    const std::string path = dir / "Books.M17";
};

history::CombineOutcome combine(engine::Database& db, int category, std::vector<int> codes,
                                int target, const std::string& targetName = "x") {
    history::Merge m{
        {codes.begin(), codes.end()}, "names", targetName, [target] { return target; }};
    engine::Transaction t(db);
    auto out = history::Combine(db, *catalogue::CategoryAt(category), {m});
    t.Commit();
    return out;
}

history::UndoOutcome undoLast(engine::Database& db) {
    history::UndoOutcome out;
    CatalogueOperation(db).Undo(history::LastUndoable(db).value(), out);
    return out;
}

history::StepInfo stepNumbered(engine::Database& db, long long step) {
    for (const history::StepInfo& s : history::ReadHistory(db))
        if (s.step == step)
            return s;
    throw std::runtime_error("no step " + std::to_string(step));
}

history::RedoOutcome redoLast(engine::Database& db) {
    history::RedoOutcome out;
    CatalogueOperation(db).Redo(history::LastRedoable(db).value(), out);
    return out;
}

// A combine (name empty) or a rename of codes[0] to name.
void operate(engine::Database& db, int category, const std::vector<int>& codes, int target,
             const std::string& name) {
    if (name.empty())
        combine(db, category, codes, target);
    else
        CatalogueOperation(db).Rename(*catalogue::CategoryAt(category), codes[0], name);
}

std::vector<long long> countsOf(const ItemCounts& c) {
    std::vector<long long> out;
    for (size_t column = 0; column < c.columns().size(); ++column)
        for (int code = -1; code <= 31; ++code)
            out.push_back(c.count(column, code));
    return out;
}

// Combine then undo gives back every field of every table; both are recorded
// at their UTC times; the counts follow each without counting again.
TEST_F(History, UndoRestoresEveryFieldAndBothAreRecorded) {
    // clang-format off
    const struct { int category; std::vector<int> codes; int target; long long changed; } rows[] = {
        {0, {12, 31}, 4, 8}, {0, {-1, 7}, 4, 5}, {0, {12}, -1, 5}, {0, {31, 31}, -1, 3},
        {1, {2}, 1, 2}, {2, {2, 3}, 1, 4}};
    // clang-format on
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.category << " into " << r.target);
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
        const auto preview = history::PreviewUndo(*db, *history::LastUndoable(*db));
        const auto undone = undoLast(*db);
        EXPECT_EQ(dump(*db, false), before);
        EXPECT_TRUE(undone.referencesBack == r.changed && undone.leftAlone == 0);
        EXPECT_TRUE(preview.referencesBack == r.changed && preview.leftAlone == 0 &&
                    preview.itemsBack == undone.itemsBack);
        counts.moved(undone.moved);
        EXPECT_EQ(countsOf(counts), countsBefore);
        const auto steps = history::ReadHistory(*db);
        ASSERT_EQ(steps.size(), 2u);
        EXPECT_TRUE(steps[0].kind == "undo" && steps[0].undoes == steps[1].step &&
                    steps[0].items == r.changed);
        EXPECT_TRUE(steps[1].kind == "combine" && steps[1].category == cat.word &&
                    steps[1].items == r.changed);
        ASSERT_TRUE(steps[1].undoneAt);
        for (const std::string& at : {steps[0].at, steps[1].at, *steps[1].undoneAt})
            EXPECT_TRUE(std::regex_match(at, utc)) << at;
        EXPECT_FALSE(history::LastUndoable(*db));
    }
}

// Combines are undone newest first, also after repair in both formats, which
// keeps the history and the pairs ruled out row for row; a reference changed
// since is left alone.
TEST_F(History, UndoneInReverseAcrossRepair) {
    for (const char* format : {" -v4", ""}) {
        SCOPED_TRACE(format);
        Dump before, middle, recorded;
        {
            auto db = open();
            const catalogue::Category& subjects = *catalogue::CategoryAt(0);
            CatalogueOperation(*db).RuleOut(subjects, ruledout::PairsOf({{3, "a"}, {9, "b"}}));
            ASSERT_EQ(ruledout::Read(*db, subjects).size(), 1u);
            before = dump(*db, false);
            combine(*db, 0, {12}, 4);
            middle = dump(*db, false);
            combine(*db, 0, {4}, 31);
            combine(*db, 2, {3}, -1, "");
            recorded = dump(*db, true);
        }
        const int status = std::system((REPAIR_EXE " '" + path + "'" + format).c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        EXPECT_EQ(dump(*db, true), recorded);
        undoLast(*db);
        undoLast(*db);
        EXPECT_EQ(dump(*db, false), middle);
        // Another program moves one item away from the target.
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 7 WHERE [Item Number] = 6");
        EXPECT_EQ(history::PreviewUndo(*db, *history::LastUndoable(*db)).leftAlone, 1);
        const auto last = undoLast(*db);
        EXPECT_TRUE(last.leftAlone == 1 && last.referencesBack == 4);
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 12 WHERE [Item Number] = 6");
        EXPECT_EQ(dump(*db, false), before);
    }
}

// After one combine: an operation that fails midway or meets a history that
// cannot be trusted leaves everything as it was; where the history tables are
// still ours, a later combine is recorded.
TEST_F(History, FailedOperationLeavesEverythingAsItWas) {
    auto refuse = [](const std::string& when) {
        return "CREATE TRIGGER refuse " + when + " BEGIN SELECT RAISE(ABORT, 'refused'); END";
    };
    const long bad = engine::err::ConstraintViolation, damaged = engine::err::HistoryDamaged;
    // clang-format off
    const struct { std::string sql; bool undo; long error; std::optional<bool> recordsAfter; }
    rows[] = {
        {refuse("BEFORE INSERT ON [Subjects] WHEN NEW.[Subject Code] = 31"), true, bad, {}},
        {refuse("BEFORE UPDATE OF items ON combine_history"), false, bad, {}},
        {refuse("BEFORE UPDATE OF undone_at ON combine_history"), true, bad, {}},
        {"ALTER TABLE combine_history_refs ADD COLUMN x", true, damaged, false},
        {"DROP TABLE combine_history_entries", true, damaged, false},
        {"UPDATE combine_history_refs SET items = substr(items, 1, 1)", true, damaged, true},
        {"UPDATE combine_history_refs SET count = count + 1", true, damaged, true},
        {"UPDATE combine_history SET category = 'Colour'", true, damaged, true}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sql);
        auto db = open();
        combine(*db, 0, {12, 31}, 4);
        db->Execute(r.sql);
        const Dump before = dump(*db, true);
        const history::Merge m{{7}, "Chemistry", "Computers", [] { return 4; }};
        EXPECT_EQ(errorOf([&] {
                      r.undo
                          ? (void)undoLast(*db)
                          : (void)CatalogueOperation(*db).Combine(*catalogue::CategoryAt(0), {m});
                  }),
                  r.error);
        EXPECT_EQ(dump(*db, true), before);
        EXPECT_FALSE(db->InTransaction());
        if (r.recordsAfter) {
            EXPECT_EQ(combine(*db, 1, {1}, 3).recorded, *r.recordsAfter);
        }
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

// The names an entry was also known by: those of combines not undone, of
// its category, followed through a later combine and gone with a deletion.
TEST_F(History, KnownAsFollowsCombinesNotUndone) {
    auto db = open();
    const catalogue::Category &subjects = *catalogue::CategoryAt(0),
                              &publishers = *catalogue::CategoryAt(1);
    using Known = std::map<std::int32_t, std::string>;
    EXPECT_TRUE(history::KnownAs(*db, subjects).empty());
    combine(*db, 0, {12}, 4);
    db->Execute("UPDATE combine_history SET at = '2026-01-02T10:00:00Z'");
    const Known first = {{4, "Also entered as: 'Computer' (combined 2026-01-02)"}};
    EXPECT_EQ(history::KnownAs(*db, subjects), first);
    combine(*db, 0, {4, 31}, 7);
    combine(*db, 1, {1}, 2);
    const std::string today = " (combined " + history::NowUtc().substr(0, 10) + ")";
    EXPECT_EQ(history::KnownAs(*db, subjects),
              Known({{7, "Also entered as: 'Computer' (combined 2026-01-02); 'Computers', "
                         "'Computing'" +
                             today}}));
    EXPECT_EQ(history::KnownAs(*db, publishers),
              Known({{2, "Also entered as: 'Penguin'" + today}}));
    undoLast(*db);
    undoLast(*db);
    EXPECT_EQ(history::KnownAs(*db, subjects), first);
    EXPECT_TRUE(history::KnownAs(*db, publishers).empty());
    combine(*db, 0, {4}, -1);
    EXPECT_TRUE(history::KnownAs(*db, subjects).empty());
}

// Each operation undone and redone twice, the second time through the redo's
// own record: every undo gives back the catalogue before it, every redo the
// one after it, and the history names what each step undid or redid.
TEST_F(History, UndoAndRedoRoundTrip) {
    // clang-format off
    const struct { int category; std::vector<int> codes; int target; std::string name; } rows[] = {
        {0, {12, 31}, 4, ""}, {2, {2, 3}, 1, ""}, {0, {12}, -1, ""},
        {0, {7}, 0, "Chemistry, \"Organic\""}, {1, {3}, 0, "Methuen & Co"}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto db = open();
        const Dump before = dump(*db, false);
        operate(*db, r.category, r.codes, r.target, r.name);
        const Dump after = dump(*db, false);
        EXPECT_NE(after, before);
        for (int round = 0; round < 2; ++round) {
            undoLast(*db);
            EXPECT_EQ(dump(*db, false), before);
            EXPECT_EQ(redoLast(*db).skipped, 0);
            EXPECT_EQ(dump(*db, false), after);
        }
        const auto steps = history::ReadHistory(*db);
        ASSERT_EQ(steps.size(), 5u);
        const std::string kind = r.name.empty() ? "combine" : "rename";
        const std::pair<std::string, int> expected[] = {
            {"redo", 2}, {"undo", 2}, {"redo", 4}, {"undo", 4}, {kind, -1}};
        for (size_t i = 0; i < 5; ++i) {
            const int of = expected[i].second;
            EXPECT_EQ(steps[i].kind, expected[i].first);
            EXPECT_EQ(steps[i].undoes.value_or(-1), of < 0 ? -1 : steps[size_t(of)].step);
            EXPECT_TRUE(steps[i].action == kind && !steps[i].redoable);
        }
        EXPECT_TRUE(steps[2].undoneAt && steps[4].undoneAt && !steps[0].undoneAt);
        EXPECT_EQ(history::LastUndoable(*db)->step, steps[0].step);
        EXPECT_FALSE(history::LastRedoable(*db));
    }
}

// An older step undone after later ones: references moved since are left
// alone and counted; a deleted entry that came back stays as it is, and one
// whose code is held by another entry stays out with its references; the
// preview says what the undo does.
TEST_F(History, OlderStepUndoneLeavesWhatChangedSince) {
    const std::string insert = "INSERT INTO [Subjects] ([Subject Code], [Subject Name]) VALUES ";
    // clang-format off
    const struct { std::string sql; int later; long long back, left, entries; std::vector<bool> reused; }
    rows[] = {
        {"", 7, 0, 8, 2, {}},
        {insert + "(12, 'Computer')", -1, 8, 0, 1, {false}},
        {insert + "(31, 'Other')", -1, 5, 3, 1, {true}}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sql);
        auto db = open();
        const long long first = combine(*db, 0, {12, 31}, 4).step;
        if (!r.sql.empty())
            db->Execute(r.sql);
        const Dump there = dump(*db, false);
        const long long later =
            r.later > 0 ? combine(*db, 0, {4}, r.later).step : combine(*db, 2, {2}, 1).step;
        const history::StepInfo step = stepNumbered(*db, first);
        const auto preview = history::PreviewUndo(*db, step);
        history::UndoOutcome out;
        CatalogueOperation(*db).Undo(step, out);
        EXPECT_TRUE(out.referencesBack == r.back && out.leftAlone == r.left &&
                    out.entriesBack == r.entries);
        EXPECT_TRUE(preview.referencesBack == r.back && preview.leftAlone == r.left);
        std::vector<bool> reused;
        for (const auto& e : out.entriesLeft)
            reused.push_back(e.reused());
        EXPECT_EQ(reused, r.reused);
        EXPECT_EQ(preview.entriesLeft.size(), r.reused.size());
        // The entries there before the undo are there as they were.
        const Dump now = dump(*db, false);
        for (const std::string& row : there.at("Subjects")) {
            EXPECT_TRUE(r.later > 0 || std::ranges::count(now.at("Subjects"), row) == 1) << row;
        }
        EXPECT_FALSE(stepNumbered(*db, later).undoneAt);
        EXPECT_TRUE(stepNumbered(*db, first).undoneAt);
    }
}

// What changed between the steps is left as it is and counted: a reference
// moved before a redo, a name changed before the undo or redo of a rename;
// a target gone refuses the redo. Undoing the redo gives back what was there.
TEST_F(History, RedoAndRenameLeaveWhatChangedSince) {
    const std::string moveItem = "UPDATE [MERVANE RECORDS] SET [Subject 1] = 7 WHERE rowid = 1";
    const std::string rename = "UPDATE [Subjects] SET [Subject Name] = 'Chemie' WHERE "
                               "[Subject Code] = 7";
    const long refused = engine::err::InvalidOperation;
    // clang-format off
    const struct { std::string name, sql; bool beforeUndo, left; long long skipped; long error; }
    rows[] = {
        {"", moveItem, false, false, 1, 0},
        {"", "DELETE FROM [Subjects] WHERE [Subject Code] = 4", false, false, 0, refused},
        {"Chem", rename, true, true, 1, 0},
        {"Chem", rename, false, false, 1, 0}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sql);
        auto db = open();
        operate(*db, 0, r.name.empty() ? std::vector<int>{12, 31} : std::vector<int>{7}, 4, r.name);
        if (r.beforeUndo)
            db->Execute(r.sql);
        EXPECT_EQ(undoLast(*db).renameLeft, r.left);
        if (!r.beforeUndo)
            db->Execute(r.sql);
        const Dump before = dump(*db, true);
        if (r.error) {
            EXPECT_EQ(errorOf([&] { redoLast(*db); }), r.error);
            EXPECT_EQ(dump(*db, true), before);
            continue;
        }
        const auto redone = redoLast(*db);
        EXPECT_EQ(redone.skipped + (redone.renameSkipped ? 1 : 0), r.skipped);
        EXPECT_EQ(redone.referencesMoved, r.name.empty() ? 7 : 0);
        undoLast(*db);
        Dump back = dump(*db, false);
        for (const auto& [table, content] : before) {
            EXPECT_TRUE(table.starts_with("combine_history") || back[table] == content) << table;
        }
    }
}

// A history written when its steps could only be combines and undos takes a
// rename and a redo, one written before deletes and clears takes a clear;
// the file stays sound.
TEST_F(History, OldKindsCheckIsWidened) {
    // clang-format off
    const struct { const char* kinds; const char* refused; bool rename; } rows[] = {
        {"', ''redo'', ''rename'', ''delete'', ''clear'''", "redo", true},
        {"', ''delete'', ''clear'''", "delete", false}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.refused);
        auto db = open();
        combine(*db, 0, {12}, 4);
        db->Execute("PRAGMA writable_schema = ON");
        db->Execute(std::string("UPDATE sqlite_schema SET sql = replace(sql, ") + r.kinds +
                    ", '') WHERE name = 'combine_history'");
        db->Execute("PRAGMA schema_version = 100");
        db->Execute("PRAGMA writable_schema = OFF");
        db = engine::DatabaseEngine().OpenDatabase(path);
        EXPECT_EQ(errorOf([&] {
                      db->Execute(std::string("INSERT INTO combine_history VALUES (9, '") +
                                  r.refused + "', '', 'Subject', NULL, NULL, 0)");
                  }),
                  engine::err::ConstraintViolation);
        if (r.rename) {
            CatalogueOperation(*db).Rename(*catalogue::CategoryAt(0), 7, "Chem");
        } else {
            history::ClearOutcome out;
            CatalogueOperation(*db).ClearRepeated(out);
        }
        undoLast(*db);
        redoLast(*db);
        EXPECT_EQ(history::ReadHistory(*db).front().kind, "redo");
        engine::Query check(*db, "PRAGMA integrity_check");
        ASSERT_TRUE(check.Step());
        EXPECT_EQ(check.Text(0), "ok");
    }
}

// The history as CSV: a header, a row per merge, a step without merges on a
// row of its own; fields with commas, quotes or line breaks in quotes.
TEST(HistoryCsv, QuotesWhatNeedsIt) {
    // clang-format off
    const struct { std::string name, field; } rows[] = {
        {"Plain", "Plain"}, {"A, B", "\"A, B\""}, {"Say \"hi\"", "\"Say \"\"hi\"\"\""},
        {"Two\r\nlines", "\"Two\r\nlines\""}, {"\xc3\x89" "ditions", "\xc3\x89" "ditions"}};
    // clang-format on
    for (const auto& r : rows) {
        history::StepInfo combined{2,
                                   "combine",
                                   "2026-12-07T08:01:36Z",
                                   "Subject",
                                   "2026-12-07T09:00:00Z",
                                   std::nullopt,
                                   6,
                                   {},
                                   "combine",
                                   true};
        combined.merges = {{4, r.name, "12, 31", r.name, {3, 2}}, {-1, "", "7", "x", {1, 0}}};
        const history::StepInfo undo{
            3, "undo", "2026-12-07T09:00:00Z", "Subject", std::nullopt, 2, 6, {}, "combine", false};
        const std::string f = r.field;
        EXPECT_EQ(history::HistoryCsv({undo, combined}),
                  "step,when,kind,category,names,codes,target,target code,items,undone,undoes\r\n"
                  "3,2026-12-07T09:00:00Z,undo,Subject,,,,,6,,2\r\n"
                  "2,2026-12-07T08:01:36Z,combine,Subject," +
                      f + ",\"12, 31\"," + f +
                      ",4,5,2026-12-07T09:00:00Z,\r\n"
                      "2,2026-12-07T08:01:36Z,combine,Subject,x,7,,-1,1,2026-12-07T09:00:00Z,\r\n");
    }
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
