// Draws the item counts beside the names of a lookup list.
#include "countdelegate.h"

#include "ui.h"

#include <QPainter>

void CountDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    QStyledItemDelegate::paint(p, option, index);
    const std::optional<long long> n = count_(index.data(Qt::UserRole).toInt());
    if (!n)
        return;
    p->save();
    const bool selected = option.state & QStyle::State_Selected;
    p->setPen(
        option.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
    p->drawText(option.rect.adjusted(0, 0, -4, 0), Qt::AlignRight | Qt::AlignVCenter,
                ui::number(*n));
    p->restore();
}
