// What the lookup lists offer beyond combining: their context menu with the
// undo of the last combine and the combine history.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QDialog;
class QPoint;
class ComboBox;
class ListBox;
class frmCombine;

namespace history {
struct StepInfo;
struct Moved;
} // namespace history

class ListTools : public QObject {
    Q_OBJECT
public:
    ListTools(frmCombine* window, ListBox* list1, ListBox* list2, ComboBox* combo3);

    // Tests set this to drive a dialog of the menu instead of showing it modally.
    static inline std::function<void(QDialog&)> onDialog;

    QAction* undoAction() const { return undo_; }
    QAction* historyAction() const { return history_; }

signals:
    // An undo has been committed: references of the category at comboIndex
    // went back from one code to another.
    void undone(int comboIndex, const std::vector<history::Moved>& moved);

public slots:
    // Event procedures of the menu. Each reports its failures in a message
    // box and leaves the catalogue as it was; none ends the program.
    void undoLastCombine();
    void showHistory();

    // Brings the actions in line with the open catalogue.
    void updateActions();

private:
    void showMenu(ListBox* list, const QPoint& pos);
    // Undoes step after the user's confirmation; true when it was undone.
    bool undoStep(QWidget* parent, const history::StepInfo& step);
    bool forgetHistory(QWidget* parent);

    frmCombine* window_;
    ListBox* list1_;
    ListBox* list2_;
    ComboBox* combo3_;
    QAction* undo_;
    QAction* history_;
};
