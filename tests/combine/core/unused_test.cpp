// Unused entries listed exactly and deleted in one recorded step, which is
// undone and redone field for field; repeated subjects cleared and given
// back; what changed in between left as it is and counted.
#include "catalogues.h"
#include "history.h"
#include "itemcounts.h"
#include "operation.h"
#include "support.h"
#include "unused.h"

#include <filesystem>

using namespace testsupport;

namespace {

class Unused : public ::testing::Test {
protected:
    // The history sample with unused entries, Botany used in Subject 2 only,
    // and Chemistry in both subject columns of one item.
    std::unique_ptr<engine::Database> open() {
        std::filesystem::remove(path);
        writeHistorySample(path,
                           {"INSERT INTO [Subjects] ([Subject Code], [Subject Name]) VALUES "
                            "(50, 'Zoology'), (51, 'algebra'), (52, 'Botany')",
                            "UPDATE [MERVANE RECORDS] SET [Subject 2] = 52 WHERE [Subject 1] = 4",
                            "UPDATE [MERVANE RECORDS] SET [Subject 2] = 7 WHERE [Subject 1] = 7",
                            "INSERT INTO [Publishers] VALUES (9, 'Unused Press', NULL)"});
        return engine::DatabaseEngine().OpenDatabase(path);
    }
    TempDir dir{"unused"};
    const std::string path = dir / "Books.M17";
};

std::vector<std::pair<int, std::string>> listed(engine::Database& db, int category) {
    std::vector<std::pair<int, std::string>> out;
    for (const unused::Entry& e : unused::List(db, *catalogue::CategoryAt(category)))
        out.emplace_back(e.code, e.name);
    return out;
}

void undoLast(engine::Database& db) {
    history::UndoOutcome out;
    CatalogueOperation(db).Undo(history::LastUndoable(db).value(), out);
}

history::RedoOutcome redoLast(engine::Database& db) {
    history::RedoOutcome out;
    CatalogueOperation(db).Redo(history::LastRedoable(db).value(), out);
    return out;
}

// In the lists' order; an entry used only as second subject is used; the
// entry whose code is -1, the code of no entry, is never offered.
TEST_F(Unused, ListedExactly) {
    auto db = open();
    using L = std::vector<std::pair<int, std::string>>;
    EXPECT_EQ(listed(*db, 0), (L{{51, "algebra"}, {50, "Zoology"}}));
    EXPECT_EQ(listed(*db, 1), (L{{9, "Unused Press"}}));
    EXPECT_EQ(listed(*db, 2), L{});
}

// Deleted in one step with every field recorded; undo, redo and undo again
// give the catalogue back field for field; an entry that gained an item
// before the delete or before the redo is left and counted.
TEST_F(Unused, DeleteUndoRedoFieldForField) {
    // clang-format off
    const struct { int category; std::vector<std::int32_t> codes; std::string gain, gainBeforeRedo;
                   long long deleted, left, redone; } rows[] = {
        {0, {50, -1, 51}, "", "", 2, 1, 2},
        {1, {9}, "", "", 1, 0, 1},
        {0, {50, 51}, "UPDATE [MERVANE RECORDS] SET [Subject 2] = 50 WHERE [Subject 1] = 12",
         "UPDATE [MERVANE RECORDS] SET [Subject 1] = 51 WHERE [Subject 1] = 4", 1, 1, 0}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.gain);
        auto db = open();
        const catalogue::Category& cat = *catalogue::CategoryAt(r.category);
        if (!r.gain.empty())
            db->Execute(r.gain);
        const Dump before = dump(*db, false);
        history::DeleteOutcome out;
        CatalogueOperation(*db).DeleteUnused(cat, r.codes, out);
        EXPECT_TRUE(out.recorded && out.deleted == r.deleted && out.left == r.left);
        EXPECT_TRUE(unused::StillUnused(*db, cat, r.codes).empty());
        const Dump after = dump(*db, false);
        EXPECT_NE(after, before);
        undoLast(*db);
        EXPECT_EQ(dump(*db, false), before);
        if (!r.gainBeforeRedo.empty())
            db->Execute(r.gainBeforeRedo);
        const Dump undone = dump(*db, false);
        EXPECT_EQ(redoLast(*db).entriesDeleted, r.redone);
        if (r.gainBeforeRedo.empty()) {
            EXPECT_EQ(dump(*db, false), after);
        }
        undoLast(*db);
        EXPECT_EQ(dump(*db, false), undone);
        const auto steps = history::ReadHistory(*db);
        EXPECT_TRUE(steps.back().kind == "delete" && steps.back().category == cat.word &&
                    steps[1].action == "delete");
    }
}

// The items repeating their first subject lose the second; the undo gives
// it back to those still without one, leaving one set since, and the
// counts follow; the redo clears again only a second subject that still
// repeats the first; with none repeated nothing is done or recorded.
TEST_F(Unused, ClearRepeatedUndoAndRedo) {
    const std::string first = "UPDATE [MERVANE RECORDS] SET [Subject 1] = 4 WHERE [Subject 1] = 7";
    // clang-format off
    const struct { std::string since, beforeRedo; long long back, redone; } rows[] = {
        {"", "", 2, 2},
        {"UPDATE [MERVANE RECORDS] SET [Subject 2] = 4 WHERE [Subject 1] = 7", "", 1, 1},
        {"", first, 2, 1}};
    // clang-format on
    const catalogue::Category& cat = *catalogue::CategoryAt(0);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.since + r.beforeRedo);
        auto db = open();
        const Dump before = dump(*db, false);
        ItemCounts counts(*db, cat);
        EXPECT_EQ(unused::RepeatedSubjects(*db), 2);
        history::ClearOutcome out;
        counts.moved(CatalogueOperation(*db).ClearRepeated(out).moved);
        EXPECT_TRUE(out.recorded && out.cleared == 2 && unused::RepeatedSubjects(*db) == 0);
        EXPECT_EQ(counts.describe(12), ItemCounts(*db, cat).describe(12));
        EXPECT_EQ(counts.count(1, -1), ItemCounts(*db, cat).count(1, -1));
        CatalogueOperation(*db).ClearRepeated(out);
        EXPECT_TRUE(out.cleared == 0 && !out.recorded);
        const Dump after = dump(*db, false);
        if (!r.since.empty())
            db->Execute(r.since);
        const Dump changed = dump(*db, false);
        history::UndoOutcome undone;
        CatalogueOperation(*db).Undo(history::LastUndoable(*db).value(), undone);
        EXPECT_TRUE(undone.referencesBack == r.back && undone.leftAlone == 2 - r.back);
        EXPECT_EQ(dump(*db, false) == before, r.since.empty());
        EXPECT_EQ(dump(*db, false) == changed, false);
        if (!r.beforeRedo.empty())
            db->Execute(r.beforeRedo);
        const history::RedoOutcome redone = redoLast(*db);
        EXPECT_TRUE(redone.referencesMoved == r.redone && redone.skipped == 2 - r.redone);
        EXPECT_EQ(dump(*db, false) == after, r.since.empty() && r.beforeRedo.empty());
        EXPECT_EQ(unused::RepeatedSubjects(*db), 0);
    }
}

} // namespace
