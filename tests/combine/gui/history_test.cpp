// The combine history: combines recorded with everything they changed, undone
// back to the catalogue as it was, across reopening and repair, and refused
// cleanly where the history cannot be trusted.
#include "window.h"

#include "combine1.h"
#include "frmhistory.h"
#include "history.h"
#include "listtools.h"
#include "query.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

using namespace testsupport;
using history::StepInfo;

namespace {

const std::vector<Entry> subjects = {
    {12, "Computer"}, {4, "Computers"}, {31, "Computing"}, {7, "Chemistry"}, {-1, "Minus one"}};
const std::vector<Entry> publishers = {{1, "Penguin"}, {2, "Penguin Books"}, {3, "Methuen"}};
const std::vector<Entry> types = {{1, "Book"}, {2, "Books"}, {3, "CD"}};
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

QString newCatalogue(const QTemporaryDir& dir, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> all = extraFields;
    all.insert(all.end(), extra.begin(), extra.end());
    return writeCatalogue(dir, "Books.M17", subjects, publishers, types, items, all);
}

std::unique_ptr<engine::Database> open(const QString& path) {
    return engine::DatabaseEngine().OpenDatabase(path.toStdString());
}

// Every row of every table, field for field with its storage class, in
// content order; the history tables only when asked for.
std::map<std::string, std::vector<std::string>> dump(engine::Database& db, bool withHistory) {
    std::map<std::string, std::vector<std::string>> out;
    for (const std::string& t : db.TableNames()) {
        if (!withHistory && t.starts_with("combine_history"))
            continue;
        std::string cols;
        engine::Query c(db, "SELECT name FROM pragma_table_info(?1)");
        c.Bind(1, t);
        while (c.Step())
            cols += (cols.empty() ? "" : " || '|' || ") +
                    ("typeof(\"" + c.Text(0) + "\") || ':' || quote(\"" + c.Text(0) + "\")");
        engine::Query q(db, "SELECT " + cols + " FROM \"" + t + "\" ORDER BY 1");
        while (q.Step())
            out[t].push_back(q.Text(0));
    }
    return out;
}

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
    const std::optional<StepInfo> step = history::LastUndoable(db);
    if (!step)
        throw std::runtime_error("nothing to undo");
    engine::Transaction t(db);
    auto out = history::Undo(db, *step);
    t.Commit();
    return out;
}

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int runRepair(const QString& path, bool v4) {
    QProcess p;
    QStringList args{path};
    if (v4)
        args << "-v4";
    p.start(REPAIR_EXE, args);
    p.waitForFinished(60000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class HistoryTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { resetSeam(); }
    void cleanup() {
        ListTools::onDialog = nullptr;
        releaseCatalogue();
    }

    // Combine then undo gives back every row of every table, field for field.
    void undoRestores_data() {
        QTest::addColumn<int>("category");
        QTest::addColumn<std::vector<int>>("codes");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("changed");
        QTest::newRow("subjects, several") << 0 << std::vector<int>{12, 31} << 4 << 8;
        QTest::newRow("subjects, blank row merged") << 0 << std::vector<int>{-1, 7} << 4 << 5;
        QTest::newRow("subjects, blank row target") << 0 << std::vector<int>{12} << -1 << 5;
        QTest::newRow("subjects, code -1 entry and repeats")
            << 0 << std::vector<int>{31, 31} << -1 << 3;
        QTest::newRow("publishers, one") << 1 << std::vector<int>{2} << 1 << 2;
        QTest::newRow("media types, several") << 2 << std::vector<int>{2, 3} << 1 << 4;
    }
    void undoRestores() {
        QFETCH(int, category);
        QFETCH(std::vector<int>, codes);
        QFETCH(int, target);
        QFETCH(int, changed);
        QTemporaryDir dir;
        auto db = open(newCatalogue(dir));
        const auto before = dump(*db, false);
        const auto outcome = combine(*db, category, codes, target);
        QVERIFY(outcome.recorded);
        QCOMPARE(outcome.changed.at(0), changed);
        QVERIFY(dump(*db, false) != before);
        const auto undone = undoLast(*db);
        QCOMPARE(undone.referencesBack, changed);
        QCOMPARE(undone.leftAlone, 0);
        QVERIFY(dump(*db, false) == before);
        // The undo is recorded and the combine marked.
        const auto steps = history::ReadHistory(*db);
        QCOMPARE(steps.size(), size_t(2));
        QCOMPARE(steps[0].kind, std::string("undo"));
        QCOMPARE(*steps[0].undoes, steps[1].step);
        QVERIFY(steps[1].undoneAt.has_value());
        QVERIFY(!history::LastUndoable(*db));
    }

    // Combines undone newest first; a reference changed since is left alone.
    void severalInReverseAndChangedSince() {
        QTemporaryDir dir;
        auto db = open(newCatalogue(dir));
        const auto before = dump(*db, false);
        combine(*db, 0, {12}, 4);
        const auto middle = dump(*db, false);
        combine(*db, 0, {4}, 31);
        combine(*db, 1, {1, 2}, 3);
        undoLast(*db);
        undoLast(*db);
        QVERIFY(dump(*db, false) == middle);
        // Another program moves one item away from the target.
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 7 WHERE [Item Number] = 6");
        const auto last = undoLast(*db);
        QCOMPARE(last.leftAlone, 1);
        QCOMPARE(last.referencesBack, 4);
        auto expected = before;
        db->Execute("UPDATE [MERVANE RECORDS] SET [Subject 2] = 12 WHERE [Item Number] = 6");
        QVERIFY(dump(*db, false) == expected);
    }

    // The history survives closing and repair in both formats, and the
    // undo afterwards still gives back the catalogue as it was.
    void undoAfterRepair_data() {
        QTest::addColumn<bool>("v4");
        QTest::newRow("format 4") << true;
        QTest::newRow("format 1") << false;
    }
    void undoAfterRepair() {
        QFETCH(bool, v4);
        QTemporaryDir dir;
        const QString path = newCatalogue(dir);
        std::map<std::string, std::vector<std::string>> before, recorded;
        {
            auto db = open(path);
            before = dump(*db, false);
            combine(*db, 0, {12, 31}, 4);
            combine(*db, 2, {3}, -1, "");
            recorded = dump(*db, true);
        }
        QCOMPARE(runRepair(path, v4), 0);
        QVERIFY(CheckCatalogueVersion(path.toStdString()));
        auto db = open(path);
        QVERIFY(dump(*db, true) == recorded);
        undoLast(*db);
        undoLast(*db);
        QVERIFY(dump(*db, false) == before);
    }

    // A failure in the middle of an undo leaves everything as it was.
    void failedUndoRollsBack() {
        QTemporaryDir dir;
        auto db = open(newCatalogue(dir));
        combine(*db, 0, {12, 31}, 4);
        db->Execute("CREATE TRIGGER refuse BEFORE INSERT ON [Subjects] "
                    "WHEN NEW.[Subject Code] = 31 BEGIN SELECT RAISE(ABORT, 'refused'); END");
        const auto before = dump(*db, true);
        QVERIFY_THROWS_EXCEPTION(engine::Error, undoLast(*db));
        QVERIFY(dump(*db, true) == before);
        QVERIFY(history::LastUndoable(*db).has_value());
    }

    // Histories that cannot be trusted are refused with HistoryDamaged, and
    // the combine goes on working where the tables are not ours.
    void damagedHistory_data() {
        QTest::addColumn<std::string>("damage");
        QTest::addColumn<bool>("combineRecords");
        QTest::newRow("wrong shape") << std::string("DROP TABLE combine_history_refs; "
                                                    "CREATE TABLE combine_history_refs (x)")
                                     << false;
        QTest::newRow("table missing")
            << std::string("DROP TABLE combine_history_entries") << false;
        QTest::newRow("keys cut short")
            << std::string("UPDATE combine_history_refs SET items = substr(items, 1, 1)") << true;
        QTest::newRow("count wrong")
            << std::string("UPDATE combine_history_refs SET count = count + 1") << true;
        QTest::newRow("unknown category")
            << std::string("UPDATE combine_history SET category = 'Colour'") << true;
    }
    void damagedHistory() {
        QFETCH(std::string, damage);
        QFETCH(bool, combineRecords);
        QTemporaryDir dir;
        auto db = open(newCatalogue(dir));
        combine(*db, 0, {12, 31}, 4);
        for (size_t from = 0; from < damage.size();) {
            const size_t end = damage.find("; ", from);
            db->Execute(damage.substr(from, end - from));
            from = end == std::string::npos ? damage.size() : end + 2;
        }
        const auto before = dump(*db, true);
        try {
            undoLast(*db);
            QFAIL("the undo of a damaged history went through");
        } catch (const engine::Error& e) {
            QCOMPARE(e.Number(), engine::err::HistoryDamaged);
        }
        QVERIFY(dump(*db, true) == before);
        QCOMPARE(combine(*db, 1, {1}, 3).recorded, combineRecords);
    }

    // Without an INTEGER PRIMARY KEY nothing is recorded and no table is made.
    void noItemKey() {
        QTemporaryDir dir;
        auto db = open(newCatalogue(dir, {"CREATE TABLE copy AS SELECT * FROM [MERVANE RECORDS]",
                                          "DROP TABLE [MERVANE RECORDS]",
                                          "ALTER TABLE copy RENAME TO [MERVANE RECORDS]"}));
        QCOMPARE(history::Inspect(*db).state, history::State::NoItemKey);
        const auto outcome = combine(*db, 0, {12, 31}, 4);
        QVERIFY(!outcome.recorded);
        QCOMPARE(outcome.changed.at(0), 8);
        for (const std::string& t : db->TableNames())
            QVERIFY(!t.starts_with("combine_history"));
        db->Close();
        // The window's menu entries are disabled and say why.
        auto w = startWindow({dir.filePath("Books.M17")});
        w->findChild<ListTools*>()->updateActions();
        for (const char* name : {"actionUndoLastCombine", "actionHistory"}) {
            auto* a = w->findChild<QAction*>(name);
            QVERIFY(!a->isEnabled());
            QVERIFY(a->toolTip().contains("no INTEGER PRIMARY KEY"));
        }
    }

    void keyEncoding_data() {
        QTest::addColumn<std::vector<long long>>("keys");
        QTest::newRow("empty") << std::vector<long long>{};
        QTest::newRow("small") << std::vector<long long>{1, 2, 3, 200, 201};
        QTest::newRow("negative and wide")
            << std::vector<long long>{-9223372036854775807LL - 1, -5, 0, 9223372036854775807LL};
    }
    void keyEncoding() {
        QFETCH(std::vector<long long>, keys);
        const auto bytes = history::EncodeKeys(keys);
        QCOMPARE(history::DecodeKeys(bytes, static_cast<long long>(keys.size())), keys);
        if (!bytes.empty())
            QVERIFY_THROWS_EXCEPTION(engine::Error,
                                     history::DecodeKeys({bytes.begin(), bytes.end() - 1},
                                                         static_cast<long long>(keys.size())));
    }

    // The window: the combine button records, the menu's undo asks first and
    // refills the lists, the history dialog lists both steps; looking and
    // answering No leave the file as it was.
    void windowUndoAndHistory() {
        QTemporaryDir dir;
        const QString path = newCatalogue(dir);
        const QByteArray original = bytesOf(path);
        auto w = startWindow({path});
        auto* undo = w->findChild<QAction*>("actionUndoLastCombine");
        QVERIFY(undo);
        QCOMPARE(undo->text(), QStringLiteral("&Undo Last Combine"));
        QCOMPARE(undo->shortcut(), QKeySequence(QStringLiteral("Ctrl+Z")));
        ListBox* l1 = list(*w, "List1");
        ListBox* l2 = list(*w, "List2");
        undo->trigger();
        QCOMPARE(ui::seam().messages.back().text,
                 QStringLiteral("There is no combine to undo in this catalogue."));
        l1->SetSelected(rowOf(l1, "Computer"), true);
        l1->SetSelected(rowOf(l1, "Computing"), true);
        l2->SetListIndex(rowOf(l2, "Computers"));
        ui::seam().answers = {ui::mb::No};
        w->findChild<QPushButton*>("Command2")->click();
        QCOMPARE(bytesOf(path), original);
        ui::seam().answers = {ui::mb::Yes};
        w->findChild<QPushButton*>("Command2")->click();
        QCOMPARE(rowOf(l1, "Computer"), -1);

        ui::seam().answers = {ui::mb::No};
        undo->trigger();
        const ui::ShownMessage& ask = ui::seam().messages.back();
        QVERIFY(ask.text.contains("in Subjects"));
        QVERIFY(ask.text.contains("'Computer, Computing' into 'Computers'"));
        QVERIFY(ask.text.contains("5 items will get their old entries back"));
        QCOMPARE(ask.defaultButton, ui::mb::No);
        QCOMPARE(rowOf(l1, "Computer"), -1);

        ui::seam().answers = {ui::mb::Yes, ui::mb::Ok};
        undo->trigger();
        QVERIFY(ui::seam().messages.back().text.startsWith("The combine was undone: 5 items"));
        QVERIFY(rowOf(l1, "Computer") > 0 && rowOf(l2, "Computing") > 0);

        int rows = -1;
        ListTools::onDialog = [&](QDialog& d) {
            QCOMPARE(d.objectName(), QStringLiteral("frmHistory"));
            auto* tree = d.findChild<QTreeWidget*>("historyTree");
            rows = tree->topLevelItemCount();
            QVERIFY(tree->topLevelItem(1)->text(2).contains("into 'Computers'"));
            QVERIFY(!d.findChild<QPushButton*>("undoButton")->isEnabled());
            ui::seam().answers = {ui::mb::Yes};
            d.findChild<QPushButton*>("forgetButton")->click();
            rows = rows * 10 + tree->topLevelItemCount();
        };
        w->findChild<QAction*>("actionHistory")->trigger();
        QCOMPARE(rows, 20);
        w->close();
        auto db = open(path);
        QVERIFY(history::ReadHistory(*db).empty());
    }
};

QTEST_MAIN(HistoryTest)
#include "history_test.moc"
