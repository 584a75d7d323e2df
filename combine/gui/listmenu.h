// The lookup lists' context menu: the undo of the last step and the redo of
// the last undone one, the combine history, the rename of an entry, item
// counts in the rows, the duplicate finder (with its pairs ruled out as not
// duplicates), the marking of entries like one, the items behind an entry,
// the deletion of unused entries and the clearing of repeated subjects.
#pragma once

#include "duplicates.h"
#include "ruledout.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QDialog;
class QPoint;
class ComboBox;
class ListBox;
class ListCounts;
class frmCombine;

namespace history {
struct StepInfo;
} // namespace history

class ListMenu : public QObject {
    Q_OBJECT
public:
    ListMenu(frmCombine* window, ListBox* list1, ListBox* list2, ComboBox* combo3,
             ListCounts& counts);

    // Tests set this to drive a dialog of the menu instead of showing it modally.
    static inline std::function<void(QDialog&)> onDialog;
    // Shows box modally, or hands it to onDialog when a test has set one.
    static void runDialog(QDialog& box);

    // The menu's actions, which the window's menu bar offers too: one action
    // each, with one shortcut and one enabled state wherever it is shown.
    struct Actions {
        QAction* undo;
        QAction* history;
        QAction* showCounts;
        QAction* findDuplicates;
        QAction* likeThis;
        QAction* showItems;
        QAction* redo;
        QAction* rename;
        QAction* unusedEntries;
        QAction* clearRepeated;
    };
    Actions actions() const {
        return {undo_,      history_, showCounts_, findDuplicates_, likeThis_,
                showItems_, redo_,    rename_,     unusedEntries_,  clearRepeated_};
    }

public slots:
    // Event procedures of the menu. Each reports its failures in a message
    // box and leaves the catalogue as it was; none ends the program.
    void undoLastCombine();
    void redoLastUndone();
    void showHistory();
    // Renames List2's current entry, else List1's, after asking for the
    // name; a name another entry has leads to the window's combine instead.
    void renameEntry();
    void findDuplicates();
    // Marks in List1 the entries of the same fingerprint as the entry under
    // the menu (or List2's current row) and makes that entry List2's current row.
    void markLikeThis();
    // Shows the items that refer to the entry under the menu, else List2's
    // current row, else List1's.
    void showItems();
    // Lists the unused entries of the category shown and deletes the
    // checked ones after the user's confirmation.
    void unusedEntries();
    // Clears the second subject where it repeats the first, after the
    // user's confirmation.
    void clearRepeatedSubjects();

    // Brings the actions in line with the open catalogue, the lists and the
    // row under the menu: each disabled where it cannot work, its tooltip
    // saying why, and the undo naming the step it would undo.
    void updateActions();
    // The same for the actions that depend on the lists alone.
    void updateListActions();
    // Enables Show Items for an entry's row, or says in its tooltip why not.
    void updateShowItems();

private:
    void showMenu(ListBox* list, const QPoint& pos);
    // Undoes step after the user's confirmation; true when it was undone.
    bool undoStep(QWidget* parent, const history::StepInfo& step);
    // Redoes the undone step after the user's confirmation; true when it was redone.
    bool redoStep(QWidget* parent, const history::StepInfo& step);
    // The row the rename acts on: List2's current row, else List1's; -1 for none.
    int renameRow() const;
    void updateRename();
    bool forgetHistory(QWidget* parent);
    // Combines the checked groups after the user's confirmation.
    bool combineGroups(QWidget* parent, const catalogue::Category& category,
                       const std::vector<dupes::Entry>& entries,
                       const std::vector<dupes::Group>& groups);
    // Records pairs of category's entries as not duplicates (out), or takes
    // them back; true when it went through. Failures are reported on the
    // finder.
    bool rule(const catalogue::Category& category, const std::vector<ruledout::Pair>& pairs,
              bool out);
    // The lists' entries (rows 1 onwards) as plain values.
    std::vector<dupes::Entry> entries() const;
    // Marks rows in List1 (target among them only withTarget) and makes
    // target List2's current row, both scrolled into view.
    void markInLists(const std::vector<int>& rows, int target, bool withTarget);
    // The row Show Items acts on, or -1.
    int itemsRow() const;
    // Opens the items of entry of the category shown; failures are reported on parent.
    void showItemsOf(QWidget* parent, const dupes::Entry& entry);
    // Deletes the unused entries of category with codes after the user's
    // confirmation; true when they were deleted.
    bool deleteUnused(QWidget* parent, const catalogue::Category& category,
                      const std::vector<std::int32_t>& codes);

    frmCombine* window_;
    ListBox* list1_;
    ListBox* list2_;
    ComboBox* combo3_;
    ListCounts& counts_;
    QAction* undo_;
    QAction* redo_;
    QAction* history_;
    QAction* rename_;
    QAction* showCounts_;
    QAction* findDuplicates_;
    QAction* likeThis_;
    QAction* showItems_;
    QAction* unusedEntries_;
    QAction* clearRepeated_;
    QWidget* dialogParent_ = nullptr; // the duplicate finder while it is open
    int menuRow_ = -1;                // the row under the pointer when the menu opened
};
