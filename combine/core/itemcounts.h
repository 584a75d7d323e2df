// How many items refer to each lookup entry, per item column of a category:
// counted once with one grouped query per column, then kept up to date from
// what each combine and undo moved, without counting again.
#pragma once

#include "catalogue.h"
#include "engine.h"
#include "history.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class ItemCounts {
public:
    ItemCounts() = default;
    // Counts the references of every item column of category. Raises the engine's errors.
    ItemCounts(engine::Database& db, const catalogue::Category& category);

    const std::vector<std::string>& columns() const { return columns_; }
    // References to code in column (by position), and in all columns.
    long long count(size_t column, std::int32_t code) const;
    long long total(std::int32_t code) const;

    // References in each column to codes outside known (the entries of the
    // table) other than -1, the code of no entry.
    std::vector<long long> unmatched(const std::unordered_set<std::int32_t>& known) const;

    // After a combine: the references of codes now belong to target.
    void merged(const std::vector<std::int32_t>& codes, std::int32_t target);
    // After an undo: references moved back column by column.
    void moved(const std::vector<history::Moved>& moves);

    // A row's tooltip, e.g. "1,234 items: 1,200 as first subject, 34 as second".
    std::string describe(std::int32_t code) const;
    // The blank row's tooltip: items that refer to no entry, and those whose
    // code matches no entry.
    std::string describeBlank(const std::unordered_set<std::int32_t>& known) const;

private:
    std::string word_;
    std::vector<std::string> columns_;
    std::vector<std::unordered_map<std::int32_t, long long>> counts_;
};
