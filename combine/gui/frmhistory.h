// The combine history dialog: the recorded combines and undos, newest first,
// with the undo of the newest combine and a way to forget the history.
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
    // undo and forget run the actions (with their own confirmations) and
    // return true when they changed the history; the list is then read anew
    // through reload.
    frmHistory(QWidget* parent, std::function<std::vector<history::StepInfo>()> reload,
               std::function<bool()> undo, std::function<bool()> forget);

    // The text of a step's "Combined" column: each merge's names into its target.
    static QString describe(const history::StepInfo& step);

private:
    void fill();

    std::function<std::vector<history::StepInfo>()> reload_;
    QTreeWidget* tree_;
    QPushButton* undoButton_;
    QPushButton* forgetButton_;
};
