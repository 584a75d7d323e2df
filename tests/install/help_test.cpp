// The help file as an installed combine finds it: the lookup beside the
// program and in the data folder, checked against a real `cmake --install`
// tree, and the warnings the Help button gives when the file or topic is
// missing.
#include "ui.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_help : public QObject {
    Q_OBJECT
private slots:
    void installedTreeIsFound();
    void besideProgramComesFirst();
    void missing_data();
    void missing();
};

namespace {

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace

void tst_help::installedTreeIsFound() {
    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    QProcess install;
    install.start(QStringLiteral(CMAKE_EXE),
                  {QStringLiteral("--install"), QStringLiteral(BUILD_DIR),
                   QStringLiteral("--prefix"), prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QCOMPARE(install.exitCode(), 0);
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    QVERIFY(QFileInfo(bin + QStringLiteral("/combine")).isExecutable());
    QVERIFY(!QFileInfo::exists(bin + QStringLiteral("/M17.HLP")));

    const std::optional<QString> found =
        ui::locateHelpFile(QStringLiteral("M17.HLP"), ui::helpFolders(bin));
    QVERIFY(found.has_value());
    QVERIFY(
        QFileInfo(*found).canonicalPath().startsWith(QFileInfo(prefix.path()).canonicalFilePath()));
    const std::optional<ui::HelpTopic> topic = ui::readHelpTopic(*found, 240);
    QVERIFY(topic && !topic->text.isEmpty());
}

void tst_help::besideProgramComesFirst() {
    QTemporaryDir root;
    const QString bin = root.filePath(QStringLiteral("usr/bin"));
    const QStringList folders = ui::helpFolders(bin);
    QCOMPARE(folders.size(), 2);
    QCOMPARE(folders.first(), bin);
    QVERIFY(folders.last().startsWith(root.filePath(QStringLiteral("usr/share/"))));
    QVERIFY(!ui::locateHelpFile(QStringLiteral("M17.HLP"), folders));
    QVERIFY(writeFile(folders.last() + QStringLiteral("/M17.HLP"), "@240 Shared\nshared\n"));
    QCOMPARE(*ui::locateHelpFile(QStringLiteral("M17.HLP"), folders),
             folders.last() + QStringLiteral("/M17.HLP"));
    QVERIFY(writeFile(bin + QStringLiteral("/M17.HLP"), "@240 Beside\nbeside\n"));
    QCOMPARE(*ui::locateHelpFile(QStringLiteral("M17.HLP"), folders),
             bin + QStringLiteral("/M17.HLP"));
}

void tst_help::missing_data() {
    QTest::addColumn<QString>("name");       // help file as the dialog names it
    QTest::addColumn<QByteArray>("content"); // written first when not empty
    QTest::addColumn<QString>("expected");   // start of the warning
    QTest::newRow("relative name, nowhere")
        << QStringLiteral("NoSuch.HLP") << QByteArray()
        << QStringLiteral("The help file 'NoSuch.HLP' cannot be found");
    QTest::newRow("absolute name, missing")
        << QStringLiteral("@/gone/M17.HLP") << QByteArray()
        << QStringLiteral("The help file 'M17.HLP' cannot be found");
    QTest::newRow("file without the topic")
        << QStringLiteral("@/M17.HLP") << QByteArray("@100 Other\nother\n")
        << QStringLiteral("The help topic 240 cannot be found in the help file");
}

void tst_help::missing() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    // "@" stands for a file in the temporary folder.
    if (name.startsWith(u'@'))
        name = dir.path() + name.mid(1);
    if (!content.isEmpty())
        QVERIFY(writeFile(name, content));

    ui::seam().reset();
    ui::seam().testing = true;
    ui::showHelp(nullptr, name, 1, 240);
    QCOMPARE(ui::seam().helps.size(), size_t(1));
    QCOMPARE(ui::seam().messages.size(), size_t(1));
    const ui::ShownMessage& m = ui::seam().messages.front();
    QVERIFY2(m.text.startsWith(expected), qPrintable(m.text));
    QCOMPARE(m.icon, ui::Icon::Warning);
    QCOMPARE(m.title, ui::AppTitle);
    // A name looked up in folders lists every folder it was looked for in.
    if (!QFileInfo(name).isAbsolute())
        for (const QString& folder : ui::helpFolders(QCoreApplication::applicationDirPath()))
            QVERIFY2(m.text.contains(folder), qPrintable(folder));
    ui::seam().reset();
}

QTEST_MAIN(tst_help)
#include "help_test.moc"
