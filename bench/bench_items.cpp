// Benchmark of the items behind an entry, on the window benchmarks'
// catalogue (benchdata.h): for the most used subject and one of middling
// use, the time to the first page (itemrows::ItemPages, its count and its
// first page), the time until the dialog shows those rows, and every page to
// the end; beside SQLite reading the same first page straight, with the OR
// of both columns and ORDER BY that a plain query would use.
//
// The catalogue is opened exclusively, as the window opens it; figures are
// medians over the rounds, warm in the page cache.
//   ninja -C BUILD bench_items && BUILD/bench/bench_items [ROUNDS]
#include "benchdata.h"
#include "engine.h"
#include "frmitems.h"
#include "itemrows.h"
#include "query.h"

#include <QApplication>
#include <QTableView>

#include <cstdio>

namespace fs = std::filesystem;
using benchdata::Clock;
using benchdata::median;
using benchdata::seconds;

namespace {

// Subject codes by how many items refer to them, most first.
std::vector<std::pair<std::int32_t, long long>> byUse(engine::Database& db) {
    engine::Query q(db, "SELECT code, count(*) FROM (SELECT [Subject 1] AS code FROM "
                        "[MERVANE RECORDS] UNION ALL SELECT [Subject 2] FROM [MERVANE RECORDS]) "
                        "WHERE code IN (SELECT [Subject Code] FROM Subjects) "
                        "GROUP BY code ORDER BY 2 DESC, 1");
    std::vector<std::pair<std::int32_t, long long>> out;
    while (q.Step())
        out.emplace_back(static_cast<std::int32_t>(q.Integer(0)), q.Integer(1));
    return out;
}

// The yardstick: the first page as a plain query reads it, straight through SQLite.
double directPage(sqlite3* db, std::int32_t code) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT * FROM [MERVANE RECORDS] WHERE [Subject 1] = ?1 OR "
                       "[Subject 2] = ?1 ORDER BY [Item Number] LIMIT 250",
                       -1, &st, nullptr);
    const auto start = Clock::now();
    sqlite3_bind_int(st, 1, code);
    int rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
        ++rows;
    const double elapsed = seconds(Clock::now() - start);
    sqlite3_finalize(st);
    return rows ? elapsed : -1;
}

} // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1 || !benchdata::ensureCatalogue()) {
        std::fprintf(stderr, "usage: bench_items [ROUNDS]; the catalogue must be writable\n");
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const fs::path path = benchdata::catalogue();
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    try {
        std::vector<std::pair<std::int32_t, long long>> subjects;
        {
            auto db = engine::DatabaseEngine().OpenDatabase(path.string(), false, true);
            subjects = byUse(*db);
        }
        std::printf("| subject | references | items | first page | shown in the dialog | every "
                    "page | SQLite, OR and ORDER BY |\n|---|---|---|---|---|---|---|\n");
        for (const auto& [what, at] :
             {std::pair{"most used", size_t{0}}, std::pair{"middling", subjects.size() / 2}}) {
            const auto [code, references] = subjects[at];
            std::vector<double> first, shown, all, direct;
            long long count = 0;
            for (int r = 0; r < rounds; ++r) {
                {
                    auto db = engine::DatabaseEngine().OpenDatabase(path.string(), true);
                    auto start = Clock::now();
                    {
                        auto pages = std::make_unique<itemrows::ItemPages>(*db, cat, code);
                        count = pages->count();
                        pages->next();
                        first.push_back(seconds(Clock::now() - start));
                    }
                    start = Clock::now();
                    {
                        auto pages = std::make_unique<itemrows::ItemPages>(*db, cat, code);
                        const long long n = pages->count();
                        frmItems box(nullptr, QStringLiteral("bench"), std::move(pages), n);
                        box.show();
                        QApplication::processEvents();
                        box.findChild<QTableView*>()->viewport()->repaint();
                        shown.push_back(seconds(Clock::now() - start));
                    }
                    start = Clock::now();
                    itemrows::ItemPages pages(*db, cat, code);
                    while (!pages.atEnd())
                        pages.next();
                    all.push_back(seconds(Clock::now() - start));
                    db->Close();
                }
                sqlite3* raw = nullptr;
                sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
                direct.push_back(directPage(raw, code));
                sqlite3_close(raw);
            }
            std::printf("| %s | %lld | %lld | %.1f ms | %.1f ms | %.1f ms | %.1f ms |\n", what,
                        references, count, median(first) * 1000, median(shown) * 1000,
                        median(all) * 1000, median(direct) * 1000);
        }
    } catch (const engine::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
