// The duplicate finder: the likely duplicates of the category shown, found
// in a worker thread on a copy of the names, as clusters ranked by how sure
// the finder is of them, each with its reason, for review, marking in the
// lists, combining in one step or ruling out as not duplicates.
#pragma once

#include "duplicates.h"
#include "ruledout.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <thread>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class frmDuplicates : public QDialog {
    Q_OBJECT
public:
    // What the dialog asks of the window, which alone touches the catalogue.
    // combine runs the batch combine of the checked groups, ruleOut records
    // pairs as not duplicates and takeBack takes such rulings back: each with
    // its own confirmation and error report, true when it went through.
    // ruledOut reads the category's rulings (none after a reported failure).
    struct Actions {
        std::function<bool(const std::vector<dupes::Group>&)> combine;
        std::function<std::vector<ruledout::Pair>()> ruledOut;
        std::function<bool(const std::vector<ruledout::Pair>&)> ruleOut;
        std::function<bool(const std::vector<ruledout::Pair>&)> takeBack;
        // Shows the items of the entry at that position of the entries.
        std::function<void(int)> showItems;
        // The settings every search starts from (dupes::SettingsFor).
        dedupe::Settings base;
    };

    // Opens on the first method, "Suggested", and starts finding at once.
    frmDuplicates(QWidget* parent, const QString& caption, std::vector<dupes::Entry> entries,
                  const ItemCounts& counts, Actions actions);
    ~frmDuplicates() override;

    // Starts finding with the chosen method and the rulings read anew,
    // cancelling a search under way.
    void find();
    void cancel();
    bool busy() const { return worker_ != nullptr; }

    // The groups as the tree shows them, with the user's checks and targets.
    std::vector<dupes::Group> groups() const;
    // The group chosen for marking in the lists, after "Mark in Lists".
    const std::optional<dupes::Group>& marked() const { return marked_; }
    const std::vector<dupes::Entry>& entries() const { return entries_; }

    // Makes the member under the tree's current row its group's target.
    void makeTarget();
    // Rules out the cluster under the tree's current row (every pair of it),
    // or its member (against each other member), and takes it off the list.
    void notDuplicates();
    // Checks or unchecks every cluster and member.
    void checkAll(bool on);
    // Opens the list of the pairs ruled out, whose taking back finds anew.
    void showRuledOut();
    // Shows the items of the member under the tree's current row.
    void showItems();

signals:
    void found();

protected:
    // The tree's keys: Space checks, Return marks in the lists, Delete rules out.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Search;
    // Takes the worker's progress and, once it is done, its clusters or its failure.
    void poll();
    // Shows the clusters found as groups, the first one current.
    void fill(const std::vector<dedupe::Found>& clusters);
    // Shows groups_ anew, the current row at group g, member m (-1: the group),
    // both kept within what is there.
    void showGroups(int g, int m);
    // The count of clusters, checked ones and items they would re-point.
    void showSummary();
    // The spin box for the method chosen: its range, default and tooltip.
    void methodChanged();
    void updateButtons();
    // A group's row: its target's name, the items it re-points, the target marked.
    void showTarget(QTreeWidgetItem* group);
    // The tree's context menu at pos, for the row there.
    void showMenu(const QPoint& pos);

    std::vector<dupes::Entry> entries_;
    std::vector<std::string> names_;
    const ItemCounts& counts_;
    Actions actions_;
    std::vector<dupes::Group> groups_;
    std::optional<dupes::Group> marked_;

    std::shared_ptr<Search> search_;
    std::unique_ptr<std::thread> worker_;
    QTimer* timer_;

    QComboBox* method_;
    QSpinBox* parameter_;
    QPushButton* findButton_;
    QPushButton* cancelButton_;
    QProgressBar* progress_;
    QLabel* summary_;
    QTreeWidget* tree_;
    QPushButton* checkAllButton_;
    QPushButton* uncheckAllButton_;
    QPushButton* notDuplicatesButton_;
    QPushButton* ruledOutButton_;
    QPushButton* markButton_;
    QPushButton* combineButton_;
    QPushButton* targetButton_;
    QPushButton* showItemsButton_;
};
