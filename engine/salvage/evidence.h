// Internal to the engine: evidence, read from a damaged file, that a row the
// recovery found outside every table was live when the damage happened, and
// not a row deleted earlier whose page was freed.
#pragma once

#include "sqlite_handle.h"

#include <climits>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace engine {

// Witnesses for the rows of one rowid table of the damaged file open on
// source: every index of the table whose entries can be looked up, and the
// key ranges of the table's own b-tree that no readable leaf covers.
class LiveWitness {
public:
    // columns are the table's fields in order; keyColumn the one that is
    // the INTEGER PRIMARY KEY, or -1. A source that cannot be read (null,
    // or its schema damaged) yields a witness that vouches for nothing.
    // Raises only what is not damage.
    LiveWitness(sqlite3* source, const std::string& table, const std::vector<std::string>& columns,
                int keyColumn);
    LiveWitness(const LiveWitness&) = delete;
    LiveWitness& operator=(const LiveWitness&) = delete;

    // True when the row with this rowid, its fields being columns first..
    // first+n-1 of the current row of row, is held by a readable index of the
    // table or lies in a key range the table's b-tree lost.
    bool live(long long rowid, sqlite3_stmt* row, int first);

    // The key ranges (low exclusive, high inclusive) no readable leaf covers.
    const std::vector<std::pair<long long, long long>>& gaps() const { return gaps_; }

private:
    struct Probe {
        Stmt st;
        std::vector<int> fields; // per parameter: the field bound, -1 for the rowid
    };
    void walk(sqlite3_file* file, unsigned pageSize, unsigned pages, unsigned page, long long low,
              long long high, int depth, std::set<unsigned>& seen);

    std::vector<Probe> probes_;
    std::vector<std::pair<long long, long long>> gaps_;
};

} // namespace engine
