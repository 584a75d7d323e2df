// The lists' menu and the history dialog beyond the combine: the rename of
// an entry and its way into the window's combine, the redo, the undo of any
// step, the history saved as CSV, unused entries and repeated subjects.
#include "window.h"

#include "combine1.h"
#include "history.h"
#include "listmenu.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

using namespace testsupport;

namespace {

QString into(const char* names, const char* target) {
    return QStringLiteral("Are you sure you want to combine '%1' into '%2'?").arg(names, target);
}

// A rename refused when blank, leading to the window's combine prompt when
// another entry has the name or its fingerprint, else made and recorded,
// undone and redone from the menu, whose texts follow. The file's history
// was written when its steps could only be combines and undos.
TEST_F(WindowTest, RenameUndoRedoAndCombineInstead) {
    const std::string path = writeHistorySample(dir / "Books.M17");
    {
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        const history::Merge m{{3}, "CD", "Books", [] { return 2; }};
        CatalogueOperation(*db).Combine(*catalogue::CategoryAt(2), {m});
        for (const char* sql : {"PRAGMA writable_schema = ON",
                                "UPDATE sqlite_schema SET sql = replace(sql, ', ''redo'', "
                                "''rename'', ''delete'', ''clear''', '') "
                                "WHERE name = 'combine_history'",
                                "PRAGMA schema_version = 100", "PRAGMA writable_schema = OFF"})
            db->Execute(sql);
    }
    auto w = startWindow({path});
    auto* rename = w->findChild<QAction*>("actionRenameEntry");
    auto* redo = w->findChild<QAction*>("actionRedo");
    auto* undo = w->findChild<QAction*>("actionUndoLastCombine");
    EXPECT_TRUE(rename->text() == "Rename Entry..." && rename->shortcut() == QKeySequence("F2"));
    EXPECT_EQ(redo->shortcuts(),
              (QList<QKeySequence>{QKeySequence("Ctrl+Y"), QKeySequence("Ctrl+Shift+Z")}));
    EXPECT_FALSE(rename->isEnabled());
    EXPECT_TRUE(!redo->isEnabled() && redo->toolTip() == "There is no undone step to redo.");
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    l2->SetListIndex(0);
    EXPECT_FALSE(rename->isEnabled());
    QString typed;
    ListMenu::onDialog = [&](QDialog& d) {
        EXPECT_EQ(d.objectName(), "frmRename");
        d.findChild<QLineEdit*>("nameEdit")->setText(typed);
        d.accept();
    };
    const Dump start = dump(*dbCatalogue, false);
    const struct {
        QString name, message;
    } refused[] = {{" ", "An entry needs a name: the name was not changed."},
                   {"Computers", into("Chemistry", "Computers")},
                   {"COMPUTERS.", into("Chemistry", "Computers")}};
    for (const auto& r : refused) {
        l2->SetListIndex(rowOf(l2, "Chemistry"));
        typed = r.name;
        press(*w, "actionRenameEntry", {ui::mb::No});
        EXPECT_EQ(ui::seam().messages.back().text, r.message);
        EXPECT_EQ(dump(*dbCatalogue, false), start);
    }

    l2->SetListIndex(rowOf(l2, "Chemistry"));
    typed = "Chem";
    press(*w, "actionRenameEntry");
    EXPECT_TRUE(rowOf(l1, "Chemistry") < 0 && l2->List(l2->ListIndex()) == "Chem");
    EXPECT_EQ(l1->model()->logical(l1->currentIndex().row()), l2->ListIndex());
    EXPECT_EQ(undo->text(), "&Undo Rename");
    press(*w, "actionUndoLastCombine", {ui::mb::Yes});
    EXPECT_EQ(ui::seam().messages.back().text,
              "The rename was undone: the entry is called 'Chemistry' again.");
    EXPECT_EQ(dump(*dbCatalogue, false), start);
    EXPECT_TRUE(redo->isEnabled() && redo->toolTip().startsWith("Redo the rename of "));
    press(*w, "actionRedo", {ui::mb::No});
    const ui::ShownMessage ask = ui::seam().messages.back();
    EXPECT_TRUE(ask.text.endsWith("in Subjects?\n\n'Chemistry' renamed 'Chem'") &&
                ask.defaultButton == ui::mb::No);
    EXPECT_EQ(dump(*dbCatalogue, false), start);
    press(*w, "actionRedo", {ui::mb::Yes});
    EXPECT_EQ(ui::seam().messages.back().text,
              "The rename was redone: the entry is called 'Chem' again.");
    EXPECT_TRUE(rowOf(l1, "Chem") > 0 && undo->text() == "&Undo Redo" && !redo->isEnabled());

    l2->SetListIndex(rowOf(l2, "Chem"));
    typed = "computers";
    press(*w, "actionRenameEntry", {ui::mb::Yes});
    EXPECT_EQ(ui::seam().messages.back().text, into("Chem", "Computers"));
    EXPECT_EQ(rowOf(l1, "Chem"), -1);
    EXPECT_EQ(history::ReadHistory(*dbCatalogue).front().kind, "combine");
}

// The history dialog undoes the chosen step, an older one too, redoes it,
// and saves the history as CSV where the save dialog says.
TEST_F(WindowTest, HistoryDialogUndoesAnyStepRedoesAndSavesCsv) {
    auto w = startWindow({writeHistorySample(dir / "Books.M17")});
    mark(*w, {"Computer"}, "Computers");
    press(*w, "Command2", {ui::mb::Yes});
    mark(*w, {"Chemistry"}, "Computing");
    press(*w, "Command2", {ui::mb::Yes});
    const Dump both = dump(*dbCatalogue, false);
    const std::string csv = dir / "history.csv";
    ui::seam().fileNames = {qs(csv)};
    ListMenu::onDialog = [&](QDialog& d) {
        auto* tree = d.findChild<QTreeWidget*>("historyTree");
        auto* undoButton = d.findChild<QPushButton*>("undoButton");
        auto* redoButton = d.findChild<QPushButton*>("redoButton");
        tree->setCurrentItem(tree->topLevelItem(1));
        EXPECT_TRUE(undoButton->isEnabled() && !redoButton->isEnabled());
        press(d, "undoButton", {ui::mb::Yes});
        EXPECT_EQ(ui::seam().messages.back().text,
                  "The combine was undone: 4 items got their old entries back and 1 entry came "
                  "back.");
        EXPECT_EQ(tree->topLevelItem(0)->text(2), "Undo of the combine numbered 1");
        tree->setCurrentItem(tree->topLevelItem(2));
        EXPECT_TRUE(!undoButton->isEnabled() && redoButton->isEnabled());
        press(d, "redoButton", {ui::mb::Yes});
        EXPECT_EQ(ui::seam().messages.back().text,
                  "The combine was redone: 5 references re-pointed and 1 entry deleted.");
        EXPECT_EQ(tree->topLevelItem(0)->text(2),
                  "Redo of the combine numbered 1: 'Computer' into 'Computers'");
        press(d, "csvButton");
    };
    press(*w, "actionHistory");
    EXPECT_EQ(dump(*dbCatalogue, false), both);
    EXPECT_EQ(ui::seam().dialogs.back().title, "Save History as CSV");
    const std::string text = readFile(csv);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
    EXPECT_NE(text.find(",redo,Subject,Computer,12,Computers,4,5,,1\r\n"), std::string::npos)
        << text;
}

} // namespace

namespace {

// Unused Entries... lists the category's unused entries, all checked, with
// their count; No deletes nothing, Yes deletes the checked ones, refills
// the lists and names the undo. Clear Repeated Subjects... counts, No
// changes nothing, Yes clears, and with none repeated it says so.
TEST_F(WindowTest, UnusedEntriesAndClearRepeated) {
    const std::string path = writeHistorySample(
        dir / "Books.M17", {"INSERT INTO [Subjects] ([Subject Code], [Subject Name]) VALUES "
                            "(50, 'Zoology'), (51, 'algebra')"});
    auto w = startWindow({path});
    auto* undo = w->findChild<QAction*>("actionUndoLastCombine");
    ListBox* l1 = list(*w, "List1");
    const Dump start = dump(*dbCatalogue, false);
    ListMenu::onDialog = [&](QDialog& d) {
        ASSERT_EQ(d.objectName(), "frmUnused");
        EXPECT_EQ(d.findChild<QLabel*>("countLabel")->text(), "2 unused entries");
        auto* tree = d.findChild<QTreeWidget*>("unusedTree");
        ASSERT_EQ(tree->topLevelItemCount(), 2);
        EXPECT_EQ(tree->topLevelItem(0)->text(0), "algebra");
        d.findChild<QPushButton*>("deleteButton")->click();
    };
    // clang-format off
    const struct { const char* action; int answer; QString asked, told; } rows[] = {
        {"actionUnusedEntries", ui::mb::No,
         "Delete 2 unused entries from Subjects? The deletion can be undone.", ""},
        {"actionClearRepeatedSubjects", ui::mb::No,
         "1 item has the same subject as first and as second subject. Clear the second subject "
         "of it? This can be undone.", ""},
        {"actionUnusedEntries", ui::mb::Yes, "", "2 entries were deleted."},
        {"actionClearRepeatedSubjects", ui::mb::Yes, "",
         "The second subject was cleared on 1 item."}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.action);
        ui::seam().messages.clear();
        press(*w, r.action, {r.answer});
        ASSERT_FALSE(ui::seam().messages.empty());
        EXPECT_EQ(ui::seam().messages[0].defaultButton, ui::mb::No);
        if (r.answer == ui::mb::No) {
            EXPECT_EQ(ui::seam().messages.back().text, r.asked);
            EXPECT_EQ(dump(*dbCatalogue, false), start);
        } else {
            EXPECT_EQ(ui::seam().messages.back().text, r.told);
        }
    }
    EXPECT_TRUE(rowOf(l1, "algebra") < 0 && rowOf(l1, "Zoology") < 0 && rowOf(l1, "Minus 1") > 0);
    EXPECT_EQ(undo->text(), "&Undo Clear");
    press(*w, "actionClearRepeatedSubjects");
    EXPECT_EQ(ui::seam().messages.back().text,
              "No item has the same subject as its first and its second subject: nothing was "
              "changed.");
    // Each undo says what it gives back in the words of its own step.
    // clang-format off
    const struct { QString asked, told; } undos[] = {
        {"1 item will get its second subject back.",
         "The clear was undone: 1 item got its second subject back."},
        {"2 entries will come back.", "The delete was undone: 2 entries came back."}};
    // clang-format on
    for (const auto& u : undos) {
        ui::seam().messages.clear();
        press(*w, "actionUndoLastCombine", {ui::mb::Yes});
        ASSERT_EQ(ui::seam().messages.size(), 2u);
        EXPECT_TRUE(ui::seam().messages[0].text.endsWith("\n\n" + u.asked))
            << ui::seam().messages[0].text.toStdString();
        EXPECT_EQ(ui::seam().messages[1].text, u.told);
    }
    EXPECT_EQ(dump(*dbCatalogue, false), start);
    EXPECT_GT(rowOf(l1, "Zoology"), 0);
}

} // namespace
