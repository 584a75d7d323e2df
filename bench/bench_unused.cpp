// Benchmark of the unused entries, on the window benchmarks' catalogue
// (benchdata.h): the subjects no item refers to, listed by unused::List (one
// probe of each item column's index per subject), beside the same list
// taken from ItemCounts (both columns counted, as the window counts them
// for Show Item Counts, then the subjects read in the lists' order and
// those without a count kept), and the count of items with one subject in
// both columns. On the window's exclusive connection; medians over the
// rounds, warm in the page cache.
//   ninja -C BUILD bench_unused && BUILD/bench/bench_unused [ROUNDS]
#include "benchdata.h"
#include "engine.h"
#include "itemcounts.h"
#include "query.h"
#include "unused.h"

#include <cstdio>

using benchdata::Clock;
using benchdata::median;
using benchdata::seconds;

namespace {

// The unused subjects as the item counts give them.
size_t fromCounts(engine::Database& db, const catalogue::Category& cat) {
    const ItemCounts counts(db, cat);
    engine::Query q(db, "SELECT [Subject Code], [Subject Name] FROM Subjects "
                        "ORDER BY [Subject Name] COLLATE NOCASE, rowid");
    std::vector<unused::Entry> out;
    while (q.Step()) {
        const auto code = static_cast<std::int32_t>(q.Integer(0));
        if (code == -1 || counts.total(code) == 0)
            out.push_back({code, q.Text(1)});
    }
    return out.size();
}

} // namespace

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1 || !benchdata::ensureCatalogue()) {
        std::fprintf(stderr, "usage: bench_unused [ROUNDS]; the catalogue must be writable\n");
        return 1;
    }
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    try {
        auto db = engine::DatabaseEngine().OpenDatabase(benchdata::catalogue().string(), true);
        std::vector<double> listed, counted, repeated;
        size_t found = 0, viaCounts = 0;
        long long twice = 0;
        for (int r = 0; r < rounds; ++r) {
            auto start = Clock::now();
            found = unused::List(*db, cat).size();
            listed.push_back(seconds(Clock::now() - start));
            start = Clock::now();
            viaCounts = fromCounts(*db, cat);
            counted.push_back(seconds(Clock::now() - start));
            start = Clock::now();
            twice = unused::RepeatedSubjects(*db);
            repeated.push_back(seconds(Clock::now() - start));
        }
        std::printf("| measure | result | median of %d |\n|---|---:|---:|\n", rounds);
        std::printf("| unused subjects, unused::List | %zu | %.1f ms |\n", found,
                    median(listed) * 1000);
        std::printf("| unused subjects through ItemCounts | %zu | %.1f ms |\n", viaCounts,
                    median(counted) * 1000);
        std::printf("| items with one subject in both columns | %lld | %.1f ms |\n", twice,
                    median(repeated) * 1000);
    } catch (const engine::Error& e) {
        std::fprintf(stderr, "bench_unused: error %ld: %s\n", static_cast<long>(e.Number()),
                     e.Text().c_str());
        return 1;
    }
    return 0;
}
