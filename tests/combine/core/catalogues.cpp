// Catalogues for the combine tests.
#include "catalogues.h"

#include "query.h"
#include "samplegen.h"

namespace testsupport {

std::string writeCatalogue(const std::string& path, const std::vector<Entry>& subjects,
                           const std::vector<Entry>& publishers, const std::vector<Entry>& types,
                           const std::vector<Item>& items, const std::vector<std::string>& extra) {
    auto db = samplegen::CreateCatalogue(path);
    const std::pair<const char*, const std::vector<Entry>*> tables[] = {
        {"Subjects", &subjects}, {"Publishers", &publishers}, {"Types", &types}};
    for (const auto& [table, entries] : tables)
        for (const Entry& e : *entries) {
            engine::Query q(*db, "INSERT INTO \"" + std::string(table) + "\" VALUES (?1, ?2)");
            q.Bind(1, e.code);
            e.name ? q.Bind(2, *e.name) : q.BindNull(2);
            q.Run();
        }
    for (const Item& it : items) {
        engine::Query q(*db, "INSERT INTO [MERVANE RECORDS] ([Subject 1], [Subject 2], "
                             "[Publisher], [Item Type]) VALUES (?1, ?2, ?3, ?4)");
        for (int i = 0; i < 4; ++i)
            q.Bind(i + 1, it[static_cast<size_t>(i)]);
        q.Run();
    }
    for (const std::string& sql : extra)
        db->Execute(sql);
    db->Close();
    return path;
}

Lookup readLookup(const std::string& path, const std::string& word) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    engine::Query q(*db,
                    "SELECT \"" + word + " Code\", \"" + word + " Name\" FROM \"" + word + "s\"");
    Lookup rows;
    while (q.Step())
        rows[static_cast<int>(q.Integer(0))] =
            q.IsNull(1) ? std::nullopt : std::optional(q.Text(1));
    return rows;
}

std::vector<Item> readItems(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    engine::Query q(*db, "SELECT [Subject 1], [Subject 2], [Publisher], [Item Type] FROM "
                         "[MERVANE RECORDS] ORDER BY rowid");
    std::vector<Item> items;
    while (q.Step())
        items.push_back({static_cast<int>(q.Integer(0)), static_cast<int>(q.Integer(1)),
                         static_cast<int>(q.Integer(2)), static_cast<int>(q.Integer(3))});
    return items;
}

Lookup lookupOf(const std::vector<Entry>& entries) {
    Lookup l;
    for (const Entry& e : entries)
        l[e.code] = e.name;
    return l;
}

Dump dump(engine::Database& db, bool withHistory) {
    Dump out;
    for (const std::string& t : db.TableNames()) {
        if (!withHistory && t.starts_with("combine_history"))
            continue;
        std::string cols;
        engine::Query c(db, "SELECT name FROM pragma_table_info(?1)");
        c.Bind(1, t);
        while (c.Step())
            cols += (cols.empty() ? "" : " || '|' || ") +
                    ("typeof(" + engine::QuoteName(c.Text(0)) + ") || ':' || quote(" +
                     engine::QuoteName(c.Text(0)) + ")");
        engine::Query q(db, "SELECT " + cols + " FROM " + engine::QuoteName(t) + " ORDER BY 1");
        while (q.Step())
            out[t].push_back(q.Text(0));
    }
    return out;
}

Dump dump(const std::string& path, bool withHistory) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    return dump(*db, withHistory);
}

} // namespace testsupport
