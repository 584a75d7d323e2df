// The lookup lists' context menu: the undo of the last step and the redo of
// the last undone one, the combine history, the rename of an entry, item
// counts in the rows, the duplicate finder (with its pairs ruled out as not
// duplicates) and the marking of entries like one.
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

    // Brings the actions in line with the open catalogue.
    void updateActions();

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
    QWidget* dialogParent_ = nullptr; // the duplicate finder while it is open
    int menuRow_ = -1;                // the row under the pointer when the menu opened
};
