// The catalogue the window benchmarks share: 1,000,000 items, 200,000
// subjects, 20,000 publishers, 40 types, seed 1, written once to
// $COMBINE_BENCH_DIR (default /tmp/combine-bench) by a child process, so that
// the generator's memory does not count in the benchmark's peak.
#pragma once

#include "catalogue.h"
#include "history.h"
#include "samplegen.h"
#include "timing.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace benchdata {

namespace fs = std::filesystem;
using bench::alternate;
using bench::Clock;
using bench::median;
using bench::seconds;

inline fs::path folder() {
    const char* dir = std::getenv("COMBINE_BENCH_DIR");
    return dir ? fs::path(dir) : fs::path("/tmp/combine-bench");
}

inline fs::path catalogue() {
    return folder() / "Bench.M17";
}

// Writes the catalogue when it is not there yet; false when that failed.
inline bool ensureCatalogue() {
    if (fs::exists(catalogue()))
        return true;
    fs::create_directories(folder());
    std::cerr << "writing " << catalogue() << " (1,000,000 items, 200,000 subjects)...\n";
    const pid_t child = fork();
    if (child == 0) {
        samplegen::Options opts;
        opts.items = 1000000;
        opts.subjects = 200000;
        opts.publishers = 20000;
        opts.types = 40;
        const fs::path part = folder() / "Bench.M17.part";
        fs::remove(part);
        samplegen::WriteSampleCatalogue(part.string(), opts);
        fs::rename(part, catalogue());
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && fs::exists(catalogue());
}

// Copies from over to and writes the copy to disk: otherwise the first
// commit on it would wait for the whole copy to reach the disk.
inline void diskCopy(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    const int fd = ::open(to.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The yardstick's side: SQL straight through SQLite; ends the program on failure.
inline void execDirect(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::cerr << "direct SQLite failed: " << (message ? message : "?") << "\n";
        sqlite3_free(message);
        std::exit(1);
    }
}

// Runs statements on path in one transaction straight through SQLite, on a
// connection set up as the engine sets up its exclusive one, and returns the
// time from BEGIN to the end of COMMIT.
inline double runDirect(const fs::path& path, const std::vector<std::string>& statements) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::cerr << "cannot open " << path << "\n";
        std::exit(1);
    }
    // The engine's own connection settings, so that only the work differs.
    execDirect(db, "PRAGMA cache_size=-65536; PRAGMA locking_mode=EXCLUSIVE");
    const auto start = Clock::now();
    execDirect(db, "BEGIN");
    for (const std::string& sql : statements)
        execDirect(db, sql);
    execDirect(db, "COMMIT");
    const double elapsed = seconds(Clock::now() - start);
    sqlite3_close(db);
    return elapsed;
}

// The statements a combine of merges runs, as SQLite takes them directly
// (DELETE FROM for the engine's DELETE * FROM).
inline std::vector<std::string> combineStatements(const catalogue::Category& cat,
                                                  const std::vector<history::Merge>& merges) {
    std::vector<std::string> out;
    for (const history::Merge& m : merges) {
        const std::string condition = history::Condition(history::CodesText(m.codes));
        for (const std::string& column : cat.itemColumns)
            out.push_back("UPDATE [" + catalogue::ItemTable + "] SET [" + column + "] = " +
                          std::to_string(m.target()) + " WHERE [" + column + "]" + condition);
        out.push_back("DELETE FROM [" + cat.table + "] WHERE [" + cat.codeField + "]" + condition);
    }
    return out;
}

// The bytes the history tables of path take when copied alone, with their
// own schema, into a new file (so that pages the combine freed and the
// history reused do not hide its size).
inline long long historyBytes(const fs::path& path) {
    const fs::path copy = fs::path(path).concat(".history");
    fs::remove(copy);
    sqlite3* db = nullptr;
    sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    execDirect(db, "ATTACH '" + path.string() + "' AS src");
    std::vector<std::pair<std::string, std::string>> tables;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name, sql FROM src.sqlite_schema WHERE type = 'table' AND "
                       "name LIKE 'combine_history%'",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                            reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    execDirect(db, "BEGIN");
    for (const auto& [name, sql] : tables) {
        execDirect(db, sql);
        execDirect(db, "INSERT INTO main.\"" + name + "\" SELECT * FROM src.\"" + name + "\"");
    }
    execDirect(db, "COMMIT");
    execDirect(db, "DETACH src");
    sqlite3_close(db);
    const long long bytes = static_cast<long long>(fs::file_size(copy));
    fs::remove(copy);
    return bytes;
}

} // namespace benchdata
