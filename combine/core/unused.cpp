// Entries no item refers to, and items that name one subject twice.
#include "unused.h"

#include "history.h"
#include "query.h"

namespace unused {

namespace {

// The entries of category (aliased e) that no item refers to, in the lists'
// order, restricted by where (ANDed, may be empty). An entry whose code is
// -1, the code items hold for no entry, is never offered: which items meant
// it cannot be told. The entries are walked
// in code order (the range over every 32-bit code leads the planner onto the
// code index), so that the probes of each item column's index run through
// it in order; the few found are sorted by name afterwards.
std::vector<Entry> select(engine::Database& db, const catalogue::Category& cat,
                          const std::string& where, const std::string& json) {
    const std::string code = "e." + engine::QuoteName(cat.codeField);
    std::string sql = "WITH u AS MATERIALIZED (SELECT e.rowid AS r, " + code + " AS c, e." +
                      engine::QuoteName(cat.nameField) + " AS n FROM " +
                      engine::QuoteName(cat.table) + " e WHERE " + code + " >= -2147483648 AND " +
                      code + " <> -1" + where;
    for (const std::string& column : cat.itemColumns) {
        const std::string c = engine::QuoteName(column);
        sql += " AND NOT EXISTS (SELECT 1 FROM " + engine::QuoteName(catalogue::ItemTable) +
               " WHERE " + c + " = " + code + " AND " + c + " <> -1)";
    }
    sql += ") SELECT c, n FROM u ORDER BY n COLLATE NOCASE, r";
    engine::Query q(db, sql);
    if (!json.empty())
        q.Bind(1, json);
    std::vector<Entry> out;
    while (q.Step())
        out.push_back({static_cast<std::int32_t>(q.Integer(0)), q.IsNull(1) ? "" : q.Text(1)});
    return out;
}

} // namespace

std::vector<Entry> List(engine::Database& db, const catalogue::Category& cat) {
    return select(db, cat, "", "");
}

std::vector<Entry> StillUnused(engine::Database& db, const catalogue::Category& cat,
                               const std::vector<std::int32_t>& codes) {
    if (codes.empty())
        return {};
    return select(db, cat,
                  " AND e." + engine::QuoteName(cat.codeField) +
                      " IN (SELECT value FROM json_each(?1))",
                  "[" + history::CodesText(codes) + "]");
}

long long RepeatedSubjects(engine::Database& db) {
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    const std::string first = engine::QuoteName(cat.itemColumns[0]);
    engine::Query q(db, "SELECT count(*) FROM " + engine::QuoteName(catalogue::ItemTable) +
                            " WHERE " + engine::QuoteName(cat.itemColumns[1]) + " = " + first +
                            " AND " + first + " <> -1");
    q.Step();
    return q.Integer(0);
}

} // namespace unused
