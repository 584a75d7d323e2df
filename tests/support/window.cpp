// Shared helpers of the combine window tests.
#include "window.h"

#include "combine1.h"
#include "listmenu.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>

namespace testsupport {

void resetSeam() {
    ui::seam().reset();
    ui::seam().testing = true;
}

void releaseCatalogue() {
    for (auto* rs : {&rsFileInfo, &rsSubjects, &rsTypes, &rsPublishers})
        rs->reset();
    dbCatalogue.reset();
}

void WindowTest::TearDown() {
    ListMenu::onDialog = nullptr;
    releaseCatalogue();
}

std::unique_ptr<frmCombine> startWindow(const std::vector<std::optional<std::string>>& answers,
                                        const std::optional<QString>& startupPath,
                                        const std::function<bool()>& done) {
    for (const auto& a : answers)
        ui::seam().fileNames.push_back(a ? std::optional(qs(*a)) : std::nullopt);
    auto w = std::make_unique<frmCombine>();
    if (startupPath)
        w->setStartupPath(*startupPath);
    w->show();
    w->activateWindow();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return w->isActiveWindow() || !w->isVisible() || (done && done()); }, 5000))
        << "the window was not activated";
    return w;
}

ListBox* list(QWidget& w, const char* name) {
    return w.findChild<ListBox*>(QString::fromLatin1(name));
}

int rowOf(ListBox* box, const QString& text) {
    for (int i = 0; i < box->ListCount(); ++i)
        if (box->List(i) == text)
            return i;
    return -1;
}

void chooseCategory(QWidget& w, int category) {
    auto* combo = w.findChild<ComboBox*>(QStringLiteral("Combo3"));
    combo->setCurrentIndex(category);
    emit combo->activated(category);
}

void mark(QWidget& w, const QStringList& marked, const std::optional<QString>& target) {
    for (const QString& text : marked)
        list(w, "List1")->SetSelected(rowOf(list(w, "List1"), text), true);
    if (target)
        list(w, "List2")->SetListIndex(rowOf(list(w, "List2"), *target));
}

void press(QWidget& w, const char* name, std::deque<int> answers) {
    ui::seam().answers = std::move(answers);
    if (auto* button = w.findChild<QPushButton*>(QString::fromLatin1(name)))
        button->click();
    else
        w.findChild<QAction*>(QString::fromLatin1(name))->trigger();
}

} // namespace testsupport
