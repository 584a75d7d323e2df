// The items that refer to one lookup entry, a page at a time.
#include "itemrows.h"

#include "history.h"

#include <climits>

namespace itemrows {

using engine::QuoteName;

ItemPages::ItemPages(engine::Database& db, const catalogue::Category& cat, std::int32_t code,
                     int pageSize)
    : columns_(history::ColumnsOf(db, catalogue::ItemTable)), code_(code), pageSize_(pageSize),
      lastKey_(LLONG_MIN) {
    if (pageSize < 1)
        throw engine::Error(engine::err::InvalidArgument, "A page holds at least one item.");
    if (columns_.empty())
        throw engine::Error(engine::err::TableNotFound,
                            "The catalogue has no table '" + catalogue::ItemTable + "'.");
    // The INTEGER PRIMARY KEY is the rowid itself; without one the rowid
    // still orders the items for as long as the file is open.
    const std::string key = history::Inspect(db).itemKey;
    const std::string k = key.empty() ? std::string("rowid") : QuoteName(key);
    const std::string table = QuoteName(catalogue::ItemTable);
    std::string fields;
    for (const std::string& c : columns_)
        fields += ", " + QuoteName(c);
    // Each column's index yields its next keys in order: the first pageSize
    // of each, united, give the page whatever the number of items.
    std::string keys, all;
    for (const std::string& column : cat.itemColumns) {
        const std::string where = " FROM " + table + " WHERE " + QuoteName(column) + " = ?1";
        keys += std::string(keys.empty() ? "" : " UNION ") + "SELECT k FROM (SELECT " + k +
                " AS k" + where + " AND " + k + " > ?2 ORDER BY 1 LIMIT ?3)";
        all += std::string(all.empty() ? "" : " UNION ") + "SELECT " + k + where;
    }
    page_ = std::make_unique<engine::Query>(db, "SELECT " + k + fields + " FROM " + table +
                                                    " WHERE " + k + " IN (" + keys +
                                                    " ORDER BY 1 LIMIT ?3) ORDER BY " + k);
    count_ = std::make_unique<engine::Query>(db, "SELECT count(*) FROM (" + all + ")");
}

long long ItemPages::count() {
    count_->Rewind();
    count_->Bind(1, code_);
    return count_->Step() ? count_->Integer(0) : 0;
}

std::vector<Row> ItemPages::next() {
    std::vector<Row> rows;
    if (atEnd_)
        return rows;
    page_->Rewind();
    page_->Bind(1, code_).Bind(2, lastKey_).Bind(3, pageSize_);
    const int n = static_cast<int>(columns_.size());
    long long last = lastKey_;
    while (page_->Step()) {
        last = page_->Integer(0);
        Row row;
        row.reserve(columns_.size());
        for (int c = 1; c <= n; ++c)
            row.push_back(page_->IsNull(c) ? std::nullopt : std::optional(page_->Text(c)));
        rows.push_back(std::move(row));
    }
    lastKey_ = last;
    atEnd_ = static_cast<int>(rows.size()) < pageSize_;
    return rows;
}

} // namespace itemrows
