// Opening a catalogue: the open dialog and its answers, the refusals and
// their messages, and catalogues whose tables end the program.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

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

// Typed names, a command-line path, a cancelled dialog, another version and
// a file held elsewhere: the dialog's checks and warnings, a refused name
// leaving the dialog open for the next answer, the messages of a refusal and
// the window gone after it; no file changes.
TEST_F(Opening, AnswersCheckedAndRefusalsReported) {
    catalogue("Books.M17");
    std::filesystem::permissions(catalogue("ReadOnly.M17"), std::filesystem::perms::owner_read);
    std::filesystem::create_directory(dir / "sealed");
    catalogue("sealed/Inner.M17");
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    samplegen::CreateCatalogue(dir / "Old.M15", std::string("Mervane 1.5"))->Close();
    QProcess holder;
    holder.start(QStringLiteral(HELPER_EXE), {qs(catalogue("Held.M17"))});
    ASSERT_TRUE(holder.waitForReadyRead(10000) && holder.readAll().startsWith("ready"));
    std::map<std::string, std::string> files;
    for (const char* name :
         {"Books.M17", "ReadOnly.M17", "sealed/Inner.M17", "Old.M15", "Held.M17"})
        files[name] = readFile(dir / name);

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
    const struct {
        const char* argument;
        std::vector<std::string> typed; // "-" cancels
        QStringList messages;
        std::string opened;
    } rows[] = {
        // clang-format off
        {"", {"-"}, {cancelled}, ""},
        {"", {f + "Old.M15"}, {refused("Old.M15")}, ""},
        {"", {f + "Held.M17"}, {refused("Held.M17")}, ""},
        {"", {f + "Books"}, {}, "Books.M17"},
        {"", {f + "ReadOnly.M17", f + "Books.M17"}, {warned("ReadOnly.M17", readOnly)}, "Books.M17"},
        {"", {f + "sealed/Inner.M17", "-"}, {warned("sealed/Inner.M17", readOnly), cancelled}, ""},
        {"", {f + "None.M17", "-"}, {warned("None.M17", notFound), cancelled}, ""},
        {"Books", {}, {}, "Books.M17"},
        {"ReadOnly.M17", {f + "Books.M17"}, {warned("ReadOnly.M17", readOnly)}, "Books.M17"}};
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
        const auto& seam = ui::seam();
        EXPECT_EQ(seam.dialogs.size(), r.typed.empty() ? 0u : 1u);
        EXPECT_EQ(shown(), r.messages);
        // The version check's refusal beeps.
        EXPECT_EQ(seam.beeps, r.messages.join("").count("critical"));
        EXPECT_FALSE(seam.endCode);
        if (!r.opened.empty()) {
            EXPECT_TRUE(dbCatalogue && w->isVisible());
            EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + qs(f + r.opened) + "]");
        } else {
            EXPECT_TRUE(!dbCatalogue && !rsFileInfo && !rsSubjects && !w->isVisible());
            EXPECT_EQ(w->MousePointer(), 0);
        }
        w.reset();
        releaseCatalogue();
    }
    QDir::setCurrent(cwd);
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_all);
    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished());
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(readFile(dir / name), bytes) << name;
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
    EXPECT_EQ(shown(), QStringList{dialogTitle + " | warning | " + locked + qs(readOnly)});
    EXPECT_EQ(w->windowTitle(), ui::AppTitle + " - [" + good + "]");
}

// A catalogue that passes the check but lacks a table, or a lookup table
// without its name or code field, ends the program with the error's number
// and a text naming what is missing.
TEST_F(Opening, BrokenCatalogueEndsTheProgram) {
    auto publishersWith = [](const char* field) {
        return std::vector<std::string>{
            "DROP TABLE [Publishers]",
            "CREATE TABLE [Publishers] ([Label] TEXT, [" + std::string(field) + "])",
            "INSERT INTO [Publishers] VALUES ('x', 1)",
            "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Label])"};
    };
    const struct {
        std::vector<std::string> extra;
        int category; // chosen after opening; -1: none
        long number;
        const char* text;
    } rows[] = {// clang-format off
        {{"DROP TABLE [Types]"}, -1, engine::err::TableNotFound, "Types"},
        {publishersWith("Publisher Code"), 1, engine::err::ItemNotFound,
         "The table 'Publishers' has no field 'Publisher Name'."},
        {publishersWith("Publisher Name"), 1, engine::err::ItemNotFound,
         "The table 'Publishers' has no field 'Publisher Code'."}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        resetSeam();
        std::filesystem::remove(dir / "Broken.M17");
        auto w = startWindow({catalogue("Broken.M17", r.extra)});
        if (r.category >= 0)
            chooseCategory(*w, r.category);
        const QStringList messages = shown();
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].startsWith(
            ui::AppTitle + " | critical | An error has ended the program.\n\nError " +
            QString::number(r.number) + ": "))
            << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains(r.text)) << messages[0].toStdString();
        EXPECT_EQ(ui::seam().endCode, 1);
        w.reset();
        releaseCatalogue();
    }
}

} // namespace
