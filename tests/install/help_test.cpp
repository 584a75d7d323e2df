// The help file as an installed combine finds it, beside the program or in
// the data folder of a real `cmake --install` tree; the warnings when the
// file or topic is missing.
#include "window.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdlib>
#include <filesystem>

using namespace testsupport;

namespace {

// Writes content to path, making its folders.
void writeHelp(const QString& path, const std::string& content) {
    std::filesystem::create_directories(QFileInfo(path).absolutePath().toStdString());
    writeFile(path.toStdString(), content);
}

TEST(Help, InstalledTreeIsFound) {
    TempDir prefix("install");
    const std::string command = std::string(CMAKE_EXE) + " --install '" + BUILD_DIR +
                                "' --prefix '" + prefix.path() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const QString bin = qs(prefix / "bin");
    for (const char* program : {"combine", "repair", "finddups", "mkcatalogue"})
        EXPECT_TRUE(QFileInfo(bin + "/" + program).isExecutable()) << program;
    EXPECT_FALSE(QFileInfo::exists(bin + "/M17.HLP"));
    const std::optional<QString> found = ui::locateHelpFile("M17.HLP", ui::helpFolders(bin));
    ASSERT_TRUE(found);
    EXPECT_TRUE(QFileInfo(*found).canonicalPath().startsWith(
        QFileInfo(qs(prefix.path())).canonicalFilePath()));
    const std::optional<ui::HelpTopic> topic = ui::readHelpTopic(*found, 240);
    EXPECT_TRUE(topic && !topic->text.isEmpty());
}

TEST(Help, BesideProgramComesFirst) {
    TempDir root("help");
    const QString bin = qs(root / "usr/bin");
    const QStringList folders = ui::helpFolders(bin);
    ASSERT_EQ(folders.size(), 2);
    EXPECT_EQ(folders.first(), bin);
    EXPECT_TRUE(folders.last().startsWith(qs(root / "usr/share/")));
    EXPECT_FALSE(ui::locateHelpFile("M17.HLP", folders));
    writeHelp(folders.last() + "/M17.HLP", "@240 Shared\nshared\n");
    EXPECT_EQ(ui::locateHelpFile("M17.HLP", folders), folders.last() + "/M17.HLP");
    writeHelp(bin + "/M17.HLP", "@240 Beside\nbeside\n");
    EXPECT_EQ(ui::locateHelpFile("M17.HLP", folders), bin + "/M17.HLP");
}

// A missing file or topic gets a warning that says which; a name looked up
// in folders lists every folder it was looked for in.
TEST(Help, MissingFileOrTopicWarns) {
    const QStringList folders = ui::helpFolders(QCoreApplication::applicationDirPath());
    // clang-format off
    // "@": a temporary folder
    const QString lookedFor = "' cannot be found. It was looked for in:\n";
    const struct { const char* name; std::string content; QString expected; } rows[] = {
        {"NoSuch.HLP", "", "The help file 'NoSuch.HLP" + lookedFor + folders.join('\n')},
        {"@/gone/M17.HLP", "", "The help file 'M17.HLP" + lookedFor + "@/gone"},
        {"@/M17.HLP", "@100 Other\nother\n",
         "The help topic 240 cannot be found in the help file '@/M17.HLP'."}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir("help");
        const QString name = QString::fromLatin1(r.name).replace("@", qs(dir.path()));
        if (!r.content.empty())
            writeHelp(name, r.content);
        resetSeam();
        ui::showHelp(nullptr, name, 1, 240);
        EXPECT_EQ(ui::seam().helps.size(), 1u);
        ASSERT_EQ(ui::seam().messages.size(), 1u);
        const ui::ShownMessage& m = ui::seam().messages.front();
        EXPECT_EQ(m.text, QString(r.expected).replace("@", qs(dir.path())));
        EXPECT_TRUE(m.icon == ui::Icon::Warning && m.title == ui::AppTitle);
    }
    ui::seam().reset();
}

} // namespace
