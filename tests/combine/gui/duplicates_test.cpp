// Item counts and the duplicate finder in the window: the rows' tooltips kept
// up to date, a cluster marked for Combine, the batch combine and its undo.
#include "window.h"

#include "frmduplicates.h"
#include "listmenu.h"

#include <QApplication>
#include <QHelpEvent>
#include <QPushButton>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include <filesystem>

using namespace testsupport;

namespace {

const std::vector<Entry> subjects = {
    {1, "Penguin Books"}, {2, "Penguin Books,"},   {3, "penguin  books"}, {4, "Methuen"},
    {5, "Methuen ;"},     {6, "[Methuen]"},        {7, "Chemistry 1"},    {8, "Chemistry 2"},
    {9, "Harper & Row"},  {10, "Harper and Row :"}};
const std::vector<Entry> publishers = {{1, "Macmillan"}, {2, "Macmillan."}, {3, "Virago"}};
// Item 7 refers to subject 99, which matches no entry.
const std::vector<Item> items = {{1, 2, 1, 1},  {2, 3, 2, 1},  {3, -1, 2, 1}, {4, 5, 3, 1},
                                 {6, 4, 1, 1},  {7, 8, -1, 1}, {99, 1, 1, 1}, {9, 10, 2, 1},
                                 {10, 9, 1, 1}, {5, 6, 1, 1}};

class Duplicates : public WindowTest {
protected:
    std::string catalogue(const std::string& name,
                          const std::vector<Entry>& types = {{1, "Book"}}) {
        return writeCatalogue(dir / name, subjects, publishers, types, items);
    }
};

QStringList markedTexts(ListBox* box) {
    QStringList out;
    for (int i = 0; i < box->ListCount(); ++i)
        if (box->Selected(i))
            out << box->List(i);
    return out;
}

// The tooltip of a list's row, as the pointer resting on it shows it.
QString tipOf(ListBox* box, int row) {
    const QModelIndex index = box->model()->index(row);
    box->scrollTo(index);
    const QPoint at = box->visualRect(index).center();
    QHelpEvent e(QEvent::ToolTip, at, box->viewport()->mapToGlobal(at));
    QApplication::sendEvent(box->viewport(), &e);
    return QToolTip::text();
}

// Runs the duplicate finder of the window, giving the dialog to body once
// its first search has finished.
void withFinder(QWidget& w, const std::function<void(frmDuplicates&)>& body) {
    bool ran = false;
    ListMenu::onDialog = [&](QDialog& d) {
        auto& f = static_cast<frmDuplicates&>(d);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !f.busy(); }, 20000));
        body(f);
        ran = true;
    };
    trigger(w, "actionFindDuplicates");
    ListMenu::onDialog = nullptr;
    EXPECT_TRUE(ran);
}

// The tooltips count the items of an entry and of the blank row, and follow
// a combine and its undo without counting again.
TEST_F(Duplicates, CountsFollowCombineAndUndo) {
    auto w = startWindow({catalogue("B.M17")});
    ListBox* l1 = list(*w, "List1");
    const QString two = QStringLiteral("2 items: 1 as first subject, 1 as second");
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")), two);
    EXPECT_EQ(tipOf(l1, 0), "1 item with no subject (0 as first, 1 as second); 1 item whose "
                            "code matches no entry (1 as first, 0 as second)");
    mark(*w, {"Penguin Books,", "penguin  books"}, "Penguin Books");
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")), "6 items: 3 as first subject, 3 as second");
    trigger(*w, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")), two);
    EXPECT_EQ(tipOf(l1, rowOf(l1, "penguin  books")), two);
}

// A marked cluster leads to the combine button's own prompt and effect.
TEST_F(Duplicates, MarkInListsThenCombine) {
    const std::string path = catalogue("B.M17");
    auto w = startWindow({path});
    withFinder(*w, [](frmDuplicates& f) {
        auto* tree = f.findChild<QTreeWidget*>("ClusterTree");
        ASSERT_GE(tree->topLevelItemCount(), 3);
        // The numbered names stay apart.
        QTreeWidgetItem* methuen = nullptr;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* group = tree->topLevelItem(i);
            for (int k = 0; k < group->childCount(); ++k)
                EXPECT_FALSE(group->child(k)->text(0).startsWith("Chemistry"));
            if (group->child(0)->text(0).contains("Methuen"))
                methuen = group;
        }
        ASSERT_TRUE(methuen);
        EXPECT_EQ(methuen->childCount(), 3);
        tree->setCurrentItem(methuen);
        press(f, "markButton");
    });
    ListBox* l1 = list(*w, "List1");
    ListBox* l2 = list(*w, "List2");
    // Every Methuen carries two items: the first in name order is the target,
    // and "[" sorts before the letters folded to lower case.
    EXPECT_EQ(l2->List(l2->ListIndex()), "[Methuen]");
    EXPECT_EQ(markedTexts(l1), QStringList({"Methuen", "Methuen ;"}));
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(ui::seam().messages.back().text,
              "Are you sure you want to combine 'Methuen, Methuen ;' into '[Methuen]'?");
    EXPECT_EQ(rowOf(l1, "Methuen ;"), -1);
    w->close();
    const std::vector<std::string> left = dump(path, false).at("Subjects");
    EXPECT_EQ(std::ranges::count(left, "integer:5|text:'Methuen ;'"), 0);
}

// The batch combine merges each cluster into the member with most items
// (ties: the first in name order) in one history step, whose undo gives back
// the catalogue.
TEST_F(Duplicates, BatchCombineAndUndo) {
    const std::string path = catalogue("B.M17");
    const Dump before = dump(path, false);
    auto w = startWindow({path});
    withFinder(*w, [&](frmDuplicates& f) { press(f, "combineButton", {ui::mb::Yes}); });
    EXPECT_EQ(ui::seam().messages.back().text,
              "Combine 5 entries into 3 entries? 10 items will be re-pointed. 7 items will end "
              "with the same subject in both columns.");
    EXPECT_EQ(list(*w, "List1")->ListCount(), 1 + 10 - 5);
    w->close();
    const std::map<int, int> into = {{1, 3}, {2, 3}, {4, 6}, {5, 6}, {10, 9}};
    std::vector<Entry> left = subjects;
    std::erase_if(left, [&](const Entry& e) { return into.count(e.code); });
    std::vector<Item> want = items;
    for (Item& it : want)
        for (int c : {0, 1})
            it[c] = into.count(it[c]) ? into.at(it[c]) : it[c];
    // The same file name: the catalogue's name is written into it.
    std::filesystem::create_directory(dir / "expected");
    writeCatalogue(dir / "expected/B.M17", left, publishers, {{1, "Book"}}, want);
    EXPECT_EQ(dump(path, false), dump(dir / "expected/B.M17", false));
    EXPECT_EQ(dump(path, true).at("combine_history").size(), 1u);
    releaseCatalogue();
    auto again = startWindow({path});
    trigger(*again, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    again->close();
    EXPECT_EQ(dump(path, false), before);
}

// Entries like the current one; a category with only the blank row.
TEST_F(Duplicates, LikeThisAndEmptyCategory) {
    auto w = startWindow({catalogue("B.M17", {})});
    ListBox* l1 = list(*w, "List1");
    ListBox* l2 = list(*w, "List2");
    l2->SetListIndex(rowOf(l2, "Harper & Row"));
    trigger(*w, "actionMarkEntriesLikeThis");
    EXPECT_EQ(markedTexts(l1), QStringList({"Harper & Row", "Harper and Row :"}));
    EXPECT_EQ(l2->List(l2->ListIndex()), "Harper & Row");
    chooseCategory(*w, 2);
    withFinder(*w, [](frmDuplicates& f) {
        EXPECT_EQ(f.findChild<QTreeWidget*>("ClusterTree")->topLevelItemCount(), 0);
        EXPECT_FALSE(f.findChild<QPushButton*>("combineButton")->isEnabled());
    });
}

} // namespace
