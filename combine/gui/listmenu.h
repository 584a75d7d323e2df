// The lookup lists' context menu: the undo of the last combine, the combine
// history, item counts in the rows, the duplicate finder (with its pairs
// ruled out as not duplicates) and the marking of entries like one.
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

    // The menu's actions, which the window's menu bar offers too: one action
    // each, with one shortcut and one enabled state wherever it is shown.
    struct Actions {
        QAction* undo;
        QAction* history;
        QAction* showCounts;
        QAction* findDuplicates;
        QAction* likeThis;
    };
    Actions actions() const { return {undo_, history_, showCounts_, findDuplicates_, likeThis_}; }

public slots:
    // Event procedures of the menu. Each reports its failures in a message
    // box and leaves the catalogue as it was; none ends the program.
    void undoLastCombine();
    void showHistory();
    void findDuplicates();
    // Marks in List1 the entries of the same fingerprint as the entry under
    // the menu (or List2's current row) and makes that entry List2's current row.
    void markLikeThis();

    // Brings the actions in line with the open catalogue, the lists and the
    // row under the menu: each disabled where it cannot work, its tooltip
    // saying why, and the undo naming the step it would undo.
    void updateActions();
    // The same for the actions that depend on the lists alone.
    void updateListActions();

private:
    void showMenu(ListBox* list, const QPoint& pos);
    // Undoes step after the user's confirmation; true when it was undone.
    bool undoStep(QWidget* parent, const history::StepInfo& step);
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
    QAction* history_;
    QAction* showCounts_;
    QAction* findDuplicates_;
    QAction* likeThis_;
    QWidget* dialogParent_ = nullptr; // the duplicate finder while it is open
    int menuRow_ = -1;                // the row under the pointer when the menu opened
};
