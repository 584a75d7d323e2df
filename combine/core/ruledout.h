// Pairs of lookup entries that the user has ruled out as duplicates: kept in
// the catalogue in a table of our own, combine_ruled_out, created by the
// first ruling, so that no method of the finder suggests them together
// again. Ruling out never changes the catalogue's own tables.
// docs/catalogue-format.md describes the table.
#pragma once

#include "catalogue.h"
#include "clustering.h"
#include "duplicates.h"
#include "engine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ruledout {

inline const std::string Table = "combine_ruled_out";

// Two entries of one category ruled out as duplicates. code1 < code2; the
// names are those the entries had when ruled out, for reading only.
struct Pair {
    std::int32_t code1 = 0, code2 = 0;
    std::string name1, name2;
    std::string at; // when, as history::NowUtc gives it
};

// The pairs of category, by the first name then the second; none when the
// table does not exist. Raises the engine's errors.
std::vector<Pair> Read(engine::Database& db, const catalogue::Category& category);

// Every pair of the entries: all pairs of a cluster (member < 0), or the
// member (an index into entries) against each of the others.
std::vector<Pair> PairsOf(const std::vector<dupes::Entry>& entries, int member = -1);

// The pairs whose entries both are among entries, as indexes into entries
// for dedupe::findScored.
dedupe::Pairs AmongEntries(const std::vector<dupes::Entry>& entries,
                           const std::vector<Pair>& pairs);

// Records pairs of category (those already kept are left as they are),
// creating the table on first use; or takes pairs back. Run inside the
// caller's transaction (CatalogueOperation does). Raise the engine's errors.
void Add(engine::Database& db, const catalogue::Category& category, const std::vector<Pair>& pairs);
void Remove(engine::Database& db, const catalogue::Category& category,
            const std::vector<Pair>& pairs);

} // namespace ruledout
