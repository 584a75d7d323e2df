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

// Typed names, a command-line path, a cancelled dialog, another version, a
// file held elsewhere and catalogues that lack what the window reads: the
// dialog's checks and warnings, a refused name leaving the dialog open for
// the next answer, the messages of a refusal and the window gone after it,
// the error that ends the program; no file changes.
TEST_F(Opening, AnswersCheckedAndRefusalsReported) {
    catalogue("Books.M17");
    std::filesystem::permissions(catalogue("ReadOnly.M17"), std::filesystem::perms::owner_read);
    std::filesystem::create_directory(dir / "sealed");
    catalogue("sealed/Inner.M17");
    std::filesystem::permissions(dir / "sealed", std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
    samplegen::CreateCatalogue(dir / "Old.M15", std::string("Mervane 1.5"))->Close();
    // Catalogues that pass the check but lack a table, or a lookup table's
    // name or code field.
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
    const struct {
        const char* argument;
        std::vector<std::string> typed; // "-" cancels
        QStringList messages;
        std::string opened;
        int category = -1; // chosen after opening
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
        // The version check's refusal beeps; an error of the opening ends the program.
        EXPECT_EQ(seam.beeps, r.messages.join("").count("Error Opening File!"));
        EXPECT_EQ(seam.endCode.has_value(), r.messages.join("").contains("ended the program"));
        EXPECT_TRUE(!seam.endCode || seam.endCode == 1);
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

} // namespace
