// Benchmark of the duplicate finder's work in the window, on the window
// benchmarks' catalogue (benchdata.h): the item counts of the 200,000
// subjects against SQLite's grouped queries alone; the plan of a batch
// combine; and the batch combine of the 1,000 largest fingerprint clusters,
// recorded, against SQLite running the same statements in one transaction on
// another copy of the file.
//
// Figures are medians over the rounds; the combine's sides start from fresh
// copies, warm in the page cache, and swap order each round.
//   ninja -C BUILD bench_finder && BUILD/bench/bench_finder [ROUNDS]
#include "benchdata.h"
#include "clustering.h"
#include "duplicates.h"
#include "engine.h"
#include "itemcounts.h"
#include "query.h"

#include <cstdio>
#include <unordered_map>

namespace fs = std::filesystem;
using benchdata::Clock;
using benchdata::median;
using benchdata::seconds;

namespace {

// The yardstick of the counts: one grouped query per column, into a map.
long long countDirect(const fs::path& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    long long total = 0;
    for (const char* column : {"Subject 1", "Subject 2"}) {
        std::unordered_map<std::int32_t, long long> counts;
        const std::string sql = std::string("SELECT [") + column + "], count(*) FROM " +
                                "[MERVANE RECORDS] GROUP BY [" + column + "]";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            counts[sqlite3_column_int(st, 0)] = sqlite3_column_int64(st, 1);
            total += sqlite3_column_int64(st, 1);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return total;
}

// The subjects as the lists show them, in name order.
std::vector<dupes::Entry> entries(engine::Database& db) {
    std::vector<dupes::Entry> out;
    engine::Query q(db, "SELECT [Subject Code], [Subject Name] FROM Subjects "
                        "WHERE [Subject Code] > 0 ORDER BY [Subject Name]");
    while (q.Step())
        out.push_back({static_cast<std::int32_t>(q.Integer(0)), q.Text(1)});
    return out;
}

} // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1 || !benchdata::ensureCatalogue()) {
        std::fprintf(stderr, "usage: bench_finder [ROUNDS]; the catalogue must be writable\n");
        return 1;
    }
    const fs::path source = benchdata::catalogue();
    const fs::path work = benchdata::folder() / "Finder.M17";
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    try {
        std::vector<double> counted, direct, planned;
        long long ours = 0, theirs = 0;
        // Shared and read-only, so that SQLite's side can read the file beside it.
        auto db = engine::DatabaseEngine().OpenDatabase(source.string(), false, true);
        for (int r = 0; r < rounds; ++r) {
            auto start = Clock::now();
            ItemCounts counts(*db, cat);
            counted.push_back(seconds(Clock::now() - start));
            start = Clock::now();
            theirs = countDirect(source);
            direct.push_back(seconds(Clock::now() - start));
            ours = 0;
            for (const dupes::Entry& e : entries(*db))
                ours += counts.total(e.code);
        }
        std::printf("| measure | ours | SQLite directly | ratio |\n|---|---|---|---|\n");
        std::printf("| item counts of every subject, both columns | %.0f ms | %.0f ms | %.2fx |\n",
                    median(counted) * 1000, median(direct) * 1000,
                    median(counted) / median(direct));
        if (ours == 0 || ours > theirs) {
            std::fprintf(stderr, "the counts hold %lld references, SQLite %lld\n", ours, theirs);
            return 1;
        }

        const std::vector<dupes::Entry> all = entries(*db);
        std::vector<std::string> names;
        for (const dupes::Entry& e : all)
            names.push_back(e.name);
        const ItemCounts counts(*db, cat);
        std::vector<dupes::Group> groups = dupes::MakeGroups(
            all,
            *dedupe::findScored(names, dedupe::Settings{.method = dedupe::Method::Fingerprint}),
            counts);
        const size_t batch = std::min<size_t>(1000, groups.size());
        for (size_t g = batch; g < groups.size(); ++g)
            groups[g].checked = false;
        dupes::BatchPlan plan;
        for (int r = 0; r < rounds; ++r) {
            const auto start = Clock::now();
            plan = dupes::PlanBatch(*db, cat, all, groups, counts);
            planned.push_back(seconds(Clock::now() - start));
        }
        db->Close();

        std::vector<double> recorded, straight, undone;
        const std::vector<std::string> statements = benchdata::combineStatements(cat, plan.merges);
        auto recordedSide = [&] {
            fs::copy_file(source, work, fs::copy_options::overwrite_existing);
            auto w = engine::DatabaseEngine().OpenDatabase(work.string(), true);
            auto start = Clock::now();
            {
                engine::Transaction t(*w);
                history::Combine(*w, cat, plan.merges);
                t.Commit();
            }
            recorded.push_back(seconds(Clock::now() - start));
            start = Clock::now();
            {
                engine::Transaction t(*w);
                history::Undo(*w, *history::LastUndoable(*w));
                t.Commit();
            }
            undone.push_back(seconds(Clock::now() - start));
        };
        auto directSide = [&] {
            fs::copy_file(source, work, fs::copy_options::overwrite_existing);
            straight.push_back(benchdata::runDirect(work, statements));
        };
        benchdata::alternate(rounds, recordedSide, directSide);
        fs::remove(work);
        std::printf("| plan of the batch (%lld entries into %lld targets, %lld items re-pointed, "
                    "%lld with one subject in both columns) | %.0f ms | | |\n",
                    plan.entries, plan.targets, plan.items, plan.sameSubject,
                    median(planned) * 1000);
        std::printf("| batch combine of %zu clusters, recorded | %.0f ms | %.0f ms | %.2fx |\n",
                    plan.merges.size(), median(recorded) * 1000, median(straight) * 1000,
                    median(recorded) / median(straight));
        std::printf("| undo of that batch | %.0f ms | | %.2fx of the combine |\n",
                    median(undone) * 1000, median(undone) / median(recorded));
    } catch (const engine::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
