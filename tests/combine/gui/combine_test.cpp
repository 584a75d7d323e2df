// Combining in the window: the combine button's prompts and its effect on
// the lists and the catalogue; the menu's undo and history dialog; item
// counts and earlier names in the rows' tooltips; the items behind an entry;
// the duplicate finder, its list and keys, its batch combine and its pairs
// ruled out.
#include "window.h"

#include "catalogue.h"
#include "combine1.h"
#include "frmduplicates.h"
#include "history.h"
#include "listmenu.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include <filesystem>
#include <regex>
#include <set>

using namespace testsupport;

namespace {

const QString nothing = QStringLiteral("Nothing to Combine!");

QString into(const std::string& names, const std::string& target) {
    return qs("Are you sure you want to combine '" + names + "' into '" + target + "'?");
}

// Both lists' rows: text, item data and mark.
using Snapshot = std::vector<std::tuple<QString, int, bool>>;
Snapshot snapshot(QWidget& w) {
    Snapshot s;
    for (ListBox* l : {list(w, "List1"), list(w, "List2")})
        for (int i = 0; i < l->ListCount(); ++i)
            s.emplace_back(l->List(i), l->ItemData(i), l->Selected(i));
    return s;
}

// Combine pressed: the prompt, No its default; after Yes exactly the merged
// entries gone from both lists and the catalogue, their items re-pointed and
// the combine recorded. Refusals, No and a failing statement (which ends the
// program) leave the lists and the catalogue as they were.
TEST_F(WindowTest, CombineButton) {
    const std::string obrien = "O'Brien'); DROP TABLE [Subjects];--";
    const std::string bracket = "[Bracket] \"quoted\" ; semi";
    std::string longName;
    for (int i = 0; i < 120; ++i)
        longName += "\xc5\x9ctudoj ";
    longName += "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";
    const std::vector<Entry> subjects = {{12, "Computer"}, {4, "Computers"}, {31, "Computing"},
                                         {7, obrien},      {5, bracket},     {9, longName}};
    const std::vector<Entry> publishers = {
        {1, "Penguin"}, {2, "Penguin Books"}, {3, "Penguin  Books"}};
    const std::vector<Entry> types = {{1, "Book"}, {2, "Books"}, {3, "CD"}};
    const std::vector<Item> items = {{12, 31, 1, 1},   {31, 12, 3, 2}, {4, -1, 2, 3},
                                     {-1, 12, -1, 2},  {7, 5, 1, 1},   {5, 9, 3, 3},
                                     {-1, -1, -1, -1}, {12, 12, 2, 2}};
    const QString del = QStringLiteral("Are you sure you want to delete the selected items?");
    const QString refused = QStringLiteral("An error has ended the program.\n\nError %1: refused")
                                .arg(engine::err::ConstraintViolation);
    const std::string update2 = "UPDATE OF [Subject 2] ON [MERVANE RECORDS]";
    const int yes = ui::mb::Yes, no = ui::mb::No;
    // clang-format off
    const struct { // answer 0: none asked for; trigger: makes a statement fail
        int category; QStringList marked; std::optional<QString> target; int answer;
        QString message; std::string trigger;
    } rows[] = {
        {0, {"Computer"}, "Computers", yes, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "Computers", yes, into("Computer, Computing", "Computers"), ""},
        {0, {"Computer", "Computers"}, "Computers", yes, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "", yes, del, ""},
        {0, {"", "Computer"}, "Computers", yes, into(", Computer", "Computers"), ""},
        {0, {""}, "Computing", yes, into("", "Computing"), ""},
        {0, {qs(obrien), qs(bracket)}, qs(longName), yes, into(bracket + ", " + obrien, longName), ""},
        {1, {"Penguin", "Penguin  Books"}, "Penguin Books", yes,
         into("Penguin, Penguin  Books", "Penguin Books"), ""},
        {2, {"Books"}, "Book", yes, into("Books", "Book"), ""},
        {2, {"CD", "Book"}, "", yes, del, ""},
        {0, {}, std::nullopt, 0, nothing, ""},
        {0, {}, "Computers", 0, nothing, ""},
        {0, {"Computers"}, "Computers", 0, nothing, ""},
        {0, {"Computer"}, std::nullopt, 0, "Please choose the entry to combine into.", ""},
        {0, {"Computer"}, "Computers", no, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "Computers", yes, into("Computer, Computing", "Computers"), update2},
        {0, {"Computer"}, "Computers", yes, into("Computer", "Computers"), "DELETE ON [Subjects]"}};
    // clang-format on
    std::filesystem::create_directory(dir / "expected");
    for (const auto& r : rows) {
        const std::string name = std::to_string(&r - rows) + ".M17", path = dir / name;
        SCOPED_TRACE(name);
        resetSeam();
        std::vector<std::string> extra;
        if (!r.trigger.empty())
            extra.push_back("CREATE TRIGGER [stop] BEFORE " + r.trigger +
                            " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        writeCatalogue(path, subjects, publishers, types, items, extra);
        auto w = startWindow({path});
        chooseCategory(*w, r.category);
        mark(*w, r.marked, r.target);
        ListBox* l2 = list(*w, "List2");
        const Snapshot before = snapshot(*w);
        const bool done = r.answer == yes && r.trigger.empty();
        const int target = r.target ? l2->ItemData(l2->ListIndex()) : -2;
        std::set<int> merged;
        for (const QString& text : r.marked)
            if (const int code = l2->ItemData(rowOf(l2, text)); done && code != target)
                merged.insert(code);
        press(*w, "Command2", r.answer ? std::deque{r.answer} : std::deque<int>{});
        const auto& seam = ui::seam();
        ASSERT_EQ(seam.messages.size(), r.trigger.empty() ? 1u : 2u);
        EXPECT_EQ(seam.messages[0].text, r.message);
        if (r.answer) {
            const ui::ShownMessage& m = seam.messages[0];
            EXPECT_TRUE(m.buttons == ui::Buttons::YesNo && m.defaultButton == no &&
                        m.icon == ui::Icon::None && m.title == ui::AppTitle);
        }
        if (!r.trigger.empty()) {
            EXPECT_EQ(seam.messages[1].text, refused);
            EXPECT_EQ(seam.endCode, 1);
        } else {
            EXPECT_FALSE(seam.endCode);
            EXPECT_TRUE(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
        }
        Snapshot expected = before;
        std::erase_if(expected, [&](const auto& row) { return merged.count(std::get<1>(row)); });
        EXPECT_EQ(snapshot(*w), expected);
        EXPECT_EQ(l2->ListIndex() < 0 ? std::nullopt : std::optional(l2->List(l2->ListIndex())),
                  r.target);
        if (done) {
            press(*w, "Command2");
            EXPECT_EQ(seam.messages.back().text, nothing);
        }
        w->close();
        releaseCatalogue();

        // The catalogue written without the merged entries, items re-pointed.
        std::vector<Entry> lookups[] = {subjects, publishers, types};
        std::erase_if(lookups[r.category], [&](const Entry& e) { return merged.count(e.code); });
        std::vector<Item> want = items;
        for (Item& it : want)
            for (int col : r.category == 0 ? std::vector{0, 1} : std::vector{r.category + 1})
                it[col] = merged.count(it[col]) ? target : it[col];
        writeCatalogue(dir / ("expected/" + name), lookups[0], lookups[1], lookups[2], want);
        EXPECT_EQ(dump(path, false), dump(dir / ("expected/" + name), false));
        EXPECT_EQ(dump(path, true).count("combine_history"), done ? 1u : 0u);
    }
}

// The undo names the step it would undo, or is disabled saying why; it asks
// first, No leaving the file as it was; Yes undoes and refills.
TEST_F(WindowTest, UndoAsksThenRefillsAndDialogForgets) {
    const std::string path = writeHistorySample(dir / "Books.M17");
    auto w = startWindow({path});
    auto* undo = w->findChild<QAction*>("actionUndoLastCombine");
    auto entry = [&] { return std::tuple(undo->text(), undo->isEnabled(), undo->toolTip()); };
    const auto noUndo = std::tuple(QString("&Undo"), false,
                                   QString("There is no combine to undo in this catalogue."));
    EXPECT_EQ(entry(), noUndo);
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    mark(*w, {"Computer", "Computing"}, "Computers");
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(rowOf(l1, "Computer"), -1);
    EXPECT_EQ(entry(), std::tuple(QString("&Undo Combine"), true, QString("Undo Combine")));
    const Dump combined = dump(*dbCatalogue, true);
    press(*w, "actionUndoLastCombine", {ui::mb::No});
    const ui::ShownMessage ask = ui::seam().messages.back();
    EXPECT_TRUE(std::regex_match(
        ask.text.toStdString(),
        std::regex(R"(Undo the combine of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC in Subjects\?)"
                   "\n\n'Computer, Computing' into 'Computers'\n\n"
                   R"(5 items will get their old entries back\.)")))
        << ask.text.toStdString();
    EXPECT_TRUE(ask.buttons == ui::Buttons::YesNo && ask.defaultButton == ui::mb::No);
    EXPECT_EQ(dump(*dbCatalogue, true), combined);
    press(*w, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    EXPECT_EQ(ui::seam().messages.back().text,
              "The combine was undone: 5 items got their old entries back and 2 entries came "
              "back.");
    EXPECT_TRUE(rowOf(l1, "Computer") > 0 && rowOf(l2, "Computing") > 0);
    EXPECT_EQ(entry(), noUndo);
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
    press(*w, "actionHistory");
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
    press(*w, "actionUndoLastCombine");
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

// Runs the window's duplicate finder; body gets it once its search, with
// the method of that text when one is named, is done.
void withFinder(QWidget& w, const std::function<void(frmDuplicates&)>& body,
                const QString& method = {}) {
    bool ran = false;
    ListMenu::onDialog = [&](QDialog& d) {
        auto& f = static_cast<frmDuplicates&>(d);
        if (!method.isEmpty()) {
            f.findChild<QComboBox*>("methodCombo")->setCurrentText(method);
            press(f, "findButton");
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !f.busy(); }, 20000));
        body(f);
        ran = true;
    };
    press(w, "actionFindDuplicates");
    ListMenu::onDialog = nullptr;
    EXPECT_TRUE(ran);
}

QTreeWidget* clusters(frmDuplicates& f) {
    return f.findChild<QTreeWidget*>("ClusterTree");
}

// The cluster with a member of that name.
QTreeWidgetItem* clusterOf(frmDuplicates& f, const QString& name) {
    QTreeWidget* tree = clusters(f);
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        for (int k = 0; k < tree->topLevelItem(i)->childCount(); ++k)
            if (tree->topLevelItem(i)->child(k)->text(0) == name)
                return tree->topLevelItem(i);
    return nullptr;
}

// The tooltips count the items of an entry and of the blank row, and follow
// a combine and its undo without counting again; the target's names the
// merged ones until the undo.
TEST_F(Duplicates, CountsFollowCombineAndUndo) {
    auto w = startWindow({catalogue("B.M17")});
    ListBox* l1 = list(*w, "List1");
    const QString two = QStringLiteral("2 items: 1 as first subject, 1 as second");
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")), two);
    EXPECT_EQ(tipOf(l1, 0), "1 item with no subject (0 as first, 1 as second); 1 item whose "
                            "code matches no entry (1 as first, 0 as second)");
    mark(*w, {"Penguin Books,", "penguin  books"}, "Penguin Books");
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")),
              qs("6 items: 3 as first subject, 3 as second\nAlso entered as: 'Penguin Books,', "
                 "'penguin  books' (combined " +
                 history::NowUtc().substr(0, 10) + ")"));
    press(*w, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    EXPECT_EQ(tipOf(l1, rowOf(l1, "Penguin Books")), two);
    EXPECT_EQ(tipOf(l1, rowOf(l1, "penguin  books")), two);
}

// Ctrl+I shows the items of List2's current row, else of List1's, in key
// order with their count, and the finder shows a member's; the blank row
// and no row at all have none.
TEST_F(Duplicates, ShowItems) {
    auto w = startWindow({catalogue("B.M17")});
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    auto* action = w->findChild<QAction*>("actionShowItems");
    QString shown;
    ListMenu::onDialog = [&](QDialog& d) {
        if (auto* f = qobject_cast<frmDuplicates*>(&d)) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !f->busy(); }, 20000));
            QTreeWidgetItem* methuen = clusterOf(*f, "Methuen");
            for (int k = 0; k < methuen->childCount(); ++k)
                if (methuen->child(k)->text(0) == "Methuen")
                    clusters(*f)->setCurrentItem(methuen->child(k));
            press(*f, "showItemsButton");
            return;
        }
        auto* table = d.findChild<QTableView*>("itemTable");
        for (size_t c = 0; c < catalogue::ItemFields().size(); ++c)
            EXPECT_EQ(table->model()->headerData(static_cast<int>(c), Qt::Horizontal).toString(),
                      qs(catalogue::ItemFields()[c]));
        QStringList keys;
        for (int r = 0; r < table->model()->rowCount(); ++r)
            keys << table->model()->index(r, 0).data().toString();
        shown = d.objectName() + u' ' + d.findChild<QLabel*>("countLabel")->text() + u' ' +
                keys.join(u',');
    };
    EXPECT_FALSE(action->isEnabled());
    const struct {
        ListBox* list;
        QString entry, shown;
    } rows[] = {{l2, "Penguin Books", "frmItems 2 items 1,7"},
                {l1, "Chemistry 1", "frmItems 1 item 6"},
                {l2, "", ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.entry.toStdString());
        shown.clear();
        l2->SetListIndex(-1);
        r.list->setCurrentIndex(r.list->model()->index(rowOf(r.list, r.entry)));
        EXPECT_EQ(action->isEnabled(), !r.shown.isEmpty());
        EXPECT_EQ(action->toolTip().contains("blank row"), r.shown.isEmpty());
        QTest::keyClick(w.get(), Qt::Key_I, Qt::ControlModifier);
        EXPECT_EQ(shown, r.shown);
    }
    shown.clear();
    press(*w, "actionFindDuplicates");
    EXPECT_EQ(shown, "frmItems 2 items 4,5");
    ListMenu::onDialog = nullptr;
}

// A cluster marked with Return leads to the combine button's own prompt and effect.
TEST_F(Duplicates, MarkInListsThenCombine) {
    const std::string path = catalogue("B.M17");
    auto w = startWindow({path});
    withFinder(*w, [](frmDuplicates& f) {
        ASSERT_GE(clusters(f)->topLevelItemCount(), 3);
        // The numbered names stay apart.
        for (const char* name : {"Chemistry 1", "Chemistry 2"})
            EXPECT_FALSE(clusterOf(f, name)) << name;
        QTreeWidgetItem* methuen = clusterOf(f, "Methuen");
        ASSERT_TRUE(methuen);
        EXPECT_EQ(methuen->childCount(), 3);
        clusters(f)->setCurrentItem(methuen);
        QTest::keyClick(clusters(f), Qt::Key_Return);
    });
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    // Every Methuen carries two items: the first in name order is the target,
    // and "[" sorts before the letters folded to lower case.
    EXPECT_EQ(l2->List(l2->ListIndex()), "[Methuen]");
    EXPECT_EQ(markedTexts(l1), QStringList({"Methuen", "Methuen ;"}));
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_EQ(ui::seam().messages.back().text,
              "Are you sure you want to combine 'Methuen, Methuen ;' into '[Methuen]'?");
    EXPECT_EQ(rowOf(l1, "Methuen ;"), -1);
    w->close();
    EXPECT_EQ(std::ranges::count(dump(path, false).at("Subjects"), "integer:5|text:'Methuen ;'"),
              0);
}

// The batch combine merges each cluster into the member with most items
// (ties: the first in name order) in one history step, whose undo gives back
// the catalogue.
TEST_F(Duplicates, BatchCombineAndUndo) {
    const std::string path = catalogue("B.M17");
    const Dump before = dump(path, false);
    auto w = startWindow({path});
    withFinder(
        *w,
        [&](frmDuplicates& f) {
            press(f, "checkAllButton");
            press(f, "combineButton", {ui::mb::Yes});
        },
        "Fingerprint");
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
    press(*again, "actionUndoLastCombine", {ui::mb::Yes, ui::mb::Ok});
    again->close();
    EXPECT_EQ(dump(path, false), before);
}

// Entries like the current one, only once one is chosen; a category with
// only the blank row has no duplicates to look for.
TEST_F(Duplicates, LikeThisAndEmptyCategory) {
    auto w = startWindow({catalogue("B.M17", {})});
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    auto* likeThis = w->findChild<QAction*>("actionMarkEntriesLikeThis");
    EXPECT_EQ(std::pair(likeThis->isEnabled(), likeThis->toolTip()),
              std::pair(false, QString("Choose an entry in the right list.")));
    l2->SetListIndex(rowOf(l2, "Harper & Row"));
    press(*w, "actionMarkEntriesLikeThis");
    EXPECT_EQ(markedTexts(l1), QStringList({"Harper & Row", "Harper and Row :"}));
    EXPECT_EQ(l2->List(l2->ListIndex()), "Harper & Row");
    chooseCategory(*w, 2);
    auto* find = w->findChild<QAction*>("actionFindDuplicates");
    EXPECT_EQ(std::pair(find->isEnabled(), find->toolTip()),
              std::pair(false, QString("There are no entries to look through.")));
}

// The finder opens on the suggested clusters, expanded, the sure ones
// checked; the spin box follows the method; the check buttons and Space set
// the checks that the summary counts.
TEST_F(Duplicates, ListKeysAndChecks) {
    auto w = startWindow({catalogue("B.M17")});
    withFinder(*w, [](frmDuplicates& f) {
        auto* method = f.findChild<QComboBox*>("methodCombo");
        EXPECT_EQ(method->currentText(), "Suggested");
        auto* spin = f.findChild<QSpinBox*>("parameterSpin");
        const std::tuple<QString, bool, int, int, int> methods[] = {
            {"Similar words", true, 50, 95, 70},
            {"N-gram fingerprint", true, 1, 3, 2},
            {"Nearest neighbours", true, 1, 3, 1},
            {"Core name", false, 1, 3, 1}};
        for (const auto& [text, enabled, low, high, value] : methods) {
            method->setCurrentText(text);
            EXPECT_EQ(std::tuple(spin->isEnabled(), spin->minimum(), spin->maximum(), spin->value(),
                                 spin->toolTip().isEmpty()),
                      std::tuple(enabled, low, high, value, !enabled))
                << text.toStdString();
        }
        QTreeWidget* tree = clusters(f);
        ASSERT_GT(tree->topLevelItemCount(), 1);
        // Each cluster's check, then its members'.
        auto checks = [&] {
            QString out;
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                QTreeWidgetItem* top = tree->topLevelItem(i);
                EXPECT_TRUE(top->isExpanded());
                for (int k = -1; k < top->childCount(); ++k)
                    out += (k < 0 ? top : top->child(k))->checkState(0) ? u'x' : u'-';
            }
            return out;
        };
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            EXPECT_EQ(tree->topLevelItem(i)->checkState(0) == Qt::Checked,
                      f.groups()[static_cast<size_t>(i)].certainty >= dedupe::SureCertainty);
        press(f, "uncheckAllButton");
        EXPECT_FALSE(checks().contains(u'x'));
        tree->setCurrentItem(tree->topLevelItem(1));
        QTest::keyClick(tree, Qt::Key_Space);
        EXPECT_EQ(checks().count(u'x'), 1);
        EXPECT_TRUE(f.groups()[1].checked);
        EXPECT_TRUE(f.findChild<QLabel*>("summaryLabel")->text().contains(", 1 checked;"));
        press(f, "checkAllButton");
        EXPECT_FALSE(checks().contains(u'-'));
    });
    chooseCategory(*w, 1);
    withFinder(*w, [](frmDuplicates& f) {
        EXPECT_TRUE(f.findChild<QLabel*>("summaryLabel")->text().startsWith("1 cluster, "));
    });
}

// Not Duplicates rules out every pair of a cluster, or a member against the
// others, and takes it off the list (a target gives way to the member with
// most items, the first of equals) and out of the next search; Take Back
// gives the list its cluster back. The catalogue's own tables never change.
TEST_F(Duplicates, NotDuplicatesAndTakeBack) {
    const std::tuple<QString, std::set<std::pair<int, int>>, QString> rows[] = {
        {"", {{4, 5}, {4, 6}, {5, 6}}, ""},
        {"Methuen ;", {{4, 5}, {5, 6}}, "2 entries into '[Methuen]'"}};
    for (const auto& [member, pairs, left] : rows) {
        SCOPED_TRACE(member.toStdString());
        const std::string path = catalogue("N" + std::to_string(pairs.size()) + ".M17");
        const Dump before = dump(path, false);
        auto w = startWindow({path});
        withFinder(*w, [&](frmDuplicates& f) {
            QTreeWidgetItem* methuen = clusterOf(f, "Methuen");
            ASSERT_TRUE(methuen);
            clusters(f)->setCurrentItem(methuen);
            for (int k = 0; k < methuen->childCount(); ++k)
                if (methuen->child(k)->text(0) == member) {
                    clusters(f)->setCurrentItem(methuen->child(k));
                    press(f, "targetButton");
                }
            press(f, "notDuplicatesButton");
            std::set<std::pair<int, int>> written;
            for (const ruledout::Pair& p : ruledout::Read(*dbCatalogue, *catalogue::CategoryAt(0)))
                written.emplace(p.code1, p.code2);
            EXPECT_EQ(written, pairs);
            QTreeWidgetItem* rest = clusterOf(f, "Methuen");
            EXPECT_EQ(rest ? rest->text(0) : QString(), left);
            EXPECT_FALSE(clusterOf(f, member));
            // The next search keeps the pairs apart.
            press(f, "findButton");
            ASSERT_TRUE(QTest::qWaitFor([&] { return !f.busy(); }, 20000));
            const std::map<QString, int> codes = {
                {"Methuen", 4}, {"Methuen ;", 5}, {"[Methuen]", 6}};
            for (int i = 0; i < clusters(f)->topLevelItemCount(); ++i) {
                std::set<int> in;
                for (int k = 0; k < clusters(f)->topLevelItem(i)->childCount(); ++k)
                    if (codes.count(clusters(f)->topLevelItem(i)->child(k)->text(0)))
                        in.insert(codes.at(clusters(f)->topLevelItem(i)->child(k)->text(0)));
                for (const auto& [a, b] : pairs)
                    EXPECT_FALSE(in.count(a) && in.count(b)) << a << " " << b;
            }

            press(f, "ruledOutButton");
            auto* box = f.findChild<QDialog*>("frmRuledOut");
            ASSERT_TRUE(box);
            auto* listed = box->findChild<QTreeWidget*>();
            EXPECT_EQ(listed->topLevelItemCount(), static_cast<int>(pairs.size()));
            listed->selectAll();
            press(*box, "takeBackButton");
            EXPECT_EQ(listed->topLevelItemCount(), 0);
            ASSERT_TRUE(QTest::qWaitFor([&] { return !f.busy(); }, 20000));
            ASSERT_TRUE(clusterOf(f, "Methuen"));
            EXPECT_EQ(clusterOf(f, "Methuen")->childCount(), 3);
            box->close();
        });
        w->close();
        EXPECT_TRUE(ui::seam().messages.empty());
        EXPECT_EQ(dump(path, false), before);
        releaseCatalogue();
    }
}

} // namespace
