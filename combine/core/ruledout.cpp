// Pairs of lookup entries ruled out as duplicates.
#include "ruledout.h"

#include "history.h"
#include "query.h"

#include <algorithm>
#include <unordered_map>

namespace ruledout {
namespace {

// The table's statement: one row per pair and category, the codes in order.
const char* const createTable = "CREATE TABLE combine_ruled_out (\n"
                                "    category TEXT NOT NULL,\n"
                                "    code_1   INTEGER NOT NULL,\n"
                                "    code_2   INTEGER NOT NULL,\n"
                                "    name_1   TEXT,\n"
                                "    name_2   TEXT,\n"
                                "    at       TEXT NOT NULL,\n"
                                "    PRIMARY KEY (category, code_1, code_2))";

Pair ordered(const dupes::Entry& a, const dupes::Entry& b) {
    if (b.code < a.code)
        return {b.code, a.code, b.name, a.name, {}};
    return {a.code, b.code, a.name, b.name, {}};
}

} // namespace

std::vector<Pair> Read(engine::Database& db, const catalogue::Category& category) {
    std::vector<Pair> out;
    if (!history::TableExists(db, Table))
        return out;
    engine::Query q(db, "SELECT code_1, code_2, name_1, name_2, at FROM combine_ruled_out "
                        "WHERE category = ?1 ORDER BY name_1, name_2");
    q.Bind(1, category.word);
    while (q.Step())
        out.push_back({static_cast<std::int32_t>(q.Integer(0)),
                       static_cast<std::int32_t>(q.Integer(1)), q.Text(2), q.Text(3), q.Text(4)});
    return out;
}

std::vector<Pair> PairsOf(const std::vector<dupes::Entry>& entries, int member) {
    std::vector<Pair> out;
    for (size_t i = 0; i < entries.size(); ++i)
        for (size_t j = i + 1; j < entries.size(); ++j)
            if ((member < 0 || static_cast<int>(i) == member || static_cast<int>(j) == member) &&
                entries[i].code != entries[j].code)
                out.push_back(ordered(entries[i], entries[j]));
    return out;
}

dedupe::Pairs AmongEntries(const std::vector<dupes::Entry>& entries,
                           const std::vector<Pair>& pairs) {
    // Codes are unique in a sound lookup table; a repeated code rules out
    // each of its entries.
    std::unordered_multimap<std::int32_t, int> at;
    for (size_t i = 0; i < entries.size(); ++i)
        at.emplace(entries[i].code, static_cast<int>(i));
    dedupe::Pairs out;
    for (const Pair& p : pairs) {
        auto [a0, a1] = at.equal_range(p.code1);
        auto [b0, b1] = at.equal_range(p.code2);
        for (auto a = a0; a != a1; ++a)
            for (auto b = b0; b != b1; ++b)
                out.emplace_back(a->second, b->second);
    }
    return out;
}

void Add(engine::Database& db, const catalogue::Category& category,
         const std::vector<Pair>& pairs) {
    if (pairs.empty())
        return;
    if (!history::TableExists(db, Table))
        db.Execute(createTable);
    engine::Query q(db, "INSERT OR IGNORE INTO combine_ruled_out "
                        "(category, code_1, code_2, name_1, name_2, at) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    const std::string now = history::NowUtc();
    for (const Pair& p : pairs) {
        q.Rewind();
        q.Bind(1, category.word)
            .Bind(2, std::min(p.code1, p.code2))
            .Bind(3, std::max(p.code1, p.code2));
        q.Bind(4, p.code1 < p.code2 ? p.name1 : p.name2)
            .Bind(5, p.code1 < p.code2 ? p.name2 : p.name1);
        q.Bind(6, now);
        q.Run();
    }
}

void Remove(engine::Database& db, const catalogue::Category& category,
            const std::vector<Pair>& pairs) {
    if (pairs.empty() || !history::TableExists(db, Table))
        return;
    engine::Query q(db, "DELETE FROM combine_ruled_out "
                        "WHERE category = ?1 AND code_1 = ?2 AND code_2 = ?3");
    for (const Pair& p : pairs) {
        q.Rewind();
        q.Bind(1, category.word)
            .Bind(2, std::min(p.code1, p.code2))
            .Bind(3, std::max(p.code1, p.code2));
        q.Run();
    }
}

} // namespace ruledout
