// The engine's benchmark: each engine operation timed beside SQLite doing the
// same work, in one run, on one million-item catalogue:
//   - RepairDatabase of a sound file beside PRAGMA integrity_check of it;
//   - RepairDatabase of a damaged copy beside the SQLite shell's .recover
//     piped into a second shell that builds the new file;
//   - CompactDatabase (both formats) beside VACUUM INTO;
//   - a seek-and-walk over 200,000 names (Index, Seek ">" "", MoveNext to the
//     end, both fields read) beside the same walk in SQL.
// Each figure is the median of several rounds, the two sides alternating.
//
// The catalogue is written once into the data folder: the first argument,
// else $ENGINE_BENCH_DIR, else bench-data in the build folder.
#include "engine.h"
#include "samplegen.h"
#include "timing.h"

#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::median;
using bench::timeOf;

namespace {

constexpr int rounds = 3;
std::size_t sink = 0; // bytes read, so that no read is optimised away

void run(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        std::fprintf(stderr, "bench: %s: %s\n", sql.c_str(), msg ? msg : "failed");
        std::exit(1);
    }
}

// Runs sql on the file at path and reads every row it returns.
void query(const std::string& path, const std::string& setup, const std::string& sql,
           int flags = SQLITE_OPEN_READONLY) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (!setup.empty())
        run(db, setup);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
        for (int i = 0; i < sqlite3_column_count(st); ++i)
            sink += static_cast<std::size_t>(sqlite3_column_bytes(st, i));
    sqlite3_finalize(st);
    sqlite3_close(db);
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "bench: '%s' failed\n", command.c_str());
        std::exit(1);
    }
}

// Zeroes a few table leaf pages spread over the file, as a disk might lose them.
void damage(const std::string& path) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    const std::size_t page = 4096;
    const auto size = static_cast<std::size_t>(fs::file_size(path));
    for (int i = 1; i <= 5; ++i) {
        for (std::size_t at = size / 6 * static_cast<std::size_t>(i) / page * page; at < size;
             at += page) {
            char type = 0;
            f.seekg(static_cast<std::streamoff>(at));
            f.read(&type, 1);
            if (type == 13) {
                f.seekp(static_cast<std::streamoff>(at));
                f.write(std::string(page, '\0').data(), page);
                break;
            }
        }
    }
}

struct Row {
    const char* what;
    double engine;
    const char* yardstick;
    double other;
};

void print(const std::vector<Row>& rows) {
    std::printf("\n| Operation | Engine (s) | SQLite yardstick | SQLite (s) | Ratio |\n");
    std::printf("|---|---:|---|---:|---:|\n");
    for (const auto& r : rows)
        std::printf("| %s | %.3f | %s | %.3f | %.2f |\n", r.what, r.engine, r.yardstick, r.other,
                    r.engine / r.other);
}

} // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("ENGINE_BENCH_DIR");
    fs::path dir = argc > 1 ? fs::path(argv[1]) : env ? fs::path(env) : fs::path(BENCH_DEFAULT_DIR);
    fs::create_directories(dir);
    const std::string catalogue = (dir / "Engine1M.M17").string();
    if (!fs::exists(catalogue)) {
        samplegen::Options o;
        o.items = 1000000;
        o.subjects = 200000;
        o.publishers = 20000;
        o.types = 40;
        double t = timeOf([&] { samplegen::WriteSampleCatalogue(catalogue, o); });
        std::printf("wrote %s in %.1f s\n", catalogue.c_str(), t);
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("catalogue %s: %.1f MB; load average %.2f\n", catalogue.c_str(),
                static_cast<double>(fs::file_size(catalogue)) / 1e6, load[0]);

    const std::string work = (dir / "work.M17").string();
    const std::string damaged = (dir / "damaged.M17").string();
    const std::string out = (dir / "out.M17").string();
    const std::string sh = BENCH_SHELL;
    auto fresh = [&](const std::string& to) {
        fs::remove(to);
        fs::copy_file(catalogue, to);
    };
    auto& engine = engine::DatabaseEngine();
    std::vector<Row> rows;

    // A sound file: the repair's check against SQLite's own.
    fresh(work);
    std::vector<double> repair, check, checkMapped;
    for (int i = 0; i < rounds; ++i) {
        repair.push_back(timeOf([&] { engine.RepairDatabase(work, catalogue::RebuildLayout()); }));
        check.push_back(timeOf([&] { query(work, "", "PRAGMA integrity_check"); }));
        checkMapped.push_back(
            timeOf([&] { query(work, "PRAGMA mmap_size=1000000000", "PRAGMA integrity_check"); }));
    }
    rows.push_back(
        {"RepairDatabase, sound file", median(repair), "PRAGMA integrity_check", median(check)});
    rows.push_back({"RepairDatabase, sound file", median(repair),
                    "PRAGMA integrity_check, memory-mapped", median(checkMapped)});

    // A damaged file: the rebuild against the shell's .recover into a new file.
    std::vector<double> rebuild, recover;
    for (int i = 0; i < rounds; ++i) {
        fresh(damaged);
        damage(damaged);
        rebuild.push_back(
            timeOf([&] { engine.RepairDatabase(damaged, catalogue::RebuildLayout()); }));
        fresh(damaged);
        damage(damaged);
        fs::remove(out);
        recover.push_back(
            timeOf([&] { shell(sh + " '" + damaged + "' .recover | " + sh + " '" + out + "'"); }));
    }
    rows.push_back({"RepairDatabase, 5 table pages zeroed", median(rebuild),
                    "shell .recover piped into a second shell", median(recover)});

    // Compaction against VACUUM INTO, which also flushes its output.
    for (long options : {engine::opt::Version40 + engine::opt::Decrypt,
                         engine::opt::Version20 + engine::opt::Decrypt}) {
        std::vector<double> compact, vacuum;
        for (int i = 0; i < rounds; ++i) {
            fs::remove(out);
            compact.push_back(
                timeOf([&] { engine.CompactDatabase(work, out, engine::GeneralLocale, options); }));
            fs::remove(out);
            vacuum.push_back(timeOf(
                [&] { query(work, "", "VACUUM INTO '" + out + "'", SQLITE_OPEN_READWRITE); }));
        }
        rows.push_back({options & engine::opt::Version40 ? "CompactDatabase, options 68"
                                                         : "CompactDatabase, options 20",
                        median(compact), "VACUUM INTO", median(vacuum)});
    }

    // The walk over every subject name in name order.
    std::vector<double> walk, sql;
    long walked = 0;
    for (int i = 0; i < rounds; ++i) {
        walk.push_back(timeOf([&] {
            auto db = engine.OpenDatabase(work);
            auto rs = db->OpenTable("Subjects");
            rs->Index("Subject Name Index");
            rs->Seek(">", engine::Variant(""));
            for (walked = 0; !rs->NoMatch() && !rs->Eof(); rs->MoveNext(), ++walked) {
                sink += rs->Fields().Item(0).Value().ToText().size();
                sink += rs->Fields().Item(1).Value().ToText().size();
            }
        }));
        sql.push_back(timeOf([&] {
            // The engine's page cache, so that both walks read from memory alike.
            query(work, "PRAGMA cache_size=-65536",
                  "SELECT [Subject Code], [Subject Name] FROM Subjects INDEXED BY [Subject Name "
                  "Index] WHERE [Subject Name] > '' COLLATE NOCASE ORDER BY [Subject Name] "
                  "COLLATE NOCASE");
        }));
    }
    std::printf("walked %ld subjects\n", walked);
    rows.push_back({"Seek \">\" \"\" and walk 200,000 names", median(walk), "the same walk in SQL",
                    median(sql)});

    print(rows);
    std::printf("\n(%zu bytes read)\n", sink);
    fs::remove(work);
    fs::remove(damaged);
    fs::remove(out);
    return 0;
}
