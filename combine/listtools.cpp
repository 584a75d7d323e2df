// The lookup lists' context menu: undo of the last combine and the history.
#include "listtools.h"

#include "categories.h"
#include "combine1.h"
#include "frmcombine.h"
#include "frmhistory.h"
#include "history.h"
#include "listbox.h"
#include "ui.h"

#include <QAction>
#include <QLocale>
#include <QMenu>

namespace {

constexpr std::int16_t Hourglass = 11;

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString number(long long n) {
    return QLocale(QLocale::English).toString(n);
}

QString plural(long long n, const char* one, const char* many) {
    return number(n) + u' ' + QString::fromLatin1(n == 1 ? one : many);
}

// Restores the pointer however the work ends.
class BusyPointer {
public:
    explicit BusyPointer(frmCombine* w) : w_(w), saved_(w->MousePointer()) {
        w_->SetMousePointer(Hourglass);
    }
    ~BusyPointer() { w_->SetMousePointer(saved_); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    frmCombine* w_;
    std::int16_t saved_;
};

// Runs body; an engine error is shown with what it means for the
// catalogue, which the body's rollback has left as it was.
template <class Body> void reporting(QWidget* parent, const QString& what, Body&& body) {
    try {
        body();
    } catch (const engine::Error& e) {
        ui::msgBox(parent,
                   what + QStringLiteral("\n\n") + utf8(e.Text()) +
                       QStringLiteral(" (error %1)\n\nThe catalogue has not been changed.")
                           .arg(e.Number()),
                   ui::mb::Critical);
    } catch (const std::exception& e) {
        ui::msgBox(parent,
                   what + QStringLiteral("\n\n") + QString::fromUtf8(e.what()) +
                       QStringLiteral("\n\nThe catalogue has not been changed."),
                   ui::mb::Critical);
    }
}

} // namespace

ListTools::ListTools(frmCombine* window, ListBox* list1, ListBox* list2, ComboBox* combo3)
    : QObject(window), window_(window), list1_(list1), list2_(list2), combo3_(combo3) {
    undo_ = new QAction(QStringLiteral("&Undo Last Combine"), window);
    undo_->setObjectName(QStringLiteral("actionUndoLastCombine"));
    undo_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo_->setShortcutContext(Qt::WindowShortcut);
    history_ = new QAction(QStringLiteral("&History..."), window);
    history_->setObjectName(QStringLiteral("actionHistory"));
    window->addAction(undo_);
    window->addAction(history_);
    connect(undo_, &QAction::triggered, this, &ListTools::undoLastCombine);
    connect(history_, &QAction::triggered, this, &ListTools::showHistory);

    for (ListBox* list : {list1, list2}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { showMenu(list, pos); });
    }
}

void ListTools::updateActions() {
    bool open = dbCatalogue && dbCatalogue->IsOpen();
    QString why;
    if (open) {
        try {
            const history::Status s = history::Inspect(*dbCatalogue);
            if (s.state == history::State::NoItemKey) {
                open = false;
                why = utf8(s.reason);
                why[0] = why[0].toUpper();
                why += u'.';
            }
        } catch (const engine::Error& e) {
            // The actions themselves report what is wrong.
            Q_UNUSED(e);
        }
    }
    for (QAction* a : {undo_, history_}) {
        a->setEnabled(open);
        a->setToolTip(why.isEmpty() ? a->text().remove(u'&') : why);
    }
}

void ListTools::showMenu(ListBox* list, const QPoint& pos) {
    if (ui::programEnded())
        return;
    updateActions();
    QMenu menu(list);
    menu.setObjectName(QStringLiteral("listMenu"));
    menu.setToolTipsVisible(true);
    menu.addAction(undo_);
    menu.addAction(history_);
    menu.exec(list->viewport()->mapToGlobal(pos));
}

bool ListTools::undoStep(QWidget* parent, const history::StepInfo& step) {
    engine::Database& db = *dbCatalogue;
    const history::UndoPreview preview = history::PreviewUndo(db, step);
    const catalogue::Category* cat = catalogue::CategoryOfWord(step.category);
    QString when = utf8(step.at);
    if (when.size() == 20)
        when = when.left(10) + u' ' + when.mid(11, 8) + QStringLiteral(" UTC");
    QString prompt =
        QStringLiteral("Undo the combine of %1 in %2?\n\n%3\n\n%4 will get their old "
                       "entries back.")
            .arg(when, cat ? utf8(cat->caption) : utf8(step.category), frmHistory::describe(step),
                 plural(preview.itemsBack, "item", "items"));
    if (preview.leftAlone)
        prompt += QStringLiteral(" %1 changed since will be left as they are.")
                      .arg(plural(preview.leftAlone, "reference", "references"));
    if (ui::msgBox(parent, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;

    history::UndoOutcome outcome;
    {
        BusyPointer busy(window_);
        engine::Transaction transaction(db);
        outcome = history::Undo(db, step);
        transaction.Commit();
        // Part of the lists may show entries that came back: fill them anew.
        window_->Combo3_Click();
    }
    emit undone(cat ? cat->comboIndex : -1, outcome.moved);
    QString done = QStringLiteral("The combine was undone: %1 got their old entries back and %2 "
                                  "came back.")
                       .arg(plural(outcome.itemsBack, "item", "items"),
                            plural(outcome.entriesBack, "entry", "entries"));
    if (outcome.leftAlone)
        done += QStringLiteral("\n\n%1 had been changed since the combine and %2 left as they are.")
                    .arg(plural(outcome.leftAlone, "reference", "references"),
                         outcome.leftAlone == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    ui::msgBox(parent, done, ui::mb::Information);
    return true;
}

void ListTools::undoLastCombine() {
    updateActions();
    if (ui::programEnded() || !undo_->isEnabled())
        return;
    reporting(window_, QStringLiteral("The last combine cannot be undone."), [&] {
        const std::optional<history::StepInfo> step = history::LastUndoable(*dbCatalogue);
        if (!step) {
            ui::msgBox(window_, QStringLiteral("There is no combine to undo in this catalogue."),
                       ui::mb::Information);
            return;
        }
        undoStep(window_, *step);
    });
}

bool ListTools::forgetHistory(QWidget* parent) {
    if (ui::msgBox(parent,
                   QStringLiteral("Forget the whole combine history of this catalogue? The "
                                  "combines made so far can then no longer be undone."),
                   ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;
    engine::Transaction transaction(*dbCatalogue);
    history::Forget(*dbCatalogue);
    transaction.Commit();
    return true;
}

void ListTools::showHistory() {
    updateActions();
    if (ui::programEnded() || !history_->isEnabled())
        return;
    reporting(window_, QStringLiteral("The combine history cannot be shown."), [&] {
        // Read once here, so that a damaged history is reported before the
        // dialog opens.
        std::vector<history::StepInfo> first = history::ReadHistory(*dbCatalogue);
        bool fresh = true;
        frmHistory* dialog = nullptr;
        auto reload = [&]() -> std::vector<history::StepInfo> {
            if (fresh) {
                fresh = false;
                return first;
            }
            std::vector<history::StepInfo> steps;
            reporting(dialog, QStringLiteral("The combine history cannot be read."),
                      [&] { steps = history::ReadHistory(*dbCatalogue); });
            return steps;
        };
        auto undo = [&] {
            bool changed = false;
            reporting(dialog, QStringLiteral("The last combine cannot be undone."), [&] {
                const std::optional<history::StepInfo> step = history::LastUndoable(*dbCatalogue);
                changed = step && undoStep(dialog, *step);
            });
            return changed;
        };
        auto forget = [&] {
            bool changed = false;
            reporting(dialog, QStringLiteral("The combine history cannot be forgotten."),
                      [&] { changed = forgetHistory(dialog); });
            return changed;
        };
        frmHistory box(window_, reload, undo, forget);
        dialog = &box;
        if (onDialog)
            onDialog(box);
        else
            box.exec();
    });
}
