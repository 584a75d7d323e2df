// The combine history in the window: the combine button records, the menu's
// undo asks first and refills the lists, the history dialog lists the steps
// and forgets them; where nothing can be recorded the menu says why.
#include "window.h"

#include "combine1.h"
#include "history.h"
#include "listmenu.h"

#include <QAction>
#include <QDialog>
#include <QPushButton>
#include <QTreeWidget>

#include <regex>

using namespace testsupport;

namespace {

// Looking and answering No leave the file as it was; Yes undoes and refills.
TEST_F(WindowTest, UndoAsksThenRefillsAndDialogForgets) {
    const std::string path = writeHistorySample(dir / "Books.M17");
    const std::string original = readFile(path);
    auto w = startWindow({path});
    auto* undo = w->findChild<QAction*>("actionUndoLastCombine");
    ASSERT_TRUE(undo);
    EXPECT_EQ(undo->text(), "&Undo Last Combine");
    EXPECT_EQ(undo->shortcut(), QKeySequence(QStringLiteral("Ctrl+Z")));
    ListBox* l1 = list(*w, "List1");
    ListBox* l2 = list(*w, "List2");
    trigger(*w, "actionUndoLastCombine");
    EXPECT_EQ(ui::seam().messages.back().text, "There is no combine to undo in this catalogue.");
    mark(*w, {"Computer", "Computing"}, "Computers");
    press(*w, "Command2", {ui::mb::No});
    EXPECT_EQ(readFile(path), original);
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(rowOf(l1, "Computer"), -1);
    const Dump combined = dump(*dbCatalogue, true);

    trigger(*w, "actionUndoLastCombine", {ui::mb::No});
    const ui::ShownMessage ask = ui::seam().messages.back();
    EXPECT_TRUE(std::regex_match(
        ask.text.toStdString(),
        std::regex(R"(Undo the combine of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC in Subjects\?)"
                   "\n\n'Computer, Computing' into 'Computers'\n\n"
                   R"(5 items will get their old entries back\.)")))
        << ask.text.toStdString();
    EXPECT_EQ(ask.buttons, ui::Buttons::YesNo);
    EXPECT_EQ(ask.defaultButton, ui::mb::No);
    EXPECT_EQ(rowOf(l1, "Computer"), -1);
    EXPECT_EQ(dump(*dbCatalogue, true), combined);

    trigger(*w, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    EXPECT_EQ(ui::seam().messages.back().text,
              "The combine was undone: 5 items got their old entries back and 2 entries came "
              "back.");
    EXPECT_TRUE(rowOf(l1, "Computer") > 0 && rowOf(l2, "Computing") > 0);

    int rows = -1, left = -1;
    ListMenu::onDialog = [&](QDialog& d) {
        EXPECT_EQ(d.objectName(), "frmHistory");
        auto* tree = d.findChild<QTreeWidget*>("historyTree");
        rows = tree->topLevelItemCount();
        EXPECT_EQ(tree->topLevelItem(0)->text(2), "Undo of the combine numbered 1");
        EXPECT_EQ(tree->topLevelItem(1)->text(2), "'Computer, Computing' into 'Computers'");
        EXPECT_FALSE(d.findChild<QPushButton*>("undoButton")->isEnabled());
        press(d, "forgetButton", {ui::mb::Yes});
        left = tree->topLevelItemCount();
    };
    trigger(*w, "actionHistory");
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(ui::seam().messages.back().text,
              "Forget the whole combine history of this catalogue? The combines made so far can "
              "then no longer be undone.");
    w->close();
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    EXPECT_TRUE(history::ReadHistory(*db).empty());
}

// Without an INTEGER PRIMARY KEY the menu's entries are disabled and say why.
TEST_F(WindowTest, NoItemKeyDisablesTheEntries) {
    auto w = startWindow({writeHistorySample(
        dir / "Books.M17",
        {"CREATE TABLE copy AS SELECT * FROM [MERVANE RECORDS]", "DROP TABLE [MERVANE RECORDS]",
         "ALTER TABLE copy RENAME TO [MERVANE RECORDS]"})});
    trigger(*w, "actionUndoLastCombine");
    EXPECT_TRUE(ui::seam().messages.empty());
    for (const char* name : {"actionUndoLastCombine", "actionHistory"}) {
        auto* a = w->findChild<QAction*>(name);
        EXPECT_FALSE(a->isEnabled()) << name;
        EXPECT_EQ(a->toolTip(),
                  "The item table of this catalogue has no INTEGER PRIMARY KEY, so its items "
                  "cannot be told apart for certain after a repair; combines are not recorded and "
                  "cannot be undone.")
            << name;
    }
}

} // namespace
