// Item counts per lookup entry.
#include "itemcounts.h"

#include "query.h"
#include "wording.h"

#include <algorithm>
#include <cctype>

namespace {

std::string items(long long n) {
    return wording::Counted(n, "item", "items");
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

ItemCounts::ItemCounts(engine::Database& db, const catalogue::Category& category)
    : word_(lower(category.word)), columns_(category.itemColumns) {
    for (const std::string& column : columns_) {
        // The column's index answers this without reading the items.
        engine::Query q(db, "SELECT " + engine::QuoteName(column) + ", count(*) FROM " +
                                engine::QuoteName(catalogue::ItemTable) + " GROUP BY 1");
        std::unordered_map<std::int32_t, long long> m;
        while (q.Step())
            if (!q.IsNull(0))
                m[static_cast<std::int32_t>(q.Integer(0))] += q.Integer(1);
        counts_.push_back(std::move(m));
    }
}

long long ItemCounts::count(size_t column, std::int32_t code) const {
    if (column >= counts_.size())
        return 0;
    const auto it = counts_[column].find(code);
    return it == counts_[column].end() ? 0 : it->second;
}

long long ItemCounts::total(std::int32_t code) const {
    long long n = 0;
    for (size_t c = 0; c < counts_.size(); ++c)
        n += count(c, code);
    return n;
}

std::vector<long long> ItemCounts::unmatched(const std::unordered_set<std::int32_t>& known) const {
    std::vector<long long> out;
    for (const auto& m : counts_) {
        long long n = 0;
        for (const auto& [code, c] : m)
            if (code != -1 && !known.count(code))
                n += c;
        out.push_back(n);
    }
    return out;
}

void ItemCounts::merged(const std::vector<std::int32_t>& codes, std::int32_t target) {
    for (auto& m : counts_) {
        long long moved = 0;
        for (std::int32_t code : codes) {
            if (code == target)
                continue;
            const auto it = m.find(code);
            if (it != m.end()) {
                moved += it->second;
                m.erase(it);
            }
        }
        if (moved)
            m[target] += moved;
    }
}

void ItemCounts::moved(const std::vector<history::Moved>& moves) {
    for (const history::Moved& mv : moves) {
        const auto col = std::find(columns_.begin(), columns_.end(), mv.column);
        if (col == columns_.end())
            continue;
        auto& m = counts_[static_cast<size_t>(col - columns_.begin())];
        if ((m[mv.from] -= mv.count) <= 0)
            m.erase(mv.from);
        m[mv.to] += mv.count;
    }
}

std::string ItemCounts::describe(std::int32_t code) const {
    std::string out = items(total(code));
    if (counts_.size() == 2)
        out += ": " + wording::Grouped(count(0, code)) + " as first " + word_ + ", " +
               wording::Grouped(count(1, code)) + " as second";
    return out;
}

std::string ItemCounts::describeBlank(const std::unordered_set<std::int32_t>& known) const {
    const std::vector<long long> lost = unmatched(known);
    long long none = total(-1), other = 0;
    for (long long n : lost)
        other += n;
    std::string out = items(none) + " with no " + word_;
    if (counts_.size() == 2)
        out += " (" + wording::Grouped(count(0, -1)) + " as first, " +
               wording::Grouped(count(1, -1)) + " as second)";
    out += "; " + items(other) + " whose code matches no entry";
    if (counts_.size() == 2)
        out += " (" + wording::Grouped(lost[0]) + " as first, " + wording::Grouped(lost[1]) +
               " as second)";
    return out;
}
