// Opening a catalogue: the version check, the open dialog and its answers,
// refusals, the opened window and the release of the file.
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

QString goodCatalogue(const QTemporaryDir& dir, const QString& name = QStringLiteral("Books.M17")) {
    return writeCatalogue(dir, name, subjects, {{1, "Penguin"}}, {{1, "Book"}}, {{12, 4, 1, 1}});
}

QByteArray bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class OpeningTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { resetSeam(); }
    void cleanup() { releaseCatalogue(); }

    void checkVersion_data() {
        QTest::addColumn<int>("kind"); // 0 catalogue, 1 text file, 2 no file
        QTest::addColumn<QVariant>("product");
        QTest::addColumn<QString>("sql"); // statements separated by "|"
        QTest::addColumn<bool>("expected");
        const QVariant good = QStringLiteral("Mervane 1.7");
        QTest::newRow("exact marker") << 0 << good << "" << true;
        QTest::newRow("other version") << 0 << QVariant("Mervane 1.5") << "" << false;
        QTest::newRow("letter case") << 0 << QVariant("mervane 1.7") << "" << false;
        QTest::newRow("trailing blank") << 0 << QVariant("Mervane 1.7 ") << "" << false;
        QTest::newRow("null marker") << 0 << QVariant() << "" << false;
        QTest::newRow("empty FILEINFO") << 0 << good << "DELETE FROM [FILEINFO]" << false;
        QTest::newRow("no FILEINFO") << 0 << good << "DROP TABLE [FILEINFO]" << false;
        QTest::newRow("no Product Name field")
            << 0 << good
            << "DROP TABLE [FILEINFO]|CREATE TABLE [FILEINFO] ([Catalogue Name] TEXT)|"
               "INSERT INTO [FILEINFO] VALUES ('x')"
            << false;
        QTest::newRow("later records ignored")
            << 0 << good << "INSERT INTO [FILEINFO] ([Product Name]) VALUES ('x')" << true;
        QTest::newRow("not a database") << 1 << good << "" << false;
        QTest::newRow("missing file") << 2 << good << "" << false;
    }
    void checkVersion() {
        QFETCH(int, kind);
        QFETCH(QVariant, product);
        QFETCH(QString, sql);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Test.M17"));
        if (kind == 0) {
            auto db = samplegen::CreateCatalogue(
                path.toStdString(),
                product.isValid() ? std::optional(product.toString().toStdString()) : std::nullopt);
            for (const QString& s : sql.split('|', Qt::SkipEmptyParts))
                db->Execute(s.toStdString());
            db->Close();
        } else if (QFile f(path); kind == 1 && f.open(QIODevice::WriteOnly)) {
            f.write(QByteArray(4096, 'x'));
        }
        const QByteArray before = bytes(path);
        QCOMPARE(CheckCatalogueVersion(path.toStdString()), expected);
        QCOMPARE(bytes(path), before);
        if (kind == 0) // nothing left open: an exclusive open succeeds at once
            engine::DatabaseEngine().OpenDatabase(path.toStdString(), true)->Close();
    }

    void refused_data() {
        QTest::addColumn<QString>("product");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("locked");
        QTest::newRow("cancelled dialog") << "Mervane 1.7" << true << false;
        QTest::newRow("other version") << "Mervane 1.5" << false << false;
        QTest::newRow("held by another process") << "Mervane 1.7" << false << true;
    }
    void refused() {
        QFETCH(QString, product);
        QFETCH(bool, cancel);
        QFETCH(bool, locked);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Old.M15"));
        samplegen::CreateCatalogue(path.toStdString(), product.toStdString())->Close();
        const QByteArray before = bytes(path);
        QProcess holder;
        QVERIFY(!locked || holdExclusively(holder, path));

        auto w = startWindow({cancel ? std::nullopt : std::optional(path)});
        const auto& seam = ui::seam();
        QCOMPARE(seam.messages.size(), size_t(1));
        const ui::ShownMessage& m = seam.messages[0];
        if (cancel) {
            QCOMPARE(m.text, QStringLiteral("Error opening Database!"));
            QVERIFY(m.title == ui::AppTitle && m.icon == ui::Icon::None && seam.beeps == 0);
        } else {
            QCOMPARE(m.text, "Error occurred opening file: '" + path + "'");
            QCOMPARE(m.title, QStringLiteral("Error Opening File!"));
            QVERIFY(m.icon == ui::Icon::Critical && seam.beeps == 1);
        }
        QVERIFY(m.buttons == ui::Buttons::Ok && !seam.endCode && !w->isVisible());
        QVERIFY(!dbCatalogue && !rsFileInfo && !rsSubjects && w->MousePointer() == 0);
        holder.closeWriteChannel();
        holder.waitForFinished();
        QCOMPARE(bytes(path), before);
    }

    void openedAndReleased() {
        QTemporaryDir dir;
        // "[*]" is Qt's modified-marker in titles: the caption must still show it.
        const QString path = goodCatalogue(dir, QStringLiteral("Books [*].M17"));
        auto w = startWindow({path});
        const auto& seam = ui::seam();
        QVERIFY(seam.messages.empty() && seam.dialogs.size() == 1);
        QCOMPARE(seam.dialogs[0].initDir, QCoreApplication::applicationDirPath());
        QVERIFY(w->windowHandle());
        QCOMPARE(w->windowHandle()->title(), ui::AppTitle + " - [" + path + "]");
        ComboBox* c = combo(*w);
        QCOMPARE(c->ListCount(), 3);
        QCOMPARE(c->itemText(0) + c->itemText(1) + c->itemText(2),
                 QStringLiteral("SubjectsPublishersMedia Types"));
        QCOMPARE(c->ListIndex(), 0);
        QCOMPARE(listsDiffer(*w, listedOrder(subjects)), QString());
        QVERIFY(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(c));

        // A later activation leaves everything as it is.
        engine::Database* opened = dbCatalogue.get();
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QVERIFY(seam.dialogs.size() == 1 && dbCatalogue.get() == opened);

        // Alt+D presses Done (after the button's short animation): all is
        // closed and another process can have the file to itself.
        QTest::keyClick(w->windowHandle(), Qt::Key_D, Qt::AltModifier);
        QTRY_VERIFY(!w->isVisible());
        QVERIFY(!dbCatalogue && !rsFileInfo && !rsSubjects && !rsTypes && !rsPublishers);
        QProcess holder;
        QVERIFY(holdExclusively(holder, path));
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished());
    }

    // Typed names and a command-line path pass the dialog's checks; a refused
    // name leaves the dialog open for the next answer.
    void chosenNames_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QStringList>("typed"); // "-" cancels
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("opened");
        QTest::newRow("typed without extension") << "" << QStringList{"%1/Books"} << ""
                                                 << "%1/Books.M17";
        QTest::newRow("read-only, then good")
            << "" << QStringList{"%1/ReadOnly.M17", "%1/Books.M17"} << "read-only"
            << "%1/Books.M17";
        QTest::newRow("in read-only folder")
            << "" << QStringList{"%1/sealed/Inner.M17", "-"} << "read-only"
            << "";
        QTest::newRow("missing, then cancel")
            << "" << QStringList{"%1/None.M17", "-"} << "File not found"
            << "";
        QTest::newRow("argument relative, no extension") << "Books" << QStringList() << ""
                                                         << "%1/Books.M17";
        QTest::newRow("argument read-only, then dialog")
            << "ReadOnly.M17" << QStringList{"%1/Books.M17"} << "read-only"
            << "%1/Books.M17";
    }
    void chosenNames() {
        QFETCH(QString, argument);
        QFETCH(QStringList, typed);
        QFETCH(QString, warning);
        QFETCH(QString, opened);
        QTemporaryDir dir;
        goodCatalogue(dir);
        QFile::setPermissions(goodCatalogue(dir, "ReadOnly.M17"), QFile::ReadOwner);
        QDir(dir.path()).mkdir("sealed");
        goodCatalogue(dir, "sealed/Inner.M17");
        const QString sealed = dir.filePath("sealed");
        QFile::setPermissions(sealed, QFile::ReadOwner | QFile::ExeOwner);

        std::vector<std::optional<QString>> answers;
        for (const QString& t : typed)
            answers.push_back(t == "-" ? std::nullopt : std::optional(t.arg(dir.path())));
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        auto w = startWindow(answers, argument.isEmpty() ? std::nullopt : std::optional(argument));
        QDir::setCurrent(cwd);
        QFile::setPermissions(sealed, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const auto& seam = ui::seam();
        QCOMPARE(seam.dialogs.size(), size_t(typed.isEmpty() ? 0 : 1));
        const size_t warnings = warning.isEmpty() ? 0 : 1;
        if (warnings)
            QVERIFY(seam.messages[0].text.contains(warning) &&
                    seam.messages[0].title == dialogTitle &&
                    seam.messages[0].icon == ui::Icon::Warning);
        if (opened.isEmpty()) {
            QVERIFY(!dbCatalogue && seam.messages.size() == warnings + 1);
            QCOMPARE(seam.messages.back().text, QStringLiteral("Error opening Database!"));
        } else {
            QVERIFY(dbCatalogue && seam.messages.size() == warnings);
            QCOMPARE(w->windowTitle(), ui::AppTitle + " - [" + opened.arg(dir.path()) + "]");
        }
    }

    // Qt's dialog itself: its settings, the Help button and the refusal of a
    // read-only file while the dialog stays open.
    void realDialog() {
        QTemporaryDir dir;
        const QString good = goodCatalogue(dir);
        const QString readOnly = goodCatalogue(dir, "ReadOnly.M17");
        QFile::setPermissions(readOnly, QFile::ReadOwner);
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
            d->selectFile(readOnly);
            dialog->accept();
            stayedOpen = d->isVisible();
            d->selectFile(good);
            dialog->accept();
            driven = true;
        };
        QTimer::singleShot(0, drive);
        // Offscreen, the window is not activated again when the dialog closes.
        auto w = startWindow({}, std::nullopt, [&] { return driven; });

        QCOMPARE(title, dialogTitle);
        QCOMPARE(directory, QDir(QCoreApplication::applicationDirPath()).absolutePath());
        QCOMPARE(filters.size(), 3);
        QVERIFY(filters[0].contains("(*.M17)") && filters[2].contains("(*.MRV)"));
        const auto& seam = ui::seam();
        QVERIFY(seam.helps.size() == 1 && seam.helps[0].context == 240);
        QVERIFY(!seam.helps[0].title.isEmpty() && !seam.helps[0].text.isEmpty());
        QVERIFY(stayedOpen && seam.messages.size() == 1);
        QVERIFY(seam.messages[0].text.contains("read-only"));
        QCOMPARE(w->windowTitle(), ui::AppTitle + " - [" + good + "]");
    }

    // A catalogue that passes the check but lacks a table ends the program
    // with the engine's error number and text.
    void missingTableEndsProgram() {
        QTemporaryDir dir;
        auto w = startWindow(
            {writeCatalogue(dir, "NoTypes.M17", subjects, {}, {}, {}, {"DROP TABLE [Types]"})});
        const auto& seam = ui::seam();
        QCOMPARE(seam.messages.size(), size_t(1));
        QVERIFY(seam.messages[0].text.contains(QString::number(engine::err::TableNotFound)));
        QVERIFY(seam.messages[0].text.contains("Types"));
        QVERIFY(seam.messages[0].icon == ui::Icon::Critical && seam.endCode == 1);
    }
};

QTEST_MAIN(OpeningTest)
#include "opening_test.moc"
