// The item counts that the lookup lists show.
#include "listcounts.h"

#include "catalogue.h"
#include "combine1.h"
#include "frmcombine.h"
#include "listbox.h"

ListCounts::ListCounts(frmCombine* window, ComboBox* combo3)
    : QObject(window), window_(window), combo3_(combo3) {
    // Counts follow each combine and undo without being counted again.
    connect(window, &frmCombine::changed, this, [this](const CatalogueChange& change) {
        historyChanged();
        const auto it = counts_.find(change.comboIndex);
        if (it == counts_.end())
            return;
        for (const CatalogueChange::Merged& m : change.merged)
            it->second.merged(m.codes, m.target);
        it->second.moved(change.moved);
    });
}

const ItemCounts& ListCounts::countsFor(int comboIndex) {
    auto it = counts_.find(comboIndex);
    if (it == counts_.end()) {
        const catalogue::Category* cat = catalogue::CategoryAt(comboIndex);
        if (!cat || !dbCatalogue)
            throw engine::Error(engine::err::InvalidOperation, "No category is shown.");
        frmCombine::Busy busy(*window_);
        it = counts_.emplace(comboIndex, ItemCounts(*dbCatalogue, *cat)).first;
    }
    return it->second;
}

const std::map<std::int32_t, std::string>& ListCounts::knownAs(int comboIndex) {
    auto it = knownAs_.find(comboIndex);
    if (it == knownAs_.end()) {
        const catalogue::Category* cat = catalogue::CategoryAt(comboIndex);
        if (!cat || !dbCatalogue)
            throw engine::Error(engine::err::InvalidOperation, "No category is shown.");
        it = knownAs_.emplace(comboIndex, history::KnownAs(*dbCatalogue, *cat)).first;
    }
    return it->second;
}

std::optional<long long> ListCounts::shown(std::int32_t code) const {
    if (!visible_ || code == -1)
        return std::nullopt;
    const auto it = counts_.find(combo3_->ListIndex());
    if (it == counts_.end())
        return std::nullopt;
    return it->second.total(code);
}
