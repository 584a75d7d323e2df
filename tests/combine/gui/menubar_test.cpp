// The window's menu bar: the client area's controls where they always were,
// below the bar; the bar's entries the lists' menu's own actions, reached by
// their shortcuts; the help's contents and the about box.
#include "window.h"

#include "frmduplicates.h"
#include "listmenu.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <regex>

using namespace testsupport;

namespace {

// The actions of the lists' context menu, opened on List1 and closed again.
QList<QAction*> contextMenu(QWidget& w) {
    QList<QAction*> shown;
    std::function<void()> read = [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return QTimer::singleShot(10, read);
        shown = menu->actions();
        menu->close();
    };
    QTimer::singleShot(0, read);
    emit list(w, "List1")->customContextMenuRequested(QPoint(4, 4));
    return shown;
}

// Every control keeps its place and size in twips within the client area,
// which lies below the bar; the window is taller by the bar alone.
TEST_F(WindowTest, ControlsKeepTheirPlacesBelowTheBar) {
    auto w = startWindow({writeHistorySample(dir / "Books.M17")});
    const auto px = frmCombine::px;
    auto* bar = w->findChild<QMenuBar*>("menuBar");
    ASSERT_TRUE(bar && bar->height() > 0);
    EXPECT_EQ(w->size(), QSize(px(9150), px(3825) + bar->height()));
    const std::pair<const char*, QRect> rows[] = {
        {"Combo3", {4800, 360, 2655, 315}},    {"Label1", {3120, 360, 1575, 255}},
        {"Label2", {3720, 1080, 375, 255}},    {"Command1", {7800, 120, 1215, 495}},
        {"Command2", {7680, 1560, 1335, 495}}, {"List1", {240, 960, 3375, 2760}},
        {"List2", {4200, 960, 3375, 2760}}};
    for (const auto& [name, t] : rows) {
        auto* c = w->findChild<QWidget*>(name);
        ASSERT_TRUE(c) << name;
        EXPECT_EQ(QRect(c->mapTo(w.get(), QPoint(0, 0)), c->size()),
                  QRect(px(t.x()), bar->height() + px(t.y()), px(t.width()), px(t.height())))
            << name;
    }
}

// The bar's entries in their menus' order: the lists' menu's own actions,
// each shortcut reaching its action; the access keys of the menus' titles
// and of the buttons all differ.
TEST_F(WindowTest, MenuBarSharesTheListsActions) {
    auto w = startWindow({writeHistorySample(dir / "Books.M17")});
    mark(*w, {"Computer"}, "Computers");
    press(*w, "Command2", {ui::mb::Yes});
    const QList<QAction*> context = contextMenu(*w);
    // clang-format off
    const struct { QString entry; QKeySequence key; bool inContext; } rows[] = {
        {"&Edit > &Undo Combine", QKeySequence("Ctrl+Z"), true},
        {"&Edit > &Redo", QKeySequence("Ctrl+Y"), true},
        {"&Edit > Rename Entry...", QKeySequence("F2"), true},
        {"&Edit > Mark Entries &Like This", {}, true},
        {"&View > Show Item &Counts", {}, true},
        {"&View > Show Items...", QKeySequence("Ctrl+I"), true},
        {"&Tools > Find &Duplicates...", QKeySequence("Ctrl+F"), true},
        {"&Tools > Unused Entries...", {}, true},
        {"&Tools > Clear Repeated Subjects...", {}, true},
        {"&Tools > &History...", QKeySequence("Ctrl+H"), true},
        {"&Help > &Contents", QKeySequence("F1"), false},
        {"&Help > &About", {}, false}};
    // clang-format on
    std::map<QString, QAction*> entries;
    QStringList order;
    QSet<QKeySequence> keys;
    for (const char* button : {"Command1", "Command2"})
        keys << QKeySequence::mnemonic(w->findChild<QPushButton*>(button)->text());
    for (QAction* menu : w->findChild<QMenuBar*>("menuBar")->actions()) {
        keys << QKeySequence::mnemonic(menu->text());
        for (QAction* a : menu->menu()->actions()) {
            order << menu->text() + " > " + a->text();
            entries[order.back()] = a;
        }
    }
    EXPECT_EQ(keys.size(), 6);
    ListMenu::onDialog = [](QDialog& d) {
        if (auto* finder = dynamic_cast<frmDuplicates*>(&d)) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return !finder->busy(); }, 20000));
        }
    };
    QStringList expected;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.entry.toStdString());
        expected << r.entry;
        QAction* a = entries[r.entry];
        ASSERT_TRUE(a);
        EXPECT_EQ(context.contains(a), r.inContext);
        EXPECT_EQ(a->shortcut(), r.key);
        // Nothing is undone yet, so Redo is off and its keys with it.
        if (r.key.isEmpty() || !a->isEnabled())
            continue;
        QSignalSpy triggered(a, &QAction::triggered);
        ui::seam().answers = {ui::mb::No};
        // Offscreen, the window is not activated again when a menu or dialog closes.
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
        QTest::keySequence(w.get(), r.key);
        EXPECT_EQ(triggered.count(), 1);
    }
    EXPECT_EQ(order, expected);
}

// F1 shows the help's contents: the window's topic first, every topic
// listed; About names the program and the libraries with their versions.
TEST_F(WindowTest, HelpContentsAndAbout) {
    auto w = startWindow({writeHistorySample(dir / "Books.M17")});
    QTest::keyClick(w.get(), Qt::Key_F1);
    ASSERT_EQ(ui::seam().helps.size(), 1u);
    const ui::ShownHelp& help = ui::seam().helps[0];
    EXPECT_TRUE(help.title == "The combine window" && !help.text.isEmpty());
    EXPECT_EQ(help.topics,
              QStringList({"The combine window", "The two lists", "Done", "Choosing a catalogue",
                           "Combining entries", "Finding duplicates", "Item counts",
                           "Marking entries like this", "Undoing and redoing", "Renaming an entry",
                           "The items behind an entry", "Unused entries", "Repeated subjects",
                           "The combine history", "Pairs ruled out"}));
    press(*w, "actionAbout");
    ASSERT_EQ(ui::seam().messages.size(), 1u);
    const std::string about = ui::seam().messages[0].text.toStdString();
    EXPECT_TRUE(std::regex_search(about, std::regex(R"(^Combine Utility, version \d+\.\d+)")));
    EXPECT_TRUE(std::regex_search(
        about, std::regex(R"(\nQt 6\.\d+\.\d+\nSQLite 3\.\d+\.\d+\nICU \d+\.\d+.*\nSnowball)")))
        << about;
}

} // namespace
