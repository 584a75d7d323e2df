// A lookup list's tooltips.
#include "listtips.h"

#include "catalogue.h"
#include "combine1.h"
#include "listbox.h"
#include "listcounts.h"
#include "ui.h"

#include <QHelpEvent>
#include <QToolTip>

#include <unordered_set>

ListTips::ListTips(ListBox* list, ListCounts& counts, ComboBox* combo3)
    : QObject(list), list_(list), counts_(counts), combo3_(combo3) {
    list->viewport()->installEventFilter(this);
}

bool ListTips::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip || ui::programEnded())
        return QObject::eventFilter(watched, event);
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = list_->indexAt(help->pos());
    if (!index.isValid() || !dbCatalogue || !catalogue::CategoryAt(combo3_->ListIndex()))
        return QObject::eventFilter(watched, event);
    QString tip;
    try {
        const ItemCounts& counts = counts_.countsFor(combo3_->ListIndex());
        const std::int32_t code = index.data(Qt::UserRole).toInt();
        if (code == -1 && index.row() == 0) {
            std::unordered_set<std::int32_t> known;
            for (int i = 1; i < list_->ListCount(); ++i)
                known.insert(list_->ItemData(i));
            tip = ui::utf8(counts.describeBlank(known));
        } else {
            tip = ui::utf8(counts.describe(code));
            const auto& known = counts_.knownAs(combo3_->ListIndex());
            if (const auto it = known.find(code); it != known.end())
                tip += u'\n' + ui::utf8(it->second);
        }
    } catch (const engine::Error& e) {
        tip = QStringLiteral("The items cannot be counted: ") + ui::utf8(e.Text());
    }
    QToolTip::showText(help->globalPos(), tip, list_->viewport());
    return true;
}
