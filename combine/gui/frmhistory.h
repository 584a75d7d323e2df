// The combine history dialog: the recorded steps, newest first, with the
// undo and the redo of the chosen step, the history saved as CSV, and a way
// to forget it.
#pragma once

#include "history.h"

#include <QDialog>

#include <functional>
#include <vector>

class QPushButton;
class QTreeWidget;

class frmHistory : public QDialog {
    Q_OBJECT
public:
    // undo, redo and forget run the actions (with their own confirmations)
    // and return true when they changed the history; the list is then read
    // anew through reload.
    struct Actions {
        std::function<std::vector<history::StepInfo>()> reload;
        std::function<bool(const history::StepInfo&)> undo;
        std::function<bool(const history::StepInfo&)> redo;
        std::function<bool()> forget;
    };
    frmHistory(QWidget* parent, Actions actions);

    // The text of a step's "Combined" column: each merge's names into its
    // target, the rename, the entries deleted as unused or the subjects
    // cleared.
    static QString describe(const history::StepInfo& step);
    // What the step is called in prompts: "combine", "rename", "delete",
    // "clear" or "redo" (the undo entry reads "Undo Delete", "Undo Clear").
    static QString kindName(const history::StepInfo& step);

private:
    void fill();
    // The step of the current row, or null.
    const history::StepInfo* chosen() const;
    void updateButtons();
    // Asks for a file and writes the history there as CSV.
    void saveCsv();

    Actions actions_;
    std::vector<history::StepInfo> steps_;
    QTreeWidget* tree_;
    QPushButton* undoButton_;
    QPushButton* redoButton_;
    QPushButton* csvButton_;
    QPushButton* forgetButton_;
};
