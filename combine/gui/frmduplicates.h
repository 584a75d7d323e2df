// The duplicate finder: clusters of likely duplicates of the category shown,
// found in a worker thread on a copy of the names, for review, marking in
// the lists or combining in one step.
#pragma once

#include "duplicates.h"

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
    // combine runs the batch combine of the checked groups, with its own
    // confirmation, and returns true when it went through.
    frmDuplicates(QWidget* parent, const QString& caption, std::vector<dupes::Entry> entries,
                  const ItemCounts& counts,
                  std::function<bool(const std::vector<dupes::Group>&)> combine);
    ~frmDuplicates() override;

    // Starts finding with the chosen method, cancelling a search under way.
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

signals:
    void found();

private:
    struct Search;
    void poll();
    void fill(const std::vector<dedupe::Found>& clusters);
    void methodChanged();
    void updateButtons();
    void showTarget(QTreeWidgetItem* group);

    std::vector<dupes::Entry> entries_;
    std::vector<std::string> names_;
    const ItemCounts& counts_;
    std::function<bool(const std::vector<dupes::Group>&)> combine_;
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
    QPushButton* markButton_;
    QPushButton* combineButton_;
    QPushButton* targetButton_;
};
