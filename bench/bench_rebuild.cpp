// The rebuild benchmark: RepairDatabase of a catalogue whose first page's
// schema b-tree is zeroed, beside SQLite's recovery alone on the same damaged
// bytes (rowids kept, freed pages left alone, as the repair configures it),
// which leaves every row in one lost-and-found table. The difference is what
// telling the b-trees apart, moving the rows and building the indexes costs.
//   bench_rebuild [ITEMS] [ROUNDS] [foreign]   (defaults 100000 and 3)
// With "foreign" the catalogue is first recast in a layout of another
// writer's: other item fields in another order, FILEINFO with one field.
// Each round runs both sides, their order turned round every other round.
#include "engine.h"
#include "samplegen.h"
#include "timing.h"

#include <sqlite3.h>
#include <sqlite3recover.h>

#include <stdlib.h>
#include <unistd.h>

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

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_rebuild: %s\n", what.c_str());
    std::exit(1);
}

void recoverAlone(const std::string& path, const std::string& out) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_recover* r = sqlite3_recover_init(db, "main", out.c_str());
    int on = 1, off = 0;
    sqlite3_recover_config(r, SQLITE_RECOVER_LOST_AND_FOUND, const_cast<char*>("lost_and_found"));
    sqlite3_recover_config(r, SQLITE_RECOVER_ROWIDS, &on);
    sqlite3_recover_config(r, SQLITE_RECOVER_FREELIST_CORRUPT, &off);
    sqlite3_recover_run(r);
    if (sqlite3_recover_finish(r) != SQLITE_OK)
        fail("the recovery failed");
    sqlite3_close(db);
}

std::string one(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

void execAll(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        fail(message ? message : "cannot recast the catalogue");
    sqlite3_close(db);
}

// Recasts the sample catalogue: the item fields "Record ID", "Title",
// "Author", "Year", the four references, "Notes"; FILEINFO with only
// "Product Name".
void recastForeign(const std::string& path) {
    execAll(path, "BEGIN;"
                  "CREATE TABLE items (\"Record ID\" INTEGER PRIMARY KEY, Title TEXT, Author TEXT, "
                  "Year INTEGER, \"Subject 1\" INTEGER, \"Subject 2\" INTEGER, Publisher INTEGER, "
                  "\"Item Type\" INTEGER, Notes TEXT);"
                  "INSERT INTO items SELECT [Item Number], Title, Author, Year, [Subject 1], "
                  "[Subject 2], Publisher, [Item Type], Notes FROM [MERVANE RECORDS];"
                  "DROP TABLE [MERVANE RECORDS]; ALTER TABLE items RENAME TO [MERVANE RECORDS];"
                  "CREATE INDEX [Subject 1 Index] ON [MERVANE RECORDS] ([Subject 1]);"
                  "CREATE INDEX [Subject 2 Index] ON [MERVANE RECORDS] ([Subject 2]);"
                  "CREATE INDEX [Publisher Index] ON [MERVANE RECORDS] (Publisher);"
                  "CREATE INDEX [Item Type Index] ON [MERVANE RECORDS] ([Item Type]);"
                  "CREATE TABLE info (\"Product Name\" TEXT);"
                  "INSERT INTO info SELECT [Product Name] FROM FILEINFO;"
                  "DROP TABLE FILEINFO; ALTER TABLE info RENAME TO FILEINFO; COMMIT; VACUUM");
}

} // namespace

int main(int argc, char** argv) {
    long items = argc > 1 ? std::atol(argv[1]) : 100000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const bool foreign = argc > 3 && std::string(argv[3]) == "foreign";
    char pattern[] = "/tmp/bench-rebuild-XXXXXX";
    if (!::mkdtemp(pattern))
        fail("cannot make a folder");
    const fs::path dir = pattern;
    const std::string source = dir / "source.M17", damaged = dir / "damaged.M17";
    samplegen::Options o;
    o.items = items;
    samplegen::WriteSampleCatalogue(source, o);
    if (foreign)
        recastForeign(source);
    fs::copy_file(source, damaged);
    {
        // Page 1 past the file header: the schema b-tree is gone.
        std::fstream f(damaged, std::ios::binary | std::ios::in | std::ios::out);
        unsigned char size[2] = {};
        f.seekg(16);
        f.read(reinterpret_cast<char*>(size), 2);
        std::string page(((size_t{size[0]} << 8) | size[1]) - 100, '\0');
        f.seekp(100);
        f.write(page.data(), static_cast<std::streamsize>(page.size()));
    }
    std::printf("catalogue: %ld items%s, %.1f MiB, page 1 zeroed past its header; %d rounds\n",
                items, foreign ? " in another layout" : "",
                static_cast<double>(fs::file_size(source)) / 1048576.0, rounds);
    std::printf("%-6s %12s %12s %7s\n", "round", "recovery", "repair", "ratio");
    std::vector<double> alone, repaired, ratios;
    for (int r = 0; r < rounds; ++r) {
        const std::string a = dir / "a.M17", out = dir / "out.db", b = dir / "b.M17";
        for (const auto& p : {a, out, b})
            fs::remove(p);
        fs::copy_file(damaged, a);
        fs::copy_file(damaged, b);
        double ta = 0, tb = 0;
        // Each side starts with no writes of the other still being flushed.
        auto sideA = [&] {
            ::sync();
            ta = timeOf([&] { recoverAlone(a, out); });
        };
        auto sideB = [&] {
            ::sync();
            tb = timeOf(
                [&] { engine::DatabaseEngine().RepairDatabase(b, catalogue::RebuildLayout()); });
        };
        bench::inTurn(r, sideA, sideB);
        if (one(b, "SELECT count(*) FROM [MERVANE RECORDS]") != std::to_string(items))
            fail("the repair did not bring every item back");
        alone.push_back(ta);
        repaired.push_back(tb);
        ratios.push_back(tb / ta);
        std::printf("%-6d %11.3fs %11.3fs %6.2fx\n", r + 1, ta, tb, tb / ta);
    }
    std::printf("median: recovery %.3fs, repair %.3fs, ratio %.2fx\n", median(alone),
                median(repaired), median(ratios));
    fs::remove_all(dir);
    return 0;
}
