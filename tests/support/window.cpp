// Shared helpers of the combine window tests.
#include "window.h"

#include "combine1.h"
#include "listmenu.h"

#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <algorithm>

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

void press(QWidget& w, const char* button, std::deque<int> answers) {
    ui::seam().answers = std::move(answers);
    w.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

void trigger(QWidget& w, const char* action, std::deque<int> answers) {
    ui::seam().answers = std::move(answers);
    w.findChild<QAction*>(QString::fromLatin1(action))->trigger();
}

QStringList markedTexts(ListBox* box) {
    QStringList out;
    for (int i = 0; i < box->ListCount(); ++i)
        if (box->Selected(i))
            out << box->List(i);
    return out;
}

QString tipOf(ListBox* box, int row) {
    const QModelIndex index = box->model()->index(row);
    box->scrollTo(index);
    const QPoint at = box->visualRect(index).center();
    QHelpEvent e(QEvent::ToolTip, at, box->viewport()->mapToGlobal(at));
    QApplication::sendEvent(box->viewport(), &e);
    return QToolTip::text();
}

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

} // namespace testsupport
