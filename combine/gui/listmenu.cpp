// The lookup lists' context menu.
#include "listmenu.h"

#include "catalogue.h"
#include "combine1.h"
#include "frmcombine.h"
#include "frmduplicates.h"
#include "frmhistory.h"
#include "frmitems.h"
#include "frmrename.h"
#include "frmunused.h"
#include "history.h"
#include "listbox.h"
#include "listcounts.h"
#include "operation.h"
#include "ui.h"
#include "unused.h"
#include "wording.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>

namespace {

// Runs body; an engine error is shown with what it means for the
// catalogue, which the body's rollback has left as it was.
template <class Body> void reporting(QWidget* parent, const QString& what, Body&& body) {
    try {
        body();
    } catch (const engine::Error& e) {
        ui::msgBox(parent,
                   what + QStringLiteral("\n\n") + ui::utf8(e.Text()) +
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

// Enables the action when there is no reason against it; its tooltip gives
// the reason, or else the action's own text.
void because(QAction* action, const QString& reason) {
    action->setEnabled(reason.isEmpty());
    action->setToolTip(reason.isEmpty() ? action->text().remove(u'&') : reason);
}

QString quoted(const std::string& name) {
    return u'\'' + ui::utf8(name) + u'\'';
}

// What an undo leaves of the entries a step deleted, said before (done
// false) or after.
QString entriesLeftText(const std::vector<history::EntryLeft>& left, bool done) {
    QString out;
    for (const history::EntryLeft& e : left)
        out += e.reused()
                   ? QStringLiteral("\n\nThe code of %1 is held by %2 now: %1 %3 and its "
                                    "references %4 as they are.")
                         .arg(quoted(e.name), quoted(e.nowName),
                              done ? QStringLiteral("did not come back")
                                   : QStringLiteral("will not come back"),
                              done ? QStringLiteral("were left") : QStringLiteral("will be left"))
                   : QStringLiteral("\n\n%1 is there again and %2 as it is.")
                         .arg(quoted(e.name),
                              done ? QStringLiteral("was left") : QStringLiteral("will be left"));
    return out;
}

// "its" or "their", after count items.
QString their(long long count) {
    return count == 1 ? QStringLiteral("its") : QStringLiteral("their");
}

// "the combine of <when> in <category>" for a step's prompts.
QString stepOf(const history::StepInfo& step) {
    const catalogue::Category* cat = catalogue::CategoryOfWord(step.category);
    return QStringLiteral("%1 of %2 in %3")
        .arg(frmHistory::kindName(step), ui::utf8(wording::ShownTime(step.at)),
             cat ? ui::utf8(cat->caption) : ui::utf8(step.category));
}

} // namespace

void ListMenu::runDialog(QDialog& box) {
    if (onDialog)
        onDialog(box);
    else
        box.exec();
}

ListMenu::ListMenu(frmCombine* window, ListBox* list1, ListBox* list2, ComboBox* combo3,
                   ListCounts& counts)
    : QObject(window), window_(window), list1_(list1), list2_(list2), combo3_(combo3),
      counts_(counts) {
    undo_ = new QAction(QStringLiteral("&Undo"), window);
    undo_->setObjectName(QStringLiteral("actionUndoLastCombine"));
    undo_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo_->setShortcutContext(Qt::WindowShortcut);
    redo_ = new QAction(QStringLiteral("&Redo"), window);
    redo_->setObjectName(QStringLiteral("actionRedo"));
    redo_->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    redo_->setShortcutContext(Qt::WindowShortcut);
    redo_->setEnabled(false);
    history_ = new QAction(QStringLiteral("&History..."), window);
    history_->setObjectName(QStringLiteral("actionHistory"));
    history_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    history_->setShortcutContext(Qt::WindowShortcut);
    rename_ = new QAction(QStringLiteral("Rename Entry..."), window);
    rename_->setObjectName(QStringLiteral("actionRenameEntry"));
    rename_->setShortcut(QKeySequence(Qt::Key_F2));
    rename_->setShortcutContext(Qt::WindowShortcut);
    rename_->setEnabled(false);
    for (QAction* a : {undo_, redo_, history_, rename_})
        window->addAction(a);
    connect(undo_, &QAction::triggered, this, &ListMenu::undoLastCombine);
    connect(redo_, &QAction::triggered, this, &ListMenu::redoLastUndone);
    connect(history_, &QAction::triggered, this, &ListMenu::showHistory);
    connect(rename_, &QAction::triggered, this, &ListMenu::renameEntry);

    showCounts_ = new QAction(QStringLiteral("Show Item &Counts"), window);
    showCounts_->setObjectName(QStringLiteral("actionShowItemCounts"));
    showCounts_->setCheckable(true);
    findDuplicates_ = new QAction(QStringLiteral("Find &Duplicates..."), window);
    findDuplicates_->setObjectName(QStringLiteral("actionFindDuplicates"));
    findDuplicates_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    findDuplicates_->setShortcutContext(Qt::WindowShortcut);
    likeThis_ = new QAction(QStringLiteral("Mark Entries &Like This"), window);
    likeThis_->setObjectName(QStringLiteral("actionMarkEntriesLikeThis"));
    showItems_ = new QAction(QStringLiteral("Show Items..."), window);
    showItems_->setObjectName(QStringLiteral("actionShowItems"));
    showItems_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    showItems_->setShortcutContext(Qt::WindowShortcut);
    window->addAction(findDuplicates_);
    window->addAction(showItems_);
    unusedEntries_ = new QAction(QStringLiteral("Unused Entries..."), window);
    unusedEntries_->setObjectName(QStringLiteral("actionUnusedEntries"));
    clearRepeated_ = new QAction(QStringLiteral("Clear Repeated Subjects..."), window);
    clearRepeated_->setObjectName(QStringLiteral("actionClearRepeatedSubjects"));
    connect(unusedEntries_, &QAction::triggered, this, &ListMenu::unusedEntries);
    connect(clearRepeated_, &QAction::triggered, this, &ListMenu::clearRepeatedSubjects);
    // The counts are counted when first shown for a category.
    auto showCounts = [this] {
        counts_.setVisible(showCounts_->isChecked());
        if (!showCounts_->isChecked() || ui::programEnded() || !dbCatalogue ||
            !catalogue::CategoryAt(combo3_->ListIndex()))
            return;
        reporting(window_, QStringLiteral("The items cannot be counted."),
                  [&] { counts_.countsFor(combo3_->ListIndex()); });
        list1_->viewport()->update();
        list2_->viewport()->update();
    };
    connect(showCounts_, &QAction::toggled, this, showCounts);
    connect(combo3, &ComboBox::Click, this, showCounts);
    connect(findDuplicates_, &QAction::triggered, this, &ListMenu::findDuplicates);
    connect(likeThis_, &QAction::triggered, this, &ListMenu::markLikeThis);
    connect(showItems_, &QAction::triggered, this, &ListMenu::showItems);
    // The shortcuts act only while their actions are enabled, so the actions
    // follow every change, and the lists' current rows and contents.
    connect(combo3, &ComboBox::Click, this, &ListMenu::updateActions);
    connect(window, &frmCombine::changed, this, &ListMenu::updateActions);
    for (ListBox* list : {list1, list2}) {
        QItemSelectionModel* sel = list->selectionModel();
        connect(sel, &QItemSelectionModel::currentChanged, this, &ListMenu::updateListActions);
        connect(sel, &QItemSelectionModel::selectionChanged, this, &ListMenu::updateListActions);
        connect(list->model(), &QAbstractItemModel::modelReset, this, &ListMenu::updateListActions);
        connect(list->model(), &QAbstractItemModel::rowsRemoved, this,
                &ListMenu::updateListActions);
    }
    updateListActions();

    for (ListBox* list : {list1, list2}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { showMenu(list, pos); });
    }
    updateActions();
}

std::vector<dupes::Entry> ListMenu::entries() const {
    std::vector<dupes::Entry> out;
    const int n = list1_->ListCount();
    out.reserve(static_cast<size_t>(std::max(0, n - 1)));
    for (int i = 1; i < n; ++i)
        out.push_back({list1_->ItemData(i), list1_->List(i).toStdString()});
    return out;
}

int ListMenu::renameRow() const {
    if (list2_->ListIndex() >= 0)
        return list2_->ListIndex();
    const QModelIndex current = list1_->currentIndex();
    return current.isValid() ? list1_->model()->logical(current.row()) : -1;
}

void ListMenu::updateRename() {
    because(rename_, dbCatalogue && dbCatalogue->IsOpen() &&
                             catalogue::CategoryAt(combo3_->ListIndex()) && renameRow() > 0
                         ? QString()
                         : QStringLiteral("Choose an entry to rename in either list."));
}

void ListMenu::updateActions() {
    const bool open = dbCatalogue && dbCatalogue->IsOpen();
    QString noHistory = open ? QString() : QStringLiteral("No catalogue is open.");
    QString noUndo;
    QString undoText = QStringLiteral("&Undo");
    std::optional<history::StepInfo> redoable;
    if (open) {
        try {
            const history::Status s = history::Inspect(*dbCatalogue);
            if (s.state == history::State::NoItemKey) {
                noHistory = ui::utf8(s.reason);
                noHistory[0] = noHistory[0].toUpper();
                noHistory += u'.';
            } else {
                if (const auto step = history::LastUndoable(*dbCatalogue)) {
                    QString kind = frmHistory::kindName(*step);
                    kind[0] = kind[0].toUpper();
                    undoText += u' ' + kind;
                } else {
                    noUndo = QStringLiteral("There is no combine to undo in this catalogue.");
                }
                redoable = history::LastRedoable(*dbCatalogue);
            }
        } catch (const std::exception&) {
            // The actions themselves report what is wrong.
        }
    }
    undo_->setText(undoText);
    because(undo_, noHistory.isEmpty() ? noUndo : noHistory);
    because(history_, noHistory);
    because(redo_, !noHistory.isEmpty() ? noHistory
                   : redoable           ? QString()
                                        : QStringLiteral("There is no undone step to redo."));
    if (redoable)
        redo_->setToolTip(QStringLiteral("Redo the ") + stepOf(*redoable));
    because(unusedEntries_, open && catalogue::CategoryAt(combo3_->ListIndex())
                                ? QString()
                                : QStringLiteral("Open a catalogue and choose a category."));
    because(clearRepeated_, open ? QString() : QStringLiteral("No catalogue is open."));
    updateListActions();
}

void ListMenu::updateListActions() {
    const bool listed = dbCatalogue && list1_->ListCount() > 1;
    because(findDuplicates_,
            listed ? QString() : QStringLiteral("There are no entries to look through."));
    because(likeThis_, listed && (menuRow_ > 0 || list2_->ListIndex() > 0)
                           ? QString()
                           : QStringLiteral("Choose an entry in the right list."));
    updateRename();
    updateShowItems();
}

void ListMenu::showMenu(ListBox* list, const QPoint& pos) {
    if (ui::programEnded())
        return;
    QMenu menu(list);
    menu.setObjectName(QStringLiteral("listMenu"));
    menu.setToolTipsVisible(true);
    const QModelIndex under = list->indexAt(pos);
    menuRow_ = under.isValid() ? list->model()->logical(under.row()) : -1;
    updateActions();
    menu.addAction(undo_);
    menu.addAction(redo_);
    menu.addAction(history_);
    menu.addSeparator();
    menu.addAction(rename_);
    menu.addAction(unusedEntries_);
    menu.addAction(clearRepeated_);
    menu.addSeparator();
    menu.addAction(showCounts_);
    menu.addAction(findDuplicates_);
    menu.addAction(likeThis_);
    updateShowItems();
    menu.addAction(showItems_);
    menu.exec(list->viewport()->mapToGlobal(pos));
    menuRow_ = -1;
    updateShowItems();
}

int ListMenu::itemsRow() const {
    if (menuRow_ >= 0)
        return menuRow_;
    if (list2_->ListIndex() >= 0)
        return list2_->ListIndex();
    const QModelIndex current = list1_->currentIndex();
    return current.isValid() ? list1_->model()->logical(current.row()) : -1;
}

void ListMenu::updateShowItems() {
    const int row = itemsRow();
    const bool shown = dbCatalogue && catalogue::CategoryAt(combo3_->ListIndex());
    QString tip;
    if (!shown || row < 0 || row >= list1_->ListCount())
        tip = QStringLiteral("Choose an entry in either list to see the items that refer to it.");
    else if (row == 0)
        tip = QStringLiteral("The blank row stands for no entry: choose an entry to see the items "
                             "that refer to it.");
    showItems_->setEnabled(tip.isEmpty());
    showItems_->setToolTip(
        tip.isEmpty()
            ? QStringLiteral("The items that refer to '%1' (Ctrl+I)").arg(list1_->List(row))
            : tip);
}

void ListMenu::showItemsOf(QWidget* parent, const dupes::Entry& entry) {
    const catalogue::Category* cat = catalogue::CategoryAt(combo3_->ListIndex());
    if (ui::programEnded() || !dbCatalogue || !cat)
        return;
    reporting(parent, QStringLiteral("The items cannot be shown."), [&] {
        std::unique_ptr<itemrows::ItemPages> pages;
        long long count = 0;
        {
            frmCombine::Busy busy(*window_);
            pages = std::make_unique<itemrows::ItemPages>(*dbCatalogue, *cat, entry.code);
            count = pages->count();
        }
        frmItems box(parent, ui::utf8(entry.name), std::move(pages), count);
        runDialog(box);
    });
}

void ListMenu::showItems() {
    updateShowItems();
    if (ui::programEnded() || !showItems_->isEnabled())
        return;
    const int row = itemsRow();
    showItemsOf(window_, {list1_->ItemData(row), list1_->List(row).toStdString()});
}

bool ListMenu::undoStep(QWidget* parent, const history::StepInfo& step) {
    engine::Database& db = *dbCatalogue;
    const history::UndoPreview preview = history::PreviewUndo(db, step);
    const bool rename = step.action == "rename";
    const history::MergeInfo& first = step.merges.front();
    QString prompt =
        QStringLiteral("Undo the %1?\n\n%2").arg(stepOf(step), frmHistory::describe(step));
    if (rename && preview.renameLeft)
        prompt += QStringLiteral("\n\nThe entry is no longer called %1 and will be left as it is.")
                      .arg(quoted(first.targetName));
    if (step.action == "delete")
        prompt += QStringLiteral("\n\n%1 will come back.")
                      .arg(ui::plural(preview.entriesBack, "entry", "entries"));
    else if (step.action == "clear")
        prompt +=
            QStringLiteral("\n\n%1 will get %2 second subject back.")
                .arg(ui::plural(preview.itemsBack, "item", "items"), their(preview.itemsBack));
    else if (!rename)
        prompt += QStringLiteral("\n\n%1 will get their old entries back.")
                      .arg(ui::plural(preview.itemsBack, "item", "items"));
    if (!rename) {
        if (preview.leftAlone)
            prompt += QStringLiteral(" %1 changed since will be left as they are.")
                          .arg(ui::plural(preview.leftAlone, "reference", "references"));
        prompt += entriesLeftText(preview.entriesLeft, false);
    }
    if (ui::msgBox(parent, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;

    history::UndoOutcome outcome;
    {
        frmCombine::Busy busy(*window_);
        // Entries that came back belong in the lists: they are filled anew.
        window_->showChange(CatalogueOperation(db).Undo(step, outcome));
    }
    QString done;
    if (rename) {
        done = outcome.renameLeft
                   ? QStringLiteral("The rename was not undone: the entry is no longer called "
                                    "%1, and it was left as it is.")
                         .arg(quoted(first.targetName))
                   : QStringLiteral("The rename was undone: the entry is called %1 again.")
                         .arg(quoted(first.mergedNames));
    } else {
        const QString items = ui::plural(outcome.itemsBack, "item", "items");
        const QString entries = ui::plural(outcome.entriesBack, "entry", "entries");
        done = QStringLiteral("The %1 was undone: ").arg(frmHistory::kindName(step)) +
               (step.action == "delete"  ? QStringLiteral("%1 came back.").arg(entries)
                : step.action == "clear" ? QStringLiteral("%1 got %2 second subject back.")
                                               .arg(items, their(outcome.itemsBack))
                                         : QStringLiteral("%1 got their old entries back and %2 "
                                                          "came back.")
                                               .arg(items, entries));
        if (outcome.leftAlone)
            done +=
                QStringLiteral("\n\n%1 had been changed since the %2 and %3 left as they are.")
                    .arg(ui::plural(outcome.leftAlone, "reference", "references"),
                         frmHistory::kindName(step),
                         outcome.leftAlone == 1 ? QStringLiteral("was") : QStringLiteral("were"));
        done += entriesLeftText(outcome.entriesLeft, true);
    }
    ui::msgBox(parent, done, ui::mb::Information);
    return true;
}

bool ListMenu::redoStep(QWidget* parent, const history::StepInfo& step) {
    engine::Database& db = *dbCatalogue;
    const history::RedoPreview preview = history::PreviewRedo(db, step);
    const bool rename = step.action == "rename";
    const history::MergeInfo& first = step.merges.front();
    QString prompt =
        QStringLiteral("Redo the %1?\n\n%2").arg(stepOf(step), frmHistory::describe(step));
    if (rename && preview.renameSkipped)
        prompt += QStringLiteral("\n\nThe entry is no longer called %1 and will be left as it is.")
                      .arg(quoted(first.mergedNames));
    if (step.action == "delete")
        prompt += QStringLiteral("\n\n%1 will be deleted.")
                      .arg(ui::plural(preview.entriesDeleted, "entry", "entries"));
    else if (step.action == "clear")
        prompt += QStringLiteral("\n\n%1 will lose %2 repeated second subject again.")
                      .arg(ui::plural(preview.referencesMoved, "item", "items"),
                           their(preview.referencesMoved));
    else if (!rename)
        prompt += QStringLiteral("\n\n%1 will be re-pointed and %2 deleted.")
                      .arg(ui::plural(preview.referencesMoved, "reference", "references"),
                           ui::plural(preview.entriesDeleted, "entry", "entries"));
    if (!rename) {
        if (preview.skipped)
            prompt += QStringLiteral(" %1 changed since will be left as they are.")
                          .arg(ui::plural(preview.skipped, "reference", "references"));
    }
    if (ui::msgBox(parent, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;

    history::RedoOutcome outcome;
    {
        frmCombine::Busy busy(*window_);
        window_->showChange(CatalogueOperation(db).Redo(step, outcome));
    }
    QString done;
    if (rename) {
        done = outcome.renameSkipped
                   ? QStringLiteral("The rename was not redone: the entry is no longer called "
                                    "%1, and it was left as it is.")
                         .arg(quoted(first.mergedNames))
                   : QStringLiteral("The rename was redone: the entry is called %1 again.")
                         .arg(quoted(first.targetName));
    } else {
        const QString entries = ui::plural(outcome.entriesDeleted, "entry", "entries");
        done = QStringLiteral("The %1 was redone: ").arg(frmHistory::kindName(step)) +
               (step.action == "delete" ? QStringLiteral("%1 deleted.").arg(entries)
                : step.action == "clear"
                    ? QStringLiteral("%1 lost %2 repeated second subject.")
                          .arg(ui::plural(outcome.referencesMoved, "item", "items"),
                               their(outcome.referencesMoved))
                    : QStringLiteral("%1 re-pointed and %2 deleted.")
                          .arg(ui::plural(outcome.referencesMoved, "reference", "references"),
                               entries));
        if (outcome.skipped)
            done += QStringLiteral("\n\n%1 had been changed since and %2 left as they are.")
                        .arg(ui::plural(outcome.skipped, "reference", "references"),
                             outcome.skipped == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    }
    ui::msgBox(parent, done, ui::mb::Information);
    return true;
}

void ListMenu::undoLastCombine() {
    updateActions();
    if (ui::programEnded() || !undo_->isEnabled())
        return;
    reporting(window_, QStringLiteral("The last step cannot be undone."), [&] {
        const std::optional<history::StepInfo> step = history::LastUndoable(*dbCatalogue);
        if (!step) {
            ui::msgBox(window_, QStringLiteral("There is no combine to undo in this catalogue."),
                       ui::mb::Information);
            return;
        }
        undoStep(window_, *step);
    });
}

void ListMenu::redoLastUndone() {
    updateActions();
    if (ui::programEnded() || !redo_->isEnabled())
        return;
    reporting(window_, QStringLiteral("The last undone step cannot be redone."), [&] {
        if (const std::optional<history::StepInfo> step = history::LastRedoable(*dbCatalogue))
            redoStep(window_, *step);
    });
}

bool ListMenu::forgetHistory(QWidget* parent) {
    if (ui::msgBox(parent,
                   QStringLiteral("Forget the whole combine history of this catalogue? The "
                                  "combines made so far can then no longer be undone."),
                   ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;
    CatalogueOperation(*dbCatalogue).Forget();
    counts_.historyChanged();
    return true;
}

void ListMenu::showHistory() {
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
        frmHistory::Actions actions;
        actions.reload = reload;
        actions.undo = [&](const history::StepInfo& step) {
            bool changed = false;
            reporting(dialog, QStringLiteral("The step cannot be undone."),
                      [&] { changed = undoStep(dialog, step); });
            return changed;
        };
        actions.redo = [&](const history::StepInfo& step) {
            bool changed = false;
            reporting(dialog, QStringLiteral("The step cannot be redone."),
                      [&] { changed = redoStep(dialog, step); });
            return changed;
        };
        actions.forget = [&] {
            bool changed = false;
            reporting(dialog, QStringLiteral("The combine history cannot be forgotten."),
                      [&] { changed = forgetHistory(dialog); });
            return changed;
        };
        frmHistory box(window_, std::move(actions));
        dialog = &box;
        runDialog(box);
    });
    // A forgotten history leaves nothing to undo.
    updateActions();
}

void ListMenu::renameEntry() {
    updateActions();
    const catalogue::Category* cat = catalogue::CategoryAt(combo3_->ListIndex());
    const int row = renameRow();
    if (ui::programEnded() || !rename_->isEnabled() || !cat || row <= 0)
        return;
    const std::int32_t code = list1_->ItemData(row);
    const QString old = list1_->List(row);
    frmRename box(window_, old);
    runDialog(box);
    const QString name = box.name();
    if (box.result() != QDialog::Accepted || name == old)
        return;
    if (name.trimmed().isEmpty()) {
        ui::msgBox(window_, QStringLiteral("An entry needs a name: the name was not changed."),
                   ui::mb::Exclamation);
        return;
    }
    // Another entry of that name, or else of that fingerprint, is the one to
    // combine into, through the window's own combine.
    reporting(window_, QStringLiteral("The entry cannot be renamed."), [&] {
        const int same = dupes::NamedLike(entries(), row - 1, name.toStdString()) + 1;
        if (same > 0) {
            markInLists({row}, same, false);
            window_->Command2_Click();
            return;
        }
        {
            frmCombine::Busy busy(*window_);
            window_->showChange(
                CatalogueOperation(*dbCatalogue).Rename(*cat, code, name.toStdString()));
        }
        for (int i = 1; i < list2_->ListCount(); ++i)
            if (list2_->ItemData(i) == code) {
                list2_->SetListIndex(i);
                for (ListBox* list : {list1_, list2_}) {
                    const QModelIndex at = list->model()->index(list->model()->physical(i));
                    list->selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
                    list->scrollTo(at);
                }
                break;
            }
    });
}

void ListMenu::markInLists(const std::vector<int>& rows, int target, bool withTarget) {
    ListBox::Batch batch(*list1_);
    list1_->clearSelection();
    for (int r : rows)
        if (withTarget || r != target)
            list1_->SetSelected(r, true);
    list2_->SetListIndex(target);
    list2_->scrollTo(list2_->model()->index(list2_->model()->physical(target)));
    for (int r : rows)
        if (r != target) {
            list1_->scrollTo(list1_->model()->index(list1_->model()->physical(r)));
            break;
        }
}

void ListMenu::markLikeThis() {
    if (ui::programEnded())
        return;
    const int row = menuRow_ > 0 ? menuRow_ : list2_->ListIndex();
    if (row <= 0)
        return;
    frmCombine::Busy busy(*window_);
    const std::vector<dupes::Entry> all = entries();
    std::vector<int> rows;
    for (int e : dupes::LikeThis(all, row - 1))
        rows.push_back(e + 1);
    markInLists(rows, row, true);
}

bool ListMenu::combineGroups(QWidget* parent, const catalogue::Category& cat,
                             const std::vector<dupes::Entry>& all,
                             const std::vector<dupes::Group>& groups) {
    bool done = false;
    reporting(parent, QStringLiteral("The checked clusters cannot be combined."), [&] {
        engine::Database& db = *dbCatalogue;
        const ItemCounts& counts = counts_.countsFor(cat.comboIndex);
        dupes::BatchPlan plan;
        {
            frmCombine::Busy busy(*window_);
            plan = dupes::PlanBatch(db, cat, all, groups, counts);
        }
        if (plan.merges.empty()) {
            ui::msgBox(parent, QStringLiteral("Nothing to Combine!"), ui::mb::OkOnly);
            return;
        }
        QString prompt = QStringLiteral("Combine %1 into %2? %3 will be re-pointed.")
                             .arg(ui::plural(plan.entries, "entry", "entries"),
                                  ui::plural(plan.targets, "entry", "entries"),
                                  ui::plural(plan.items, "item", "items"));
        if (cat.itemColumns.size() == 2)
            prompt += QStringLiteral(" %1 will end with the same %2 in both columns.")
                          .arg(ui::plural(plan.sameSubject, "item", "items"),
                               ui::utf8(cat.word).toLower());
        if (ui::msgBox(parent, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
            return;
        {
            frmCombine::Busy busy(*window_);
            window_->showChange(CatalogueOperation(db).Combine(cat, plan.merges));
        }
        done = true;
    });
    return done;
}

bool ListMenu::rule(const catalogue::Category& cat, const std::vector<ruledout::Pair>& pairs,
                    bool out) {
    bool done = false;
    reporting(dialogParent_,
              out ? QStringLiteral("The entries cannot be ruled out as duplicates.")
                  : QStringLiteral("The pairs cannot be taken back."),
              [&] {
                  frmCombine::Busy busy(*window_);
                  CatalogueOperation op(*dbCatalogue);
                  if (out)
                      op.RuleOut(cat, pairs);
                  else
                      op.TakeBack(cat, pairs);
                  done = true;
              });
    return done;
}

void ListMenu::findDuplicates() {
    if (ui::programEnded() || !dbCatalogue)
        return;
    const catalogue::Category* cat = catalogue::CategoryAt(combo3_->ListIndex());
    if (!cat)
        return;
    reporting(window_, QStringLiteral("The duplicates cannot be looked for."), [&] {
        const ItemCounts& counts = counts_.countsFor(cat->comboIndex);
        std::vector<dupes::Entry> all = entries();
        // The finder's messages have it as parent once it is there.
        dialogParent_ = window_;
        frmDuplicates::Actions actions;
        actions.base = dupes::SettingsFor(*cat);
        actions.combine = [&](const std::vector<dupes::Group>& groups) {
            return combineGroups(dialogParent_, *cat, all, groups);
        };
        actions.ruledOut = [&] {
            std::vector<ruledout::Pair> pairs;
            reporting(dialogParent_, QStringLiteral("The pairs ruled out cannot be read."),
                      [&] { pairs = ruledout::Read(*dbCatalogue, *cat); });
            return pairs;
        };
        actions.ruleOut = [&](const std::vector<ruledout::Pair>& pairs) {
            return rule(*cat, pairs, true);
        };
        actions.takeBack = [&](const std::vector<ruledout::Pair>& pairs) {
            return rule(*cat, pairs, false);
        };
        actions.showItems = [&](int entry) {
            showItemsOf(dialogParent_, all[static_cast<size_t>(entry)]);
        };
        frmDuplicates box(window_, ui::utf8(cat->caption), all, counts, std::move(actions));
        dialogParent_ = &box;
        runDialog(box);
        dialogParent_ = nullptr;
        if (box.result() == QDialog::Accepted && box.marked()) {
            const dupes::Group& g = *box.marked();
            std::vector<int> rows;
            for (const dupes::Member& m : g.members)
                if (m.checked)
                    rows.push_back(m.entry + 1);
            markInLists(rows, g.members[static_cast<size_t>(g.target)].entry + 1, false);
        }
    });
}

bool ListMenu::deleteUnused(QWidget* parent, const catalogue::Category& cat,
                            const std::vector<std::int32_t>& codes) {
    if (codes.empty()) {
        ui::msgBox(parent, QStringLiteral("No entry is checked: nothing was deleted."),
                   ui::mb::Information);
        return false;
    }
    const QString prompt =
        QStringLiteral("Delete %1 from %2? The deletion can be undone.")
            .arg(ui::plural(static_cast<long long>(codes.size()), "unused entry", "unused entries"),
                 ui::utf8(cat.caption));
    if (ui::msgBox(parent, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
        return false;
    history::DeleteOutcome outcome;
    {
        frmCombine::Busy busy(*window_);
        window_->showChange(CatalogueOperation(*dbCatalogue).DeleteUnused(cat, codes, outcome));
    }
    QString done =
        QStringLiteral("%1 deleted.").arg(ui::plural(outcome.deleted, "entry was", "entries were"));
    if (outcome.left)
        done +=
            QStringLiteral(" %1 in use by now, or gone, and left as %2.")
                .arg(ui::plural(outcome.left, "entry was", "entries were"),
                     outcome.left == 1 ? QStringLiteral("it was") : QStringLiteral("they were"));
    ui::msgBox(parent, done, ui::mb::Information);
    return true;
}

void ListMenu::unusedEntries() {
    updateActions();
    const catalogue::Category* cat = catalogue::CategoryAt(combo3_->ListIndex());
    if (ui::programEnded() || !unusedEntries_->isEnabled() || !cat)
        return;
    reporting(window_, QStringLiteral("The unused entries cannot be listed."), [&] {
        std::vector<unused::Entry> found;
        {
            frmCombine::Busy busy(*window_);
            found = unused::List(*dbCatalogue, *cat);
        }
        frmUnused* dialog = nullptr;
        frmUnused box(window_, ui::utf8(cat->caption), found,
                      [&](const std::vector<std::int32_t>& codes) {
                          bool done = false;
                          reporting(dialog, QStringLiteral("The entries cannot be deleted."),
                                    [&] { done = deleteUnused(dialog, *cat, codes); });
                          return done;
                      });
        dialog = &box;
        runDialog(box);
    });
    updateActions();
}

void ListMenu::clearRepeatedSubjects() {
    updateActions();
    if (ui::programEnded() || !clearRepeated_->isEnabled())
        return;
    reporting(window_, QStringLiteral("The repeated subjects cannot be cleared."), [&] {
        const long long repeated = unused::RepeatedSubjects(*dbCatalogue);
        if (repeated == 0) {
            ui::msgBox(window_,
                       QStringLiteral("No item has the same subject as its first and its second "
                                      "subject: nothing was changed."),
                       ui::mb::Information);
            return;
        }
        const QString prompt =
            QStringLiteral("%1 the same subject as first and as second subject. Clear the "
                           "second subject of %2? This can be undone.")
                .arg(ui::plural(repeated, "item has", "items have"),
                     repeated == 1 ? QStringLiteral("it") : QStringLiteral("them"));
        if (ui::msgBox(window_, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
            return;
        history::ClearOutcome outcome;
        {
            frmCombine::Busy busy(*window_);
            window_->showChange(CatalogueOperation(*dbCatalogue).ClearRepeated(outcome));
        }
        ui::msgBox(window_,
                   QStringLiteral("The second subject was cleared on %1.")
                       .arg(ui::plural(outcome.cleared, "item", "items")),
                   ui::mb::Information);
    });
    updateActions();
}
