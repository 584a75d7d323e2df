// The statements that create an empty catalogue's tables and indexes, as
// docs/catalogue-format.md lists them.
#pragma once

#include <span>

namespace engine {

// The five tables: FILEINFO, the three lookup tables, the item table.
std::span<const char* const> catalogueTables();

// The ten indexes, to be created after the tables.
std::span<const char* const> catalogueIndexes();

} // namespace engine
