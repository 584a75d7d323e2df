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

std::string writeHistorySample(const std::string& path, const std::vector<std::string>& extra) {
    std::vector<std::string> all = {
        "ALTER TABLE [Subjects] ADD COLUMN [Scope Note] TEXT",
        "ALTER TABLE [Subjects] ADD COLUMN [Weight] REAL",
        "ALTER TABLE [Subjects] ADD COLUMN [Raw]",
        "UPDATE [Subjects] SET [Scope Note] = 'note ' || [Subject Code], [Weight] = 0.5, "
        "[Raw] = x'00ff'",
        "ALTER TABLE [Publishers] ADD COLUMN [Place] TEXT",
        "UPDATE [Publishers] SET [Place] = 'London' WHERE [Publisher Code] = 2"};
    all.insert(all.end(), extra.begin(), extra.end());
    // clang-format off
    return writeCatalogue(path,
        {{12, "Computer"}, {4, "Computers"}, {31, "Computing"}, {7, "Chemistry"}, {-1, "Minus 1"}},
        {{1, "Penguin"}, {2, "Penguin Books"}, {3, "Methuen"}},
        {{1, "Book"}, {2, "Books"}, {3, "CD"}},
        {{12, 31, 1, 1}, {31, 12, 3, 2}, {4, -1, 2, 3}, {-1, 12, -1, 2},
         {7, 31, 1, 1}, {12, 12, 2, 2}, {-1, -1, -1, -1}},
        all);
    // clang-format on
}

Dump dump(engine::Database& db, bool withHistory) {
    Dump out;
    for (const std::string& t : db.TableNames()) {
        if (!withHistory && t.starts_with("combine_history"))
            continue;
        std::string cols;
        engine::Query c(db, "SELECT name FROM pragma_table_info(?1)");
        c.Bind(1, t);
        while (c.Step()) {
            const std::string name = engine::QuoteName(c.Text(0));
            cols += (cols.empty() ? "typeof(" : " || '|' || typeof(") + name +
                    ") || ':' || quote(" + name + ")";
        }
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
