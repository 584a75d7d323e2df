// The item counts that the lookup lists show: counted per category when first
// asked for, then kept up to date from each change the window announces.
#pragma once

#include "itemcounts.h"

#include <QObject>

#include <cstdint>
#include <map>
#include <optional>

class ComboBox;
class frmCombine;

class ListCounts : public QObject {
    Q_OBJECT
public:
    ListCounts(frmCombine* window, ComboBox* combo3);

    // The counts of the category at comboIndex, counted under the hourglass
    // when first asked for. Raises InvalidOperation when no catalogue is open
    // or there is no such category, and the engine's errors.
    const ItemCounts& countsFor(int comboIndex);

    // Whether the rows show their counts.
    bool visible() const { return visible_; }
    void setVisible(bool visible) { visible_ = visible; }

    // The count a row of code draws, when counts are shown and counted for
    // the category on show; none for the blank row.
    std::optional<long long> shown(std::int32_t code) const;

private:
    frmCombine* window_;
    ComboBox* combo3_;
    bool visible_ = false;
    std::map<int, ItemCounts> counts_;
};
