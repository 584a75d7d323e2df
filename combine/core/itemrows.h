// The items that refer to one lookup entry, read a page at a time in the
// order of the item table's key, for a view that shows them as it scrolls:
// every field of the item table under its own name, and each item once,
// however many of the category's item columns hold the entry's code.
#pragma once

#include "catalogue.h"
#include "engine.h"
#include "query.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace itemrows {

// One item's fields in the order of the columns; nullopt for a Null.
using Row = std::vector<std::optional<std::string>>;

class ItemPages {
public:
    static constexpr int DefaultPageSize = 250;

    // Prepares the reading of the items whose item columns of category hold
    // code, pageSize at a time. Raises InvalidArgument for a pageSize below 1
    // and the engine's errors (TableNotFound without an item table).
    ItemPages(engine::Database& db, const catalogue::Category& category, std::int32_t code,
              int pageSize = DefaultPageSize);

    // The item table's fields, in stored order, as the rows hold them.
    const std::vector<std::string>& columns() const { return columns_; }

    // How many items refer to the entry, each counted once. Raises the engine's errors.
    long long count();

    // The next items after those already read, up to pageSize of them in
    // key order; fewer at the end and none after it. Raises the engine's errors.
    std::vector<Row> next();
    bool atEnd() const { return atEnd_; }

private:
    std::vector<std::string> columns_;
    std::unique_ptr<engine::Query> page_;
    std::unique_ptr<engine::Query> count_;
    std::int32_t code_;
    int pageSize_;
    long long lastKey_;
    bool atEnd_ = false;
};

} // namespace itemrows
