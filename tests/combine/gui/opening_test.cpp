// Opening a catalogue and its lists: the open dialog, its answers and the
// refusals' messages; the list box against a plain vector, the lists as each
// choice of category fills them, rows beyond 16-bit positions, Done.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <filesystem>
#include <set>

using namespace testsupport;

namespace {

const QString dialogTitle = QStringLiteral("Opening Mervane 1.7 Database");
const std::string readOnly =
    "\nThis file is set to read-only.\nTry again with a different file name.";

class Opening : public WindowTest {
protected:
    std::string catalogue(const std::string& name, const std::vector<std::string>& extra = {}) {
        return writeHistorySample(dir / name, extra);
    }
};

// The messages shown, each as "title | icon | text".
QStringList shown() {
    const char* icons[] = {"none", "critical", "warning", "information"};
    QStringList out;
    for (const ui::ShownMessage& m : ui::seam().messages) {
        EXPECT_EQ(m.buttons, ui::Buttons::Ok) << m.text.toStdString();
        out << m.title + " | " + icons[static_cast<int>(m.icon)] + " | " + m.text;
    }
    return out;
}

// Typed names, a command-line path, a cancelled dialog, another version, a
// file held elsewhere, catalogues that lack what the window reads: warnings
// with the dialog left open, refusals, the error that ends the program.
TEST_F(Opening, AnswersCheckedAndRefusalsReported) {
    catalogue("Books.M17");
    std::filesystem::permissions(catalogue("ReadOnly.M17"), std::filesystem::perms::owner_read);
    std::filesystem::create_directory(dir / "sealed");
    catalogue("sealed/Inner.M17");
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    samplegen::CreateCatalogue(dir / "Old.M15", std::string("Mervane 1.5"))->Close();
    // Past the version check, but without a table or a lookup field.
    catalogue("NoTypes.M17", {"DROP TABLE [Types]"});
    for (std::string field : {"Name", "Code"})
        catalogue("No" + field + ".M17",
                  {"DROP TABLE [Publishers]",
                   "CREATE TABLE [Publishers] ([Label] TEXT, [Publisher " +
                       std::string(field == "Name" ? "Code" : "Name") + "])",
                   "INSERT INTO [Publishers] VALUES ('x', 1)",
                   "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Label])"});
    QProcess holder;
    holder.start(QStringLiteral(HELPER_EXE), {qs(catalogue("Held.M17"))});
    ASSERT_TRUE(holder.waitForReadyRead(10000) && holder.readAll().startsWith("ready"));
    auto files = [&] {
        std::map<std::string, std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
            if (e.is_regular_file())
                out[e.path()] = readFile(e.path());
        return out;
    };
    const auto before = files();
    const std::string f = dir.path() + "/";
    const std::string notFound = "\nFile not found.\nCheck the file name and try again.";
    const QString cancelled = ui::AppTitle + " | none | Error opening Database!";
    auto refused = [&](const std::string& name) {
        return "Error Opening File! | critical | Error occurred opening file: '" + qs(f + name) +
               "'";
    };
    auto warned = [&](const std::string& name, const std::string& why) {
        return dialogTitle + " | warning | " + qs(f + name + why);
    };
    auto ended = [](long number, const QString& text) {
        return ui::AppTitle + " | critical | An error has ended the program.\n\nError " +
               QString::number(number) + ": " + text;
    };
    // clang-format off
    const struct { // typed "-": cancels; category: chosen after opening
        const char* argument; std::vector<std::string> typed; QStringList messages;
        std::string opened; int category = -1;
    } rows[] = {
        {"", {"-"}, {cancelled}, ""},
        {"", {f + "Books"}, {}, "Books.M17"}, {"Books", {}, {}, "Books.M17"},
        {"", {f + "Old.M15"}, {refused("Old.M15")}, ""},
        {"", {f + "Held.M17"}, {refused("Held.M17")}, ""},
        {"", {f + "ReadOnly.M17", f + "Books.M17"}, {warned("ReadOnly.M17", readOnly)}, "Books.M17"},
        {"", {f + "sealed/Inner.M17", "-"}, {warned("sealed/Inner.M17", readOnly), cancelled}, ""},
        {"", {f + "None.M17", "-"}, {warned("None.M17", notFound), cancelled}, ""},
        {"ReadOnly.M17", {f + "Books.M17"}, {warned("ReadOnly.M17", readOnly)}, "Books.M17"},
        {"", {f + "NoTypes.M17"}, {ended(engine::err::TableNotFound,
            "The engine cannot find the input table or query 'Types'.")}, "NoTypes.M17"},
        {"", {f + "NoName.M17"}, {ended(engine::err::ItemNotFound,
            "The table 'Publishers' has no field 'Publisher Name'.")}, "NoName.M17", 1},
        {"", {f + "NoCode.M17"}, {ended(engine::err::ItemNotFound,
            "The table 'Publishers' has no field 'Publisher Code'.")}, "NoCode.M17", 1}};
    // clang-format on
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(qs(dir.path()));
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << r.argument << " " << (r.typed.empty() ? "" : r.typed[0]));
        resetSeam();
        std::vector<std::optional<std::string>> answers;
        for (const std::string& t : r.typed)
            answers.push_back(t == "-" ? std::nullopt : std::optional(t));
        auto w =
            startWindow(answers, *r.argument ? std::optional(QString(r.argument)) : std::nullopt);
        if (r.category >= 0)
            chooseCategory(*w, r.category);
        const auto& seam = ui::seam();
        EXPECT_EQ(seam.dialogs.size(), r.typed.empty() ? 0u : 1u);
        EXPECT_EQ(shown(), r.messages);
        EXPECT_EQ(seam.beeps, r.messages.join("").count("Error Opening File!"));
        EXPECT_EQ(seam.endCode.has_value(), r.messages.join("").contains("ended the program"));
        EXPECT_TRUE(!seam.endCode || seam.endCode == 1);
        if (!r.opened.empty()) {
            EXPECT_TRUE(dbCatalogue && w->isVisible());
            EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + qs(f + r.opened) + "]");
        } else {
            EXPECT_TRUE(!dbCatalogue && !rsFileInfo && !rsSubjects && !w->isVisible() &&
                        w->MousePointer() == 0);
        }
        w.reset();
        releaseCatalogue();
    }
    QDir::setCurrent(cwd);
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_all);
    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished());
    EXPECT_TRUE(files() == before) << "a file changed";
}

// Qt's dialog itself: its settings, the Help button and the refusal of a
// read-only file while the dialog stays open.
TEST_F(Opening, RealDialog) {
    const QString good = qs(catalogue("Books.M17")), locked = qs(catalogue("ReadOnly.M17"));
    QFile::setPermissions(locked, QFile::ReadOwner);
    ui::seam().realDialog = true;
    QString title, directory;
    QStringList filters;
    bool stayedOpen = false, driven = false;
    std::function<void()> drive = [&] {
        auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!d)
            return QTimer::singleShot(10, drive);
        title = d->windowTitle();
        directory = d->directory().absolutePath();
        filters = d->nameFilters();
        if (auto* box = d->findChild<QDialogButtonBox*>())
            if (QPushButton* help = box->button(QDialogButtonBox::Help))
                help->click();
        QDialog* dialog = d; // QFileDialog hides the public accept()
        // selectFile() leaves the name box alone while it has the focus, which
        // it gains whenever the dialog's activation happens to arrive first.
        auto choose = [&](const QString& path) {
            if (QWidget* focused = d->focusWidget())
                focused->clearFocus();
            d->selectFile(path);
            dialog->accept();
        };
        choose(locked);
        stayedOpen = d->isVisible();
        choose(good);
        if (d->isVisible())
            d->reject(); // fail below rather than wait for ever
        driven = true;
    };
    QTimer::singleShot(0, drive);
    // Offscreen, the window is not activated again when the dialog closes.
    auto w = startWindow({}, std::nullopt, [&] { return driven; });
    EXPECT_EQ(title, dialogTitle);
    EXPECT_EQ(directory, QDir(QCoreApplication::applicationDirPath()).absolutePath());
    ASSERT_EQ(filters.size(), 3);
    EXPECT_TRUE(filters[0].contains("(*.M17)") && filters[2].contains("(*.MRV)"));
    const auto& seam = ui::seam();
    ASSERT_EQ(seam.helps.size(), 1u);
    EXPECT_TRUE(seam.helps[0].context == 240 && seam.helps[0].title == "Choosing a catalogue" &&
                !seam.helps[0].text.isEmpty());
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(shown(), QStringList{dialogTitle + " | warning | " + locked + qs(readOnly)});
    EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + good + "]");
}

// Entries as the lists show them: non-empty names in name order (ASCII
// letters folded), ties in the order written.
std::vector<Entry> listedOrder(std::vector<Entry> entries) {
    auto fold = [](char c) -> unsigned char { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    std::erase_if(entries, [](const Entry& e) { return !e.name || e.name->empty(); });
    std::ranges::stable_sort(entries, [&](const Entry& a, const Entry& b) {
        return std::ranges::lexicographical_compare(*a.name, *b.name, {}, fold, fold);
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

// The opened window: its title, categories and subjects; a later activation
// changes nothing; every choice of a category refills both lists in name
// order, names shown as they are; Done (Alt+D) releases the file.
TEST_F(WindowTest, OpenedFilledAndReleasedOnDone) {
    // clang-format off
    const std::vector<Entry> subjects = {
        {1, "O'Brien'); DROP TABLE [Subjects];--"}, {2, "[Bracket] \"quoted\" ; semi"},
        {3, std::string(2000, 'w') + "\xe6\x97\xa5\xe6\x9c\xac"}, {4, "<b>not bold</b>"},
        {5, "Z\xc3\xbcrich"}, {6, "zebra"}, {7, "Zebra"}, {8, ""}, {9, std::nullopt},
        {10, " leading blank"}, {-2147483647 - 1, "lowest code"}, {2147483647, "highest code"}};
    // clang-format on
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
    EXPECT_TRUE(combo->ListCount() == 3 && combo->ListIndex() == 0);
    EXPECT_EQ(combo->itemText(0) + "|" + combo->itemText(1) + "|" + combo->itemText(2),
              "Subjects|Publishers|Media Types");
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
        const auto rows = Sql(path).rows("SELECT [Subject Code] FROM [Subjects]");
        return std::set<std::string>(rows.begin(), rows.end());
    };
    const auto before = codes();
    auto w = startWindow({path});
    ListBox *l1 = list(*w, "List1"), *l2 = list(*w, "List2");
    const int last = l1->ListCount() - 1;
    ASSERT_GT(last, 32768);
    const std::string merged[] = {std::to_string(l1->ItemData(33000)),
                                  std::to_string(l1->ItemData(last))};
    l1->SetSelected(33000, true);
    l1->SetSelected(last, true);
    l2->SetListIndex(40);
    const std::string target = std::to_string(l2->ItemData(40));
    press(*w, "Command2", {ui::mb::Yes});
    EXPECT_TRUE(l1->ListCount() == last - 1 && l2->ListCount() == last - 1);
    EXPECT_EQ(std::to_string(l2->ItemData(l2->ListIndex())), target);
    w->close();
    const auto after = codes();
    EXPECT_EQ(after.size(), before.size() - 2);
    EXPECT_TRUE(!after.count(merged[0]) && !after.count(merged[1]) && after.count(target));
}

} // namespace
