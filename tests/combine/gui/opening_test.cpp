// Opening a catalogue: the open dialog and its answers, refusals, the opened
// window and the release of the file, and catalogues whose tables end the
// program.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

using namespace testsupport;

namespace {

const std::vector<Entry> subjects = {{12, "Computer"}, {4, "Computers"}, {31, "Computing"},
                                     {8, "art"},       {9, ""},          {10, std::nullopt}};
const QString dialogTitle = QStringLiteral("Opening Mervane 1.7 Database");
const std::string readOnly =
    "\nThis file is set to read-only.\nTry again with a different file name.";
const std::string notFound = "\nFile not found.\nCheck the file name and try again.";

class Opening : public WindowTest {
protected:
    std::string catalogue(const std::string& name, const std::vector<std::string>& extra = {}) {
        return writeCatalogue(dir / name, subjects, {{1, "Penguin"}}, {{1, "Book"}},
                              {{12, 4, 1, 1}}, extra);
    }
    // A text of a row with "%1" standing for the folder.
    QString expand(const std::string& text) const { return qs(text).replace("%1", qs(dir.path())); }
};

struct RefusedRow {
    const char* name;
    const char* product;
    bool cancel, locked;
    const char* text; // "%1": the file
    QString title;
    ui::Icon icon;
    int beeps;
};

class Refused : public Opening, public ::testing::WithParamInterface<RefusedRow> {};

// A cancelled dialog, a refused version or a held file: one message, the
// window gone, nothing open, the file as it was.
TEST_P(Refused, OneMessageWindowGoneFileUntouched) {
    const RefusedRow& r = GetParam();
    const std::string path = dir / "Old.M15";
    samplegen::CreateCatalogue(path, std::string(r.product))->Close();
    const std::string before = readFile(path);
    QProcess holder;
    ASSERT_TRUE(!r.locked || holdExclusively(holder, path));

    auto w = startWindow({r.cancel ? std::nullopt : std::optional(path)});
    const auto& seam = ui::seam();
    ASSERT_EQ(seam.messages.size(), 1u);
    const ui::ShownMessage& m = seam.messages[0];
    EXPECT_EQ(m.text, QString::fromLatin1(r.text).replace("%1", qs(path)));
    EXPECT_EQ(m.title, r.title);
    EXPECT_EQ(m.icon, r.icon);
    EXPECT_EQ(m.buttons, ui::Buttons::Ok);
    EXPECT_EQ(seam.beeps, r.beeps);
    EXPECT_FALSE(seam.endCode);
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(!dbCatalogue && !rsFileInfo && !rsSubjects && w->MousePointer() == 0);
    holder.closeWriteChannel();
    holder.waitForFinished();
    EXPECT_EQ(readFile(path), before);
}

const QString opening = QStringLiteral("Error Opening File!");
INSTANTIATE_TEST_SUITE_P(Rows, Refused,
                         ::testing::Values(RefusedRow{"CancelledDialog", "Mervane 1.7", true, false,
                                                      "Error opening Database!", ui::AppTitle,
                                                      ui::Icon::None, 0},
                                           RefusedRow{"OtherVersion", "Mervane 1.5", false, false,
                                                      "Error occurred opening file: '%1'", opening,
                                                      ui::Icon::Critical, 1},
                                           RefusedRow{"HeldByAnotherProcess", "Mervane 1.7", false,
                                                      true, "Error occurred opening file: '%1'",
                                                      opening, ui::Icon::Critical, 1}),
                         byName);

TEST_F(Opening, OpenedListedAndReleasedOnDone) {
    // "[*]" is Qt's modified-marker in titles: the caption must still show it.
    const std::string path = catalogue("Books [*].M17");
    auto w = startWindow({path});
    const auto& seam = ui::seam();
    EXPECT_TRUE(seam.messages.empty());
    ASSERT_EQ(seam.dialogs.size(), 1u);
    EXPECT_EQ(seam.dialogs[0].initDir, QCoreApplication::applicationDirPath());
    ASSERT_TRUE(w->windowHandle());
    EXPECT_EQ(w->windowHandle()->title(), ui::AppTitle + " - [" + qs(path) + "]");
    ComboBox* c = combo(*w);
    EXPECT_EQ(c->ListCount(), 3);
    EXPECT_EQ(c->itemText(0) + "|" + c->itemText(1) + "|" + c->itemText(2),
              "Subjects|Publishers|Media Types");
    EXPECT_EQ(c->ListIndex(), 0);
    EXPECT_EQ(listsDiffer(*w, listedOrder(subjects)), "");
    EXPECT_TRUE(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
    EXPECT_EQ(QApplication::focusWidget(), c);

    // A later activation leaves everything as it is.
    engine::Database* opened = dbCatalogue.get();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    EXPECT_TRUE(seam.dialogs.size() == 1 && dbCatalogue.get() == opened);

    // Alt+D presses Done (after the button's short animation): all is closed
    // and another process can have the file to itself.
    QTest::keyClick(w->windowHandle(), Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }));
    EXPECT_TRUE(!dbCatalogue && !rsFileInfo && !rsSubjects && !rsTypes && !rsPublishers);
    QProcess holder;
    EXPECT_TRUE(holdExclusively(holder, path));
    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished());
}

struct NamesRow {
    const char* name;
    const char* argument;
    std::vector<const char*> typed; // "-" cancels
    std::string warning;            // of the dialog
    const char* opened;             // empty: nothing
};

class ChosenNames : public Opening, public ::testing::WithParamInterface<NamesRow> {};

// Typed names and a command-line path pass the dialog's checks; a refused
// name leaves the dialog open for the next answer.
TEST_P(ChosenNames, CheckedLikeTheDialog) {
    const NamesRow& r = GetParam();
    catalogue("Books.M17");
    std::filesystem::permissions(catalogue("ReadOnly.M17"), std::filesystem::perms::owner_read);
    std::filesystem::create_directory(dir / "sealed");
    catalogue("sealed/Inner.M17");
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    std::vector<std::optional<std::string>> answers;
    for (const char* t : r.typed)
        answers.push_back(*t == '-' ? std::nullopt : std::optional(expand(t).toStdString()));
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(qs(dir.path()));
    auto w = startWindow(answers, *r.argument ? std::optional(QString(r.argument)) : std::nullopt);
    QDir::setCurrent(cwd);
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_all);

    const auto& seam = ui::seam();
    EXPECT_EQ(seam.dialogs.size(), r.typed.empty() ? 0u : 1u);
    const size_t warnings = r.warning.empty() ? 0 : 1;
    ASSERT_EQ(seam.messages.size(), warnings + (*r.opened ? 0 : 1));
    if (warnings) {
        EXPECT_EQ(seam.messages[0].text, expand(r.warning));
        EXPECT_EQ(seam.messages[0].title, dialogTitle);
        EXPECT_EQ(seam.messages[0].icon, ui::Icon::Warning);
    }
    if (*r.opened) {
        EXPECT_TRUE(dbCatalogue);
        EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + expand(r.opened) + "]");
    } else {
        EXPECT_FALSE(dbCatalogue);
        EXPECT_EQ(seam.messages.back().text, "Error opening Database!");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChosenNames,
    ::testing::Values(
        NamesRow{"TypedWithoutExtension", "", {"%1/Books"}, "", "%1/Books.M17"},
        NamesRow{"ReadOnlyThenGood",
                 "",
                 {"%1/ReadOnly.M17", "%1/Books.M17"},
                 "%1/ReadOnly.M17" + readOnly,
                 "%1/Books.M17"},
        NamesRow{"InReadOnlyFolder",
                 "",
                 {"%1/sealed/Inner.M17", "-"},
                 "%1/sealed/Inner.M17" + readOnly,
                 ""},
        NamesRow{"MissingThenCancel", "", {"%1/None.M17", "-"}, "%1/None.M17" + notFound, ""},
        NamesRow{"ArgumentRelativeWithoutExtension", "Books", {}, "", "%1/Books.M17"},
        NamesRow{"ArgumentReadOnlyThenDialog",
                 "ReadOnly.M17",
                 {"%1/Books.M17"},
                 "%1/ReadOnly.M17" + readOnly,
                 "%1/Books.M17"}),
    byName);

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
        d->selectFile(locked);
        dialog->accept();
        stayedOpen = d->isVisible();
        d->selectFile(good);
        dialog->accept();
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
    EXPECT_EQ(seam.helps[0].context, 240);
    EXPECT_TRUE(!seam.helps[0].title.isEmpty() && !seam.helps[0].text.isEmpty());
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0].text, locked + qs(readOnly));
    EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + good + "]");
}

struct BrokenRow {
    const char* name;
    std::vector<std::string> extra;
    int category; // chosen after opening; -1: none
    long number;
    const char* text;
};

class Broken : public Opening, public ::testing::WithParamInterface<BrokenRow> {};

// A catalogue that passes the check but lacks a table, or a lookup table
// without its name or code field, ends the program with the error's number
// and a text naming what is missing.
TEST_P(Broken, EndsTheProgram) {
    const BrokenRow& r = GetParam();
    auto w = startWindow({catalogue("Broken.M17", r.extra)});
    if (r.category >= 0)
        chooseCategory(*w, r.category);
    const auto& seam = ui::seam();
    ASSERT_EQ(seam.messages.size(), 1u);
    const QString prefix =
        QStringLiteral("An error has ended the program.\n\nError %1: ").arg(r.number);
    EXPECT_TRUE(seam.messages[0].text.startsWith(prefix)) << seam.messages[0].text.toStdString();
    EXPECT_TRUE(seam.messages[0].text.contains(r.text)) << seam.messages[0].text.toStdString();
    EXPECT_EQ(seam.messages[0].icon, ui::Icon::Critical);
    EXPECT_EQ(seam.endCode, 1);
}

std::vector<std::string> publishersWith(const char* field) {
    return {"DROP TABLE [Publishers]",
            "CREATE TABLE [Publishers] ([Label] TEXT, [" + std::string(field) + "])",
            "INSERT INTO [Publishers] VALUES ('x', 1)",
            "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Label])"};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Broken,
    ::testing::Values(
        BrokenRow{"NoTypesTable", {"DROP TABLE [Types]"}, -1, engine::err::TableNotFound, "Types"},
        BrokenRow{"NoNameField", publishersWith("Publisher Code"), 1, engine::err::ItemNotFound,
                  "The table 'Publishers' has no field 'Publisher Name'."},
        BrokenRow{"NoCodeField", publishersWith("Publisher Name"), 1, engine::err::ItemNotFound,
                  "The table 'Publishers' has no field 'Publisher Code'."}),
    byName);

} // namespace
