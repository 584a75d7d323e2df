// Entries no item refers to, and items that name one subject twice: found
// with the item columns' indexes, without Qt, for the window's tools and
// for the operations that delete or clear them.
#pragma once

#include "catalogue.h"
#include "engine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace unused {

struct Entry {
    std::int32_t code = 0;
    std::string name; // empty for a Null name
};

// The entries of category that no item refers to in any of its item
// columns, in the lists' order (by name, letter case folded, then as
// stored). -1 in an item column refers to no entry. Raises the engine's
// errors.
std::vector<Entry> List(engine::Database& db, const catalogue::Category& category);

// Of codes, the entries of category that are there and unused now, in the
// lists' order. Raises the engine's errors.
std::vector<Entry> StillUnused(engine::Database& db, const catalogue::Category& category,
                               const std::vector<std::int32_t>& codes);

// How many items hold one subject, not -1, in both subject columns. Raises
// the engine's errors.
long long RepeatedSubjects(engine::Database& db);

} // namespace unused
