// The window's list controls: a list box of texts with 32-bit item data over
// a flat model, and a drop-down list whose choice raises one Click
// notification, whether made by the user or set by the program.
#pragma once

#include <QAbstractListModel>
#include <QComboBox>
#include <QListView>

#include <cstdint>
#include <vector>

// The rows of one list box: texts and item data in one vector. Between
// BeginBatch and EndBatch appended rows are held back from the views and
// announced in one notification, and removals made in descending order are
// applied in one pass.
class ListModel : public QAbstractListModel {
    Q_OBJECT
public:
    struct Row {
        QString text;
        std::int32_t data = 0;
    };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The rows as the program sees them: inside a batch, rows not yet
    // announced count and rows marked for removal do not.
    int count() const;
    const Row& row(int i) const;
    Row& row(int i);
    // Position in the views of the program's row i, and back (-1 for a row
    // marked for removal).
    int physical(int logical) const;
    int logical(int physicalRow) const;

    void clear();
    void append(const QString& text);
    // Removes row i; inside a batch it is only marked.
    void remove(int i);
    // Tells the views about rows appended inside a batch.
    void announce();

    void beginBatch();
    // Ends the outermost batch: marked rows are dropped in one pass (the
    // views are reset) and appended rows announced. Returns the new position
    // of every row the views knew, -1 for a dropped one; empty when nothing
    // was dropped.
    std::vector<int> endBatch();

private:
    std::vector<Row> rows_;
    int announced_ = 0; // rows the views know about
    int batchDepth_ = 0;
    std::vector<int> pendingRemovals_; // positions in rows_, ascending
};

// A list box: the operations the window needs, over a QListView. Row
// positions and counts are 32-bit.
class ListBox : public QListView {
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    void Clear();
    void AddItem(const QString& text);
    int NewIndex() const { return newIndex_; }
    std::int32_t ItemData(int i) const;
    void SetItemData(int i, std::int32_t value);
    int ListCount() const;
    QString List(int i) const;
    bool Selected(int i) const;
    void SetSelected(int i, bool selected);
    void RemoveItem(int i);
    // The current row when it is selected, else -1.
    int ListIndex() const;
    // Makes row i the current row and, in single selection, the selected
    // one; -1 leaves no current row and nothing selected.
    void SetListIndex(int i);
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool enabled) { setEnabled(enabled); }

    ListModel* model() const { return model_; }

    // Holds notifications to the views back while it lives: a fill or a
    // removal pass costs one notification however many rows it touches.
    class Batch {
    public:
        explicit Batch(ListBox& box) : box_(box) { box_.model_->beginBatch(); }
        ~Batch() { box_.endBatch(); }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        ListBox& box_;
    };

private:
    void checkRow(int i) const;
    void endBatch();
    const std::vector<char>& selectedFlags() const;

    ListModel* model_;
    int newIndex_ = -1;
    // Selected flag per row, rebuilt from the selection model when needed:
    // the selection model answers one row in time proportional to its
    // ranges, which a pass over 200,000 rows cannot afford.
    mutable std::vector<char> selectedCache_;
    mutable bool selectedCacheValid_ = false;
};

// A drop-down list without edit field. Items stay in the order added and
// adding one chooses nothing. Click is emitted for every choice of the user,
// also of the entry already chosen, and whenever SetListIndex sets a choice.
class ComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit ComboBox(QWidget* parent = nullptr);

    void AddItem(const QString& text);
    int ListCount() const { return count(); }
    int ListIndex() const { return currentIndex(); }
    void SetListIndex(int i);

signals:
    void Click();
};
