// Internal to the engine: the full soundness check of a database file, with
// the guarantees of SQLite's integrity_check, split over two connections so
// that its two halves run at once.
#pragma once

#include <sqlite3.h>

#include <set>
#include <string>
#include <vector>

namespace engine {

// What a check found. A file is sound when nothing was found.
struct CheckReport {
    // The first problems found, worded as SQLite words them where SQLite found them.
    std::vector<std::string> problems;
    // Pages, b-trees, rows or the schema are damaged (or could not be read).
    bool structural = false;
    // Indexes whose entries disagree with their table's rows; rebuilding
    // them from the table mends these.
    std::set<std::string> damagedIndexes;

    bool sound() const { return !structural && damagedIndexes.empty(); }
};

// Checks the database open on primary and secondary (two connections on one
// file, each used by one thread). primary runs SQLite's quick_check: every
// b-tree's pages, the freelist, page accounting, the rows' types and
// constraints. secondary meanwhile compares every index with its table: each
// row's entry present with the same key, no entry without its row, entries
// in the index's order, unique keys unique. Where that comparison cannot be
// made outside SQLite (expression or partial indexes, tables without rowid,
// collations other than BINARY, NOCASE and RTRIM, UTF-16 text) the table gets
// SQLite's own integrity_check instead. With secondary null, primary runs
// SQLite's full integrity_check alone, as it does whenever the environment
// variable ENGINE_REPAIR_CHECK is "sqlite".
// A damaged file is reported, not raised; any other failure raises.
CheckReport checkDatabase(sqlite3* primary, sqlite3* secondary);

// SQLite's quick_check alone: every b-tree's pages, the freelist, page
// accounting, the rows' types and constraints, but not index contents.
CheckReport quickCheck(sqlite3* db);

} // namespace engine
