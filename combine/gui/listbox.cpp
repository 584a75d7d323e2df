// The list box and drop-down list controls of the combine window.
#include "listbox.h"

#include "error.h"

#include <QItemSelectionModel>

#include <algorithm>

namespace {

// The text of a row position outside a list.
constexpr const char* InvalidIndexText = "Invalid property array index";

} // namespace

int ListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : announced_;
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= announced_)
        return {};
    const Row& r = rows_[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole)
        return r.text;
    if (role == Qt::UserRole)
        return r.data;
    return {};
}

int ListModel::count() const {
    return static_cast<int>(rows_.size() - pendingRemovals_.size());
}

// pendingRemovals_ is kept ascending, so a row position maps to its place in
// rows_ by stepping over the marked rows at or before it.
int ListModel::physical(int logical) const {
    int p = logical;
    for (int removed : pendingRemovals_) {
        if (removed > p)
            break;
        ++p;
    }
    return p;
}

int ListModel::logical(int physicalRow) const {
    const auto it = std::lower_bound(pendingRemovals_.begin(), pendingRemovals_.end(), physicalRow);
    if (it != pendingRemovals_.end() && *it == physicalRow)
        return -1;
    return physicalRow - static_cast<int>(it - pendingRemovals_.begin());
}

const ListModel::Row& ListModel::row(int i) const {
    return rows_[static_cast<size_t>(physical(i))];
}

ListModel::Row& ListModel::row(int i) {
    return rows_[static_cast<size_t>(physical(i))];
}

void ListModel::clear() {
    beginResetModel();
    rows_.clear();
    pendingRemovals_.clear();
    announced_ = 0;
    endResetModel();
}

void ListModel::append(const QString& text) {
    rows_.push_back({text, 0});
    if (batchDepth_ == 0)
        announce();
}

void ListModel::remove(int i) {
    const int p = physical(i);
    if (batchDepth_ > 0) {
        pendingRemovals_.insert(
            std::lower_bound(pendingRemovals_.begin(), pendingRemovals_.end(), p), p);
        return;
    }
    if (p < announced_) {
        beginRemoveRows(QModelIndex(), p, p);
        rows_.erase(rows_.begin() + p);
        --announced_;
        endRemoveRows();
    } else {
        rows_.erase(rows_.begin() + p);
    }
}

void ListModel::announce() {
    const int size = static_cast<int>(rows_.size());
    if (size <= announced_)
        return;
    beginInsertRows(QModelIndex(), announced_, size - 1);
    announced_ = size;
    endInsertRows();
}

void ListModel::beginBatch() {
    ++batchDepth_;
}

std::vector<int> ListModel::endBatch() {
    if (batchDepth_ == 0 || --batchDepth_ > 0)
        return {};
    std::vector<int> newRowOf;
    if (!pendingRemovals_.empty()) {
        const int announcedBefore = announced_;
        newRowOf.assign(static_cast<size_t>(announcedBefore), -1);
        // One pass moves every kept row to its new place, in place of one
        // shift of the whole vector per removed row.
        beginResetModel();
        size_t to = 0;
        auto next = pendingRemovals_.begin();
        for (size_t from = 0; from < rows_.size(); ++from) {
            if (next != pendingRemovals_.end() && static_cast<size_t>(*next) == from) {
                ++next;
                continue;
            }
            if (from < newRowOf.size())
                newRowOf[from] = static_cast<int>(to);
            if (to != from)
                rows_[to] = std::move(rows_[from]);
            ++to;
        }
        rows_.resize(to);
        pendingRemovals_.clear();
        announced_ = static_cast<int>(rows_.size());
        endResetModel();
    }
    announce();
    return newRowOf;
}

ListBox::ListBox(QWidget* parent) : QListView(parent), model_(new ListModel(this)) {
    setModel(model_);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    auto invalidate = [this] { selectedCacheValid_ = false; };
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, invalidate);
    connect(model_, &QAbstractItemModel::modelReset, this, invalidate);
    connect(model_, &QAbstractItemModel::rowsInserted, this, invalidate);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, invalidate);
}

void ListBox::checkRow(int i) const {
    if (i < 0 || i >= model_->count())
        throw engine::Error(engine::err::InvalidPropertyIndex, InvalidIndexText);
}

void ListBox::Clear() {
    model_->clear();
    newIndex_ = -1;
}

void ListBox::AddItem(const QString& text) {
    model_->append(text);
    newIndex_ = model_->count() - 1;
}

std::int32_t ListBox::ItemData(int i) const {
    checkRow(i);
    return model_->row(i).data;
}

void ListBox::SetItemData(int i, std::int32_t value) {
    checkRow(i);
    model_->row(i).data = value;
}

int ListBox::ListCount() const {
    return model_->count();
}

QString ListBox::List(int i) const {
    checkRow(i);
    return model_->row(i).text;
}

const std::vector<char>& ListBox::selectedFlags() const {
    if (!selectedCacheValid_) {
        selectedCache_.assign(static_cast<size_t>(model_->rowCount()), 0);
        for (const QItemSelectionRange& range : selectionModel()->selection()) {
            const int last = std::min(range.bottom(), static_cast<int>(selectedCache_.size()) - 1);
            for (int r = std::max(range.top(), 0); r <= last; ++r)
                selectedCache_[static_cast<size_t>(r)] = 1;
        }
        selectedCacheValid_ = true;
    }
    return selectedCache_;
}

bool ListBox::Selected(int i) const {
    checkRow(i);
    const size_t p = static_cast<size_t>(model_->physical(i));
    const std::vector<char>& flags = selectedFlags();
    return p < flags.size() && flags[p] != 0;
}

void ListBox::SetSelected(int i, bool selected) {
    checkRow(i);
    if (selected && selectionMode() == QAbstractItemView::SingleSelection) {
        SetListIndex(i);
        return;
    }
    model_->announce();
    selectionModel()->select(model_->index(model_->physical(i)),
                             selected ? QItemSelectionModel::Select
                                      : QItemSelectionModel::Deselect);
}

void ListBox::RemoveItem(int i) {
    checkRow(i);
    model_->remove(i);
    newIndex_ = -1;
}

int ListBox::ListIndex() const {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || !selectionModel()->isSelected(current))
        return -1;
    return model_->logical(current.row());
}

void ListBox::SetListIndex(int i) {
    if (i < 0) {
        selectionModel()->clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    checkRow(i);
    model_->announce();
    const QModelIndex index = model_->index(model_->physical(i));
    selectionModel()->setCurrentIndex(index, selectionMode() == QAbstractItemView::SingleSelection
                                                 ? QItemSelectionModel::ClearAndSelect
                                                 : QItemSelectionModel::Select);
}

void ListBox::endBatch() {
    // A compaction resets the model, which forgets selection and current
    // row: both are read before and put back under the rows' new positions.
    // The selection holds persistent indexes, which the reset invalidates:
    // its ranges are copied as plain row numbers.
    std::vector<std::pair<int, int>> before;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        before.emplace_back(range.top(), range.bottom());
    const int currentBefore = currentIndex().isValid() ? currentIndex().row() : -1;
    const std::vector<int> newRowOf = model_->endBatch();
    if (newRowOf.empty())
        return;

    auto mapped = [&](int r) {
        return r >= 0 && static_cast<size_t>(r) < newRowOf.size() ? newRowOf[static_cast<size_t>(r)]
                                                                  : -1;
    };
    QItemSelection after;
    for (const auto& [top, bottom] : before) {
        int first = -1, last = -1;
        for (int r = top; r <= bottom; ++r) {
            const int n = mapped(r);
            if (n < 0)
                continue;
            if (first >= 0 && n == last + 1) {
                last = n;
                continue;
            }
            if (first >= 0)
                after.select(model_->index(first), model_->index(last));
            first = last = n;
        }
        if (first >= 0)
            after.select(model_->index(first), model_->index(last));
    }
    if (const int current = mapped(currentBefore); current >= 0)
        selectionModel()->setCurrentIndex(model_->index(current), QItemSelectionModel::NoUpdate);
    if (!after.isEmpty())
        selectionModel()->select(after, QItemSelectionModel::Select);
}

ComboBox::ComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    connect(this, &QComboBox::activated, this, [this](int) { emit Click(); });
}

void ComboBox::AddItem(const QString& text) {
    // QComboBox chooses its first item by itself; the list chooses nothing
    // until told to.
    const int before = currentIndex();
    addItem(text);
    if (currentIndex() != before)
        setCurrentIndex(before);
}

void ComboBox::SetListIndex(int i) {
    setCurrentIndex(i);
    emit Click();
}
