// The lists: the list box against a plain vector, the opened window's lists
// as each choice of category fills them, rows beyond 16-bit positions, and
// the file released on Done.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QWindow>

#include <algorithm>

#include <set>

using namespace testsupport;

namespace {

// Entries as the lists show them: non-empty names in name order (ASCII
// letters folded), ties in the order written.
std::vector<Entry> listedOrder(std::vector<Entry> entries) {
    auto folded = [](std::string s) {
        for (char& c : s)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return s;
    };
    std::erase_if(entries, [](const Entry& e) { return !e.name || e.name->empty(); });
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        return folded(*a.name) < folded(*b.name);
    });
    return entries;
}

// The state every fill leaves: both lists alike, the blank row, then exactly
// the expected entries, nothing selected, both enabled. Empty when it holds.
QString listsDiffer(QWidget& w, const std::vector<Entry>& expected) {
    ListBox* lists[] = {list(w, "List1"), list(w, "List2")};
    const int rows = static_cast<int>(expected.size()) + 1;
    if (lists[1]->ListIndex() != -1)
        return QStringLiteral("List2 has a current row");
    for (ListBox* l : lists) {
        if (l->ListCount() != rows || l->model()->rowCount() != rows || !l->Enabled())
            return l->objectName() + " rows: " + QString::number(l->ListCount());
        for (int i = 0; i < rows; ++i) {
            const QString text = i ? qs(*expected[i - 1].name) : QString();
            const int code = i ? expected[i - 1].code : -1;
            if (l->List(i) != text || l->ItemData(i) != code || l->Selected(i))
                return l->objectName() + " row " + QString::number(i) + ": " + l->List(i);
        }
    }
    return {};
}

// Removals inside a batch are applied in one pass at its end; reads in
// between, and the rows, marks and current row afterwards, must be as if
// each had been applied at once.
TEST_F(WindowTest, BatchedRemovalAsIfOneByOne) {
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
            if (k % 50 == 0) {
                EXPECT_TRUE(same()) << k;
            }
        }
    }
    EXPECT_TRUE(same());
    EXPECT_EQ(box.model()->rowCount(), int(oracle.size()));
    EXPECT_EQ(box.model()->data(box.model()->index(current)).toString(), oracle[current].first);
    EXPECT_EQ(box.ListIndex(), current);
}

// The opened window: its title, its categories and the subjects listed; a
// later activation changes nothing; every choice of a category, also of the
// one shown, refills both lists in name order, names of any content shown as
// they are; Done (Alt+D) closes everything and releases the file.
TEST_F(WindowTest, OpenedFilledAndReleasedOnDone) {
    // Names that try to break out of a statement or a display, and both
    // ends of the code range.
    const std::vector<Entry> subjects = {{1, "O'Brien'); DROP TABLE [Subjects];--"},
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
    const std::vector<Entry> publishers = {{3, "Penguin"}, {1, "penguin"}, {2, "Penguin"}, {4, ""}};
    const std::vector<Entry> types = {{2, "Video"}, {1, "Book"}, {3, "Audio"}};
    // "[*]" is Qt's modified-marker in titles: the caption must still show it.
    // The media types table has its code field after the name field.
    const std::string path = writeCatalogue(
        dir / "Odd [*].M17", subjects, publishers, {}, {},
        {"DROP TABLE [Types]",
         "CREATE TABLE [Types] ([Extra] TEXT, [Type Name] TEXT, [Type Code] INTEGER NOT NULL)",
         "CREATE INDEX [Type Name Index] ON [Types] ([Type Name] COLLATE NOCASE)",
         "INSERT INTO [Types] VALUES ('x', 'Video', 2), ('y', 'Book', 1), ('z', 'Audio', 3)"});
    const std::vector<Entry>* expected[] = {&subjects, &publishers, &types};
    auto w = startWindow({path});
    const auto& seam = ui::seam();
    ASSERT_EQ(seam.dialogs.size(), 1u);
    EXPECT_EQ(seam.dialogs[0].initDir, QCoreApplication::applicationDirPath());
    ASSERT_TRUE(w->windowHandle());
    EXPECT_EQ(w->windowHandle()->title(), ui::AppTitle + " - [" + qs(path) + "]");
    auto* combo = w->findChild<ComboBox*>("Combo3");
    EXPECT_EQ(combo->ListCount(), 3);
    EXPECT_EQ(combo->itemText(0) + "|" + combo->itemText(1) + "|" + combo->itemText(2),
              "Subjects|Publishers|Media Types");
    EXPECT_EQ(combo->ListIndex(), 0);
    EXPECT_EQ(listsDiffer(*w, listedOrder(subjects)), "");
    EXPECT_TRUE(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
    EXPECT_EQ(QApplication::focusWidget(), combo);

    engine::Database* opened = dbCatalogue.get();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    EXPECT_TRUE(seam.dialogs.size() == 1 && dbCatalogue.get() == opened);

    for (int category : {0, 1, 1, 2, 2, 0}) {
        // Marks and a target from before are gone after the refill.
        list(*w, "List1")->SetSelected(1, true);
        list(*w, "List2")->SetListIndex(1);
        chooseCategory(*w, category);
        EXPECT_EQ(listsDiffer(*w, listedOrder(*expected[category])), "") << category;
        EXPECT_EQ(w->MousePointer(), 0);
    }
    EXPECT_TRUE(seam.messages.empty());

    // Done answers after the button's short animation.
    QTest::keyClick(w->windowHandle(), Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }));
    EXPECT_TRUE(!dbCatalogue && !rsFileInfo && !rsSubjects && !rsTypes && !rsPublishers);
    QProcess holder;
    holder.start(QStringLiteral(HELPER_EXE), {qs(path)});
    EXPECT_TRUE(holder.waitForReadyRead(10000) && holder.readAll().startsWith("ready"));
    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished());
}

// More rows than a 16-bit position reaches are listed and combined.
TEST_F(WindowTest, BeyondSixteenBits) {
    const std::string path = dir / "Large.M17";
    samplegen::WriteSampleCatalogue(path, {.items = 200, .subjects = 40000, .truthPath = {}});
    auto codes = [&] {
        std::set<int> out;
        const Dump tables = dump(path, false);
        for (const std::string& row : tables.at("Subjects"))
            out.insert(std::stoi(row.substr(row.find(':') + 1)));
        return out;
    };
    const std::set<int> before = codes();
    auto w = startWindow({path});
    ListBox* l1 = list(*w, "List1");
    ListBox* l2 = list(*w, "List2");
    const int last = l1->ListCount() - 1;
    ASSERT_GT(last, 32768);
    const int merged[] = {l1->ItemData(33000), l1->ItemData(last)};
    l1->SetSelected(33000, true);
    l1->SetSelected(last, true);
    l2->SetListIndex(40);
    const int target = l2->ItemData(40);
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_TRUE(l1->ListCount() == last - 1 && l2->ListCount() == last - 1);
    EXPECT_EQ(l2->ItemData(l2->ListIndex()), target);
    w->close();
    const std::set<int> after = codes();
    EXPECT_EQ(after.size(), before.size() - 2);
    EXPECT_TRUE(!after.count(merged[0]) && !after.count(merged[1]) && after.count(target));
}

} // namespace
