// The item counts that the lookup lists show, and the names their entries
// were also known by: the counts counted per category when first asked for,
// then kept up to date from each change the window announces; the names read
// anew after each change.
#pragma once

#include "itemcounts.h"

#include <QObject>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

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

    // What the entries of the category at comboIndex were also known by
    // (history::KnownAs), read when first asked for after a change. Raises
    // as countsFor does.
    const std::map<std::int32_t, std::string>& knownAs(int comboIndex);
    // The combine history has changed outside the window's announcements.
    void historyChanged() { knownAs_.clear(); }

private:
    frmCombine* window_;
    ComboBox* combo3_;
    bool visible_ = false;
    std::map<int, ItemCounts> counts_;
    std::map<int, std::map<std::int32_t, std::string>> knownAs_;
};
