// Draws a lookup list's rows as usual and, where a count is given, the row's
// item count right-aligned in a muted colour. The row's text stays the name.
#pragma once

#include <QStyledItemDelegate>

#include <cstdint>
#include <functional>
#include <optional>

class CountDelegate : public QStyledItemDelegate {
public:
    // count gives the count to draw for a row's code, or none.
    CountDelegate(QObject* parent, std::function<std::optional<long long>(std::int32_t)> count)
        : QStyledItemDelegate(parent), count_(std::move(count)) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    std::function<std::optional<long long>(std::int32_t)> count_;
};
