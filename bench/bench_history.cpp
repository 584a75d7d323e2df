// Benchmark of the combine history on the window benchmarks' catalogue
// (benchdata.h): a recorded combine of 1, 100 and 1,000 subjects into one,
// against SQLite running the combine's three statements alone in one
// transaction on another copy of the same file; the undo of each recorded
// combine and its redo, each as the window runs it (CatalogueOperation);
// the space the history takes in the file; and a rename of the target.
//
// Every round starts both sides from a fresh copy, warm in the page cache and
// written to disk, and turns their order round. The figures are medians over the rounds.
//   ninja -C BUILD bench_history && BUILD/bench/bench_history [ROUNDS [N...]]
#include "benchdata.h"
#include "engine.h"
#include "operation.h"

#include <cstdio>

namespace fs = std::filesystem;
using benchdata::Clock;
using benchdata::median;
using benchdata::seconds;

namespace {

struct Sums {
    long long subjects = 0, first = 0, second = 0;
    bool operator==(const Sums&) const = default;
};

// What a combine and its undo change, read straight through SQLite.
Sums sums(const fs::path& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT count(*) FROM Subjects), sum([Subject 1]), "
                       "sum([Subject 2]) FROM [MERVANE RECORDS]",
                       -1, &st, nullptr);
    Sums s;
    if (sqlite3_step(st) == SQLITE_ROW)
        s = {sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1), sqlite3_column_int64(st, 2)};
    sqlite3_finalize(st);
    sqlite3_close(db);
    return s;
}

// Subject codes, each list's first the target: spread over the table in
// code order, or most used first (the heaviest combine of its size).
std::vector<std::int32_t> subjectCodes(const fs::path& path, bool mostUsed) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    const char* sql =
        mostUsed ? "SELECT code FROM (SELECT [Subject 1] AS code FROM [MERVANE RECORDS] "
                   "UNION ALL SELECT [Subject 2] FROM [MERVANE RECORDS]) "
                   "WHERE code IN (SELECT [Subject Code] FROM Subjects WHERE [Subject Code] > 0) "
                   "GROUP BY code ORDER BY count(*) DESC, code"
                 : "SELECT [Subject Code] FROM Subjects WHERE [Subject Code] > 0 ORDER BY 1";
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    std::vector<std::int32_t> codes;
    while (sqlite3_step(st) == SQLITE_ROW)
        codes.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return codes;
}

struct Figures {
    std::vector<double> recorded, direct, undo, redo, rename;
    long long history = 0, changed = 0;
    bool sound = true;
};

void run(int n, bool spread, int rounds, const std::vector<std::int32_t>& all, Figures& f) {
    const fs::path source = benchdata::catalogue();
    const fs::path work = benchdata::folder() / "History.M17";
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    history::Merge merge;
    const std::int32_t target = all.front();
    const size_t step = spread ? (all.size() - 1) / static_cast<size_t>(n) : 1;
    for (int k = 0; k < n; ++k)
        merge.codes.push_back(all[1 + static_cast<size_t>(k) * step]);
    merge.target = [target] { return target; };
    const Sums before = sums(source);

    auto recordedSide = [&] {
        benchdata::diskCopy(source, work);
        auto db = engine::DatabaseEngine().OpenDatabase(work.string(), true);
        auto start = Clock::now();
        {
            engine::Transaction t(*db);
            f.changed = history::Combine(*db, cat, {merge}).changed.at(0);
            t.Commit();
        }
        f.recorded.push_back(seconds(Clock::now() - start));
        db->Close();
        f.history = benchdata::historyBytes(work);
        const Sums after = sums(work);
        // The undo and the redo each on a connection opened again, as a
        // later session of the window would run them.
        db = engine::DatabaseEngine().OpenDatabase(work.string(), true);
        start = Clock::now();
        history::UndoOutcome undone;
        CatalogueOperation(*db).Undo(*history::LastUndoable(*db), undone);
        f.undo.push_back(seconds(Clock::now() - start));
        db->Close();
        f.sound = f.sound && sums(work) == before;
        db = engine::DatabaseEngine().OpenDatabase(work.string(), true);
        start = Clock::now();
        history::RedoOutcome redone;
        CatalogueOperation(*db).Redo(*history::LastRedoable(*db), redone);
        f.redo.push_back(seconds(Clock::now() - start));
        f.sound = f.sound && redone.skipped == 0 && redone.referencesMoved == f.changed;
        // A rename of the target, up to the refill.
        start = Clock::now();
        CatalogueOperation(*db).Rename(cat, target, "Renamed");
        f.rename.push_back(seconds(Clock::now() - start));
        db->Close();
        f.sound = f.sound && sums(work) == after;
    };
    auto directSide = [&] {
        benchdata::diskCopy(source, work);
        f.direct.push_back(benchdata::runDirect(work, benchdata::combineStatements(cat, {merge})));
    };
    benchdata::alternate(rounds, recordedSide, directSide);
    fs::remove(work);
}

} // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<int> sizes;
    for (int a = 2; a < argc; ++a)
        sizes.push_back(std::atoi(argv[a]));
    if (sizes.empty())
        sizes = {1, 100, 1000};
    if (rounds < 1 || !benchdata::ensureCatalogue()) {
        std::fprintf(stderr,
                     "usage: bench_history [ROUNDS [N...]]; the catalogue must be writable\n");
        return 1;
    }
    std::printf("| subjects | N | references re-pointed | recorded combine | SQLite directly | "
                "ratio | undo | undo / combine | redo | redo / SQLite | history in the file | "
                "rename |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (bool spread : {true, false}) {
        const std::vector<std::int32_t> codes = subjectCodes(benchdata::catalogue(), !spread);
        for (int n : sizes) {
            Figures f;
            try {
                run(n, spread, rounds, codes, f);
            } catch (const engine::Error& e) {
                std::fprintf(stderr, "N = %d: %s\n", n, e.what());
                return 1;
            }
            const double rec = median(f.recorded), dir = median(f.direct), un = median(f.undo),
                         re = median(f.redo);
            std::printf("| %s | %d | %lld | %.0f ms | %.0f ms | %.2fx | %.0f ms | %.2fx | "
                        "%.0f ms | %.2fx | %.2f MB | %.1f ms |\n",
                        spread ? "spread" : "most used", n, f.changed, rec * 1000, dir * 1000,
                        rec / dir, un * 1000, un / rec, re * 1000, re / dir,
                        static_cast<double>(f.history) / 1e6, median(f.rename) * 1000);
            std::fflush(stdout);
            if (!f.sound) {
                std::fprintf(stderr,
                             "N = %d: the undo or the redo did not give the catalogue back\n", n);
                status = 1;
            }
        }
    }
    return status;
}
