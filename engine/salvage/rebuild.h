// Internal to the engine: the tables of a file, in the layout its caller
// knows, rebuilt from the rows that SQLite's recovery found when it could not
// read the file's schema.
#pragma once

#include <sqlite3.h>

#include "engine.h"

#include <string>

namespace engine {

// db is a new, empty file, with what the recovery read from a file whose
// schema was lost attached as schema: every row in its table laf (rootpgno,
// pgno, nfield, id, c0, c1, ...), one group of rows per b-tree. Creates the
// layout's tables and indexes in db and moves into them the b-trees told
// apart with confidence: the item table by its shape and field types, the
// information table by its marker row, each lookup table by how well its
// codes match the codes its item fields refer to. Index b-trees of the
// recovered tables are dropped (the indexes are built anew); every other row
// is copied into db's own table laf. Returns false, having changed nothing in
// db, when the layout is empty or the rows show no item table and no
// information table: the file is then nothing this knows how to rebuild.
// Raises what is not damage.
bool rebuildCatalogue(sqlite3* db, const std::string& schema, const std::string& laf,
                      const RebuildLayout& layout);

} // namespace engine
