// The combine operation: prompts, the statements' effect on the catalogue,
// the lists afterwards, and the cases that change nothing.
#include "window.h"

#include "combine1.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <set>

using namespace testsupport;

namespace {

const std::string obrien = "O'Brien'); DROP TABLE [Subjects];--";
const std::string bracket = "[Bracket] \"quoted\" ; semi";
const std::string longName = [] {
    std::string s;
    for (int i = 0; i < 120; ++i)
        s += "\xc5\x9ctudoj ";
    return s + "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";
}();

const std::vector<Entry> subjects = {{12, "Computer"}, {4, "Computers"}, {31, "Computing"},
                                     {7, obrien},      {5, bracket},     {9, longName}};
const std::vector<Entry> publishers = {{1, "Penguin"}, {2, "Penguin Books"}, {3, "Penguin  Books"}};
const std::vector<Entry> types = {{1, "Book"}, {2, "Books"}, {3, "CD"}};
const std::vector<Item> items = {{12, 31, 1, 1}, {31, 12, 3, 2}, {4, -1, 2, 3},    {-1, 12, -1, 2},
                                 {7, 5, 1, 1},   {5, 9, 3, 3},   {-1, -1, -1, -1}, {12, 12, 2, 2}};

struct Row {
    QString text;
    int data;
    bool selected;
    bool operator==(const Row&) const = default;
};
using Snapshot = std::vector<std::vector<Row>>;

Snapshot snapshot(QWidget& w) {
    Snapshot s(2);
    for (int k = 0; ListBox * l : {list(w, "List1"), list(w, "List2")}) {
        for (int i = 0; i < l->ListCount(); ++i)
            s[k].push_back({l->List(i), l->ItemData(i), l->Selected(i)});
        ++k;
    }
    return s;
}

Lookup lookupOf(const std::vector<Entry>& entries, const std::set<int>& without = {}) {
    Lookup l;
    for (const Entry& e : entries)
        if (!without.count(e.code))
            l[e.code] = e.name;
    return l;
}

// Opens the category, marks the rows showing the given texts in List1 and
// chooses the target in List2 ("-": none).
std::unique_ptr<frmCombine> prepare(const QString& path, int category, const QStringList& marked,
                                    const QString& target) {
    auto w = startWindow({path});
    chooseCategory(*w, category);
    for (const QString& text : marked)
        list(*w, "List1")->SetSelected(rowOf(list(*w, "List1"), text), true);
    if (target != "-")
        list(*w, "List2")->SetListIndex(rowOf(list(*w, "List2"), target));
    return w;
}

void pressCombine(QWidget& w) {
    w.findChild<QPushButton*>("Command2")->click();
}

} // namespace

class CombineTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { resetSeam(); }
    void cleanup() { releaseCatalogue(); }

    void combine_data() {
        QTest::addColumn<int>("category");
        QTest::addColumn<QStringList>("marked");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("prompt");
        const QString del = QStringLiteral("Are you sure you want to delete the selected items?");
        auto into = [](const QString& names, const QString& target) {
            return "Are you sure you want to combine '" + names + "' into '" + target + "'?";
        };
        const QString q1 = QString::fromStdString(obrien), q2 = QString::fromStdString(bracket),
                      q3 = QString::fromStdString(longName);
        QTest::newRow("one subject")
            << 0 << QStringList{"Computer"} << "Computers" << into("Computer", "Computers");
        QTest::newRow("several subjects")
            << 0 << QStringList{"Computer", "Computing"} << "Computers"
            << into("Computer, Computing", "Computers");
        QTest::newRow("target also marked") << 0 << QStringList{"Computer", "Computers"}
                                            << "Computers" << into("Computer", "Computers");
        QTest::newRow("blank target") << 0 << QStringList{"Computer", "Computing"} << "" << del;
        QTest::newRow("blank row marked")
            << 0 << QStringList{"", "Computer"} << "Computers" << into(", Computer", "Computers");
        QTest::newRow("blank row alone")
            << 0 << QStringList{""} << "Computing" << into("", "Computing");
        QTest::newRow("odd names") << 0 << QStringList{q1, q2} << q3 << into(q2 + ", " + q1, q3);
        QTest::newRow("publishers")
            << 1 << QStringList{"Penguin", "Penguin  Books"} << "Penguin Books"
            << into("Penguin, Penguin  Books", "Penguin Books");
        QTest::newRow("types") << 2 << QStringList{"Books"} << "Book" << into("Books", "Book");
        QTest::newRow("types, blank target") << 2 << QStringList{"CD", "Book"} << "" << del;
    }
    void combine() {
        QFETCH(int, category);
        QFETCH(QStringList, marked);
        QFETCH(QString, target);
        QFETCH(QString, prompt);
        QTemporaryDir dir;
        const QString path = writeCatalogue(dir, "Books.M17", subjects, publishers, types, items);
        auto w = prepare(path, category, marked, target);
        ListBox* l2 = list(*w, "List2");
        const Snapshot before = snapshot(*w);
        const int targetCode = l2->ItemData(l2->ListIndex());
        std::set<int> merged;
        for (const QString& text : marked)
            if (const int code = before[0][rowOf(l2, text)].data; code != targetCode)
                merged.insert(code);

        ui::seam().answers.push_back(ui::mb::Yes);
        pressCombine(*w);
        const auto& seam = ui::seam();
        QCOMPARE(seam.messages.size(), size_t(1));
        const ui::ShownMessage& m = seam.messages[0];
        QCOMPARE(m.text, prompt);
        QVERIFY(m.buttons == ui::Buttons::YesNo && m.defaultButton == ui::mb::No &&
                m.icon == ui::Icon::None && m.title == ui::AppTitle);

        // Both lists lose exactly the merged rows; marks and target stay.
        Snapshot expected = before;
        for (auto& rows : expected)
            std::erase_if(rows, [&](const Row& r) { return merged.count(r.data) > 0; });
        QVERIFY(snapshot(*w) == expected);
        QVERIFY(l2->List(l2->ListIndex()) == target && l2->ItemData(l2->ListIndex()) == targetCode);
        QCOMPARE(w->MousePointer(), std::int16_t(0));
        QVERIFY(w->cursor().shape() != Qt::WaitCursor);
        pressCombine(*w);
        QCOMPARE(seam.messages.back().text, QStringLiteral("Nothing to Combine!"));
        QVERIFY(!seam.endCode);

        w->close();
        std::vector<Item> want = items;
        for (Item& it : want)
            for (int col : category == 0 ? std::vector{0, 1} : std::vector{category + 1})
                it[col] = merged.count(it[col]) ? targetCode : it[col];
        QVERIFY(readItems(path) == want);
        QVERIFY(readLookup(path, "Subject") ==
                lookupOf(subjects, category == 0 ? merged : std::set<int>()));
        QVERIFY(readLookup(path, "Publisher") ==
                lookupOf(publishers, category == 1 ? merged : std::set<int>()));
        QVERIFY(readLookup(path, "Type") ==
                lookupOf(types, category == 2 ? merged : std::set<int>()));
    }

    void nothingChanges_data() {
        QTest::addColumn<QStringList>("marked");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("trigger"); // makes a statement fail
        const QString nothing = QStringLiteral("Nothing to Combine!");
        QTest::newRow("nothing marked") << QStringList() << "-" << 0 << nothing << "";
        QTest::newRow("nothing marked, target chosen")
            << QStringList() << "Computers" << 0 << nothing << "";
        QTest::newRow("only the target marked")
            << QStringList{"Computers"} << "Computers" << 0 << nothing << "";
        QTest::newRow("no target chosen")
            << QStringList{"Computer"} << "-" << 0 << "Please choose the entry to combine into."
            << "";
        QTest::newRow("answer No") << QStringList{"Computer"} << "Computers" << int(ui::mb::No)
                                   << "Are you sure you want to combine 'Computer' into "
                                      "'Computers'?"
                                   << "";
        QTest::newRow("second update fails")
            << QStringList{"Computer", "Computing"} << "Computers" << int(ui::mb::Yes) << "refused"
            << "CREATE TRIGGER [stop] BEFORE UPDATE OF [Subject 2] ON [MERVANE RECORDS] "
               "BEGIN SELECT RAISE(ABORT, 'refused'); END";
        QTest::newRow("delete fails")
            << QStringList{"Computer"} << "Computers" << int(ui::mb::Yes) << "refused"
            << "CREATE TRIGGER [stop] BEFORE DELETE ON [Subjects] "
               "BEGIN SELECT RAISE(ABORT, 'refused'); END";
    }
    void nothingChanges() {
        QFETCH(QStringList, marked);
        QFETCH(QString, target);
        QFETCH(int, answer);
        QFETCH(QString, message);
        QFETCH(QString, trigger);
        QTemporaryDir dir;
        std::vector<std::string> extra;
        if (!trigger.isEmpty())
            extra.push_back(trigger.toStdString());
        const QString path =
            writeCatalogue(dir, "Books.M17", subjects, publishers, types, items, extra);
        auto w = prepare(path, 0, marked, target);
        const Snapshot before = snapshot(*w);
        const int current = list(*w, "List2")->ListIndex();
        if (answer)
            ui::seam().answers.push_back(answer);
        pressCombine(*w);

        const auto& seam = ui::seam();
        QVERIFY2(!seam.messages.empty() && seam.messages.back().text.contains(message),
                 qPrintable(seam.messages.empty() ? QString() : seam.messages.back().text));
        QCOMPARE(seam.endCode, trigger.isEmpty() ? std::nullopt : std::optional(1));
        QVERIFY(snapshot(*w) == before && list(*w, "List2")->ListIndex() == current);
        w->close();
        releaseCatalogue();
        QVERIFY(readItems(path) == items);
        QVERIFY(readLookup(path, "Subject") == lookupOf(subjects));
    }
};

QTEST_MAIN(CombineTest)
#include "combineop_test.moc"
