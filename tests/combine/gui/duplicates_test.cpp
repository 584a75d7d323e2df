// Item counts and the duplicate finder in the window: counts against a
// direct count and kept up to date, marking a cluster for the combine
// button, the batch combine against the same combines one by one, its undo,
// and entries like one.
#include "window.h"

#include "combine1.h"
#include "frmduplicates.h"
#include "history.h"
#include "listtools.h"
#include "query.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

using namespace testsupport;

namespace {

const std::vector<Entry> subjects = {
    {1, "Penguin Books"}, {2, "Penguin Books,"},   {3, "penguin  books"}, {4, "Methuen"},
    {5, "Methuen ;"},     {6, "[Methuen]"},        {7, "Chemistry 1"},    {8, "Chemistry 2"},
    {9, "Harper & Row"},  {10, "Harper and Row :"}};
const std::vector<Entry> publishers = {{1, "Macmillan"}, {2, "Macmillan."}, {3, "Virago"}};
const std::vector<Entry> types = {{1, "Book"}};
// Item 7 refers to subject 99, which matches no entry.
const std::vector<Item> items = {{1, 2, 1, 1},  {2, 3, 2, 1},  {3, -1, 2, 1}, {4, 5, 3, 1},
                                 {6, 4, 1, 1},  {7, 8, -1, 1}, {99, 1, 1, 1}, {9, 10, 2, 1},
                                 {10, 9, 1, 1}, {5, 6, 1, 1}};

std::map<std::string, std::vector<std::string>> dump(const QString& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path.toStdString());
    std::map<std::string, std::vector<std::string>> out;
    for (const char* t : {"Subjects", "Publishers", "Types", "MERVANE RECORDS"}) {
        engine::Query q(*db, std::string("SELECT * FROM \"") + t + "\" ORDER BY 1");
        while (q.Step()) {
            std::string row;
            for (int c = 0; c < q.ColumnCount(); ++c)
                row += (q.IsNull(c) ? std::string("NULL") : q.Text(c)) + "|";
            out[t].push_back(row);
        }
    }
    return out;
}

ListTools* toolsOf(QWidget& w) {
    return w.findChild<ListTools*>();
}

// Runs the duplicate finder of the window, giving the dialog to body once
// its first search has finished.
void withFinder(QWidget& w, const std::function<void(frmDuplicates&)>& body) {
    bool ran = false;
    ListTools::onDialog = [&](QDialog& d) {
        auto& f = static_cast<frmDuplicates&>(d);
        QTRY_VERIFY_WITH_TIMEOUT(!f.busy(), 20000);
        body(f);
        ran = true;
    };
    w.findChild<QAction*>("actionFindDuplicates")->trigger();
    ListTools::onDialog = nullptr;
    QVERIFY(ran);
}

QStringList selectedTexts(ListBox* l) {
    QStringList out;
    for (int i = 0; i < l->ListCount(); ++i)
        if (l->Selected(i))
            out << l->List(i);
    return out;
}

} // namespace

class DuplicatesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { resetSeam(); }
    void cleanup() {
        ListTools::onDialog = nullptr;
        releaseCatalogue();
    }

    // Counts equal a direct count, before and after a combine and an undo.
    void countsFollowCombineAndUndo() {
        QTemporaryDir dir;
        const QString path = writeCatalogue(dir, "B.M17", subjects, publishers, types, items);
        auto w = startWindow({path});
        ListTools* tools = toolsOf(*w);
        auto direct = [&](size_t column, int code) {
            engine::Query q(*dbCatalogue, std::string("SELECT count(*) FROM [MERVANE RECORDS] "
                                                      "WHERE [Subject ") +
                                              (column ? "2" : "1") + "] = ?1");
            q.Bind(1, code);
            q.Step();
            return q.Integer(0);
        };
        auto agrees = [&] {
            const ItemCounts& c = tools->countsFor(0);
            for (int code : {-1, 1, 2, 3, 4, 5, 6, 9, 10, 99})
                for (size_t col : {0u, 1u})
                    if (c.count(col, code) != direct(col, code))
                        return false;
            return true;
        };
        QVERIFY(agrees());
        QCOMPARE(QString::fromStdString(tools->countsFor(0).describe(1)),
                 QStringLiteral("2 items: 1 as first subject, 1 as second"));
        std::unordered_set<std::int32_t> known;
        for (const Entry& e : subjects)
            known.insert(e.code);
        QCOMPARE(QString::fromStdString(tools->countsFor(0).describeBlank(known)),
                 QStringLiteral("1 item with no subject (0 as first, 1 as second); 1 item whose "
                                "code matches no entry (1 as first, 0 as second)"));
        ListBox* l1 = list(*w, "List1");
        ListBox* l2 = list(*w, "List2");
        l1->SetSelected(rowOf(l1, "Penguin Books,"), true);
        l1->SetSelected(rowOf(l1, "penguin  books"), true);
        l2->SetListIndex(rowOf(l2, "Penguin Books"));
        ui::seam().answers = {ui::mb::Yes};
        w->findChild<QPushButton*>("Command2")->click();
        QVERIFY(agrees());
        QCOMPARE(tools->countsFor(0).total(1), 6);
        ui::seam().answers = {ui::mb::Yes, ui::mb::Ok};
        w->findChild<QAction*>("actionUndoLastCombine")->trigger();
        QVERIFY(agrees());
    }

    // A marked cluster leads to the combine button's own prompt and effect.
    void markInListsThenCombine() {
        QTemporaryDir dir;
        const QString path = writeCatalogue(dir, "B.M17", subjects, publishers, types, items);
        auto w = startWindow({path});
        withFinder(*w, [](frmDuplicates& f) {
            auto* tree = f.findChild<QTreeWidget*>("ClusterTree");
            QVERIFY(tree->topLevelItemCount() >= 3);
            // Sorted by items re-pointed; the numbered names stay apart.
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                for (int k = 0; k < tree->topLevelItem(i)->childCount(); ++k)
                    QVERIFY(!tree->topLevelItem(i)->child(k)->text(0).startsWith("Chemistry"));
            QTreeWidgetItem* methuen = nullptr;
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                if (tree->topLevelItem(i)->child(0)->text(0).contains("Methuen"))
                    methuen = tree->topLevelItem(i);
            QVERIFY(methuen);
            QCOMPARE(methuen->childCount(), 3);
            tree->setCurrentItem(methuen);
            f.findChild<QPushButton*>("markButton")->click();
        });
        ListBox* l1 = list(*w, "List1");
        ListBox* l2 = list(*w, "List2");
        // Every Methuen carries two items: the first in name order is the
        // target, and "[" sorts before the letters folded to lower case.
        QCOMPARE(l2->List(l2->ListIndex()), QStringLiteral("[Methuen]"));
        QCOMPARE(selectedTexts(l1), (QStringList{"Methuen", "Methuen ;"}));
        ui::seam().answers = {ui::mb::Yes};
        w->findChild<QPushButton*>("Command2")->click();
        QCOMPARE(ui::seam().messages.back().text,
                 QStringLiteral("Are you sure you want to combine 'Methuen, Methuen ;' into "
                                "'[Methuen]'?"));
        QCOMPARE(rowOf(l1, "Methuen ;"), -1);
        w->close();
        QCOMPARE(readLookup(path, "Subject").count(5), size_t(0));
    }

    // The batch combine equals the same combines one by one, is one history
    // step, and its undo gives back the catalogue.
    void batchCombine() {
        QTemporaryDir dir;
        const QString path = writeCatalogue(dir, "B.M17", subjects, publishers, types, items);
        const QString copy = writeCatalogue(dir, "C.M17", subjects, publishers, types, items);
        const auto before = dump(path);
        auto w = startWindow({path});
        std::vector<dupes::Group> groups;
        std::vector<dupes::Entry> entries;
        withFinder(*w, [&](frmDuplicates& f) {
            groups = f.groups();
            entries = f.entries();
            ui::seam().answers = {ui::mb::Yes};
            f.findChild<QPushButton*>("combineButton")->click();
        });
        const QString prompt = ui::seam().messages.back().text;
        QVERIFY2(prompt.startsWith("Combine 5 entries into 3 entries? 10 items will be "
                                   "re-pointed."),
                 qPrintable(prompt));
        QVERIFY2(prompt.contains("7 items will end with the same subject in both columns"),
                 qPrintable(prompt));
        QCOMPARE(list(*w, "List1")->ListCount(), 1 + 10 - 5);
        {
            auto db = engine::DatabaseEngine().OpenDatabase(copy.toStdString());
            for (const dupes::Group& g : groups) {
                history::Merge m;
                for (size_t i = 0; i < g.members.size(); ++i)
                    if (static_cast<int>(i) != g.target)
                        m.codes.push_back(entries[static_cast<size_t>(g.members[i].entry)].code);
                const int t =
                    entries[static_cast<size_t>(g.members[static_cast<size_t>(g.target)].entry)]
                        .code;
                m.target = [t] { return t; };
                engine::Transaction tr(*db);
                history::Combine(*db, *catalogue::CategoryAt(0), {m});
                tr.Commit();
            }
        }
        w->close();
        QVERIFY(dump(path) == dump(copy));
        releaseCatalogue();
        auto again = startWindow({path});
        ui::seam().answers = {ui::mb::Yes, ui::mb::Ok};
        again->findChild<QAction*>("actionUndoLastCombine")->trigger();
        again->close();
        QVERIFY(dump(path) == before);
    }

    // Entries like the current one; a category with only the blank row.
    void likeThisAndEmptyCategory() {
        QTemporaryDir dir;
        const QString path = writeCatalogue(dir, "B.M17", subjects, publishers, {}, items);
        auto w = startWindow({path});
        ListBox* l1 = list(*w, "List1");
        ListBox* l2 = list(*w, "List2");
        l2->SetListIndex(rowOf(l2, "Harper & Row"));
        w->findChild<QAction*>("actionMarkEntriesLikeThis")->trigger();
        QCOMPARE(selectedTexts(l1), (QStringList{"Harper & Row", "Harper and Row :"}));
        QCOMPARE(l2->List(l2->ListIndex()), QStringLiteral("Harper & Row"));
        chooseCategory(*w, 2);
        withFinder(*w, [](frmDuplicates& f) {
            QCOMPARE(f.findChild<QTreeWidget*>("ClusterTree")->topLevelItemCount(), 0);
            QVERIFY(!f.findChild<QPushButton*>("combineButton")->isEnabled());
        });
    }
};

QTEST_MAIN(DuplicatesTest)
#include "duplicates_test.moc"
