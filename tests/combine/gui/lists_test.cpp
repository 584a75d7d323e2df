// The list box against a plain vector, and the lists as a choice of category
// fills them.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QApplication>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

using namespace testsupport;

namespace {

// Names that try to break out of a statement or a display, and both ends of
// the code range.
const std::vector<Entry> oddSubjects = {{1, "O'Brien'); DROP TABLE [Subjects];--"},
                                        {2, "[Bracket] \"quoted\" ; semi"},
                                        {3, std::string(2000, 'w') + "\xe6\x97\xa5\xe6\x9c\xac"},
                                        {4, "<b>not bold</b>"},
                                        {5, "Z\xc3\xbcrich"},
                                        {6, "zebra"},
                                        {7, "Zebra"},
                                        {8, ""},
                                        {9, std::nullopt},
                                        {10, " leading blank"},
                                        {-2147483647 - 1, "lowest code"},
                                        {2147483647, "highest code"}};

} // namespace

class ListsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { resetSeam(); }
    void cleanup() { releaseCatalogue(); }

    // Removals inside a batch are applied in one pass at its end; reads in
    // between, and the rows, marks and current row afterwards, must be as if
    // each had been applied at once.
    void batchedRemoval() {
        ListBox box;
        box.setSelectionMode(QAbstractItemView::ExtendedSelection);
        QRandomGenerator rng(7);
        std::vector<std::pair<QString, bool>> oracle;
        for (int i = 0; i < 600; ++i) {
            box.AddItem(QString::number(i));
            oracle.emplace_back(QString::number(i), rng.bounded(3) == 0);
            box.SetSelected(i, oracle.back().second);
        }
        int current = 301;
        box.SetListIndex(current);
        oracle[current].second = true;
        auto same = [&] {
            for (int i = 0; i < box.ListCount(); ++i)
                if (box.List(i) != oracle[i].first || box.Selected(i) != oracle[i].second)
                    return false;
            return box.ListCount() == int(oracle.size());
        };
        {
            ListBox::Batch batch(box);
            for (int k = 0; k < 150; ++k) {
                const int r = int(rng.bounded(box.ListCount()));
                if (r == current)
                    continue; // a combine never removes the current row
                box.RemoveItem(r);
                oracle.erase(oracle.begin() + r);
                current -= r < current ? 1 : 0;
                if (k % 50 == 0)
                    QVERIFY(same());
            }
        }
        QVERIFY(same());
        QCOMPARE(box.model()->rowCount(), int(oracle.size()));
        QCOMPARE(box.model()->data(box.model()->index(current)).toString(), oracle[current].first);
        QCOMPARE(box.ListIndex(), current);
    }

    // Every choice of a category, also of the one shown, refills both lists
    // in name order; names of any content are shown as they are.
    void fill_data() {
        QTest::addColumn<int>("category");
        QTest::newRow("Subjects") << 0;
        QTest::newRow("Publishers") << 1;
        QTest::newRow("Media Types") << 2;
    }
    void fill() {
        QFETCH(int, category);
        QTemporaryDir dir;
        const std::vector<Entry> publishers = {
            {3, "Penguin"}, {1, "penguin"}, {2, "Penguin"}, {4, ""}};
        // The media types table has its code field after the name field.
        const std::vector<Entry> types = {{2, "Video"}, {1, "Book"}, {3, "Audio"}};
        const QString path = writeCatalogue(
            dir, "Odd.M17", oddSubjects, publishers, {}, {},
            {"DROP TABLE [Types]",
             "CREATE TABLE [Types] ([Extra] TEXT, [Type Name] TEXT, [Type Code] INTEGER NOT NULL)",
             "CREATE INDEX [Type Name Index] ON [Types] ([Type Name] COLLATE NOCASE)",
             "INSERT INTO [Types] VALUES ('x', 'Video', 2), ('y', 'Book', 1), ('z', 'Audio', 3)"});
        const std::vector<Entry>* expected[] = {&oddSubjects, &publishers, &types};

        auto w = startWindow({path});
        for (int pass = 0; pass < 2; ++pass) {
            // Marks and a target from before are gone after the refill.
            list(*w, "List1")->SetSelected(1, true);
            list(*w, "List2")->SetListIndex(1);
            chooseCategory(*w, category);
            QCOMPARE(listsDiffer(*w, listedOrder(*expected[category])), QString());
            QCOMPARE(w->MousePointer(), std::int16_t(0));
        }
        QVERIFY(ui::seam().messages.empty());
    }

    // A lookup table without its name or code field ends the program with
    // a report naming the table and the field.
    void missingField_data() {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QString>("present");
        QTest::newRow("no name field") << "Publisher Name"
                                       << "Publisher Code";
        QTest::newRow("no code field") << "Publisher Code"
                                       << "Publisher Name";
    }
    void missingField() {
        QFETCH(QString, missing);
        QFETCH(QString, present);
        QTemporaryDir dir;
        const QString path = writeCatalogue(
            dir, "Bad.M17", oddSubjects, {}, {}, {},
            {"DROP TABLE [Publishers]",
             "CREATE TABLE [Publishers] ([Label] TEXT, [" + present.toStdString() + "])",
             "INSERT INTO [Publishers] VALUES ('x', 1)",
             "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Label])"});
        auto w = startWindow({path});
        chooseCategory(*w, 1);
        const auto& seam = ui::seam();
        QCOMPARE(seam.messages.size(), size_t(1));
        QVERIFY2(seam.messages[0].text.contains("'Publishers'") &&
                     seam.messages[0].text.contains("'" + missing + "'"),
                 qPrintable(seam.messages[0].text));
        QCOMPARE(seam.endCode, std::optional(1));
    }

    // More rows than a 16-bit position reaches are listed and combined.
    void beyondSixteenBits() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Large.M17");
        samplegen::Options opts;
        opts.items = 200;
        opts.subjects = 40000;
        samplegen::WriteSampleCatalogue(path.toStdString(), opts);
        const Lookup before = readLookup(path, "Subject");

        auto w = startWindow({path});
        ListBox* l1 = list(*w, "List1");
        ListBox* l2 = list(*w, "List2");
        const int last = l1->ListCount() - 1;
        QVERIFY(last > 32768);
        const int merged[] = {l1->ItemData(33000), l1->ItemData(last)};
        l1->SetSelected(33000, true);
        l1->SetSelected(last, true);
        l2->SetListIndex(40);
        const int target = l2->ItemData(40);
        ui::seam().answers.push_back(ui::mb::Yes);
        w->findChild<QPushButton*>("Command2")->click();
        QVERIFY(l1->ListCount() == last - 1 && l2->ListCount() == last - 1);
        QCOMPARE(l2->ItemData(l2->ListIndex()), target);
        w->close();
        const Lookup after = readLookup(path, "Subject");
        QCOMPARE(after.size(), before.size() - 2);
        QVERIFY(!after.count(merged[0]) && !after.count(merged[1]) && after.count(target));
    }
};

QTEST_MAIN(ListsTest)
#include "lists_test.moc"
