// A lookup list's tooltips: how many items refer to the entry under the
// pointer, per item column, and the names other entries combined into it
// had; for the blank row the items that refer to no entry or to a code that
// matches none.
#pragma once

#include <QObject>

class ComboBox;
class ListBox;
class ListCounts;

class ListTips : public QObject {
    Q_OBJECT
public:
    // Watches list's tooltip events; lives as long as list.
    ListTips(ListBox* list, ListCounts& counts, ComboBox* combo3);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;

    ListBox* list_;
    ListCounts& counts_;
    ComboBox* combo3_;
};
