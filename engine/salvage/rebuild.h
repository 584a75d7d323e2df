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
// pgno, nfield, id, c0, c1, ...), one group of rows per b-tree. Creates in
// db the tables that rows of the old schema, found on pages of their own,
// describe, and the layout's tables that the rows show with confidence: the
// item table by fields whose values the codes of lookup tables explain, the
// lookup tables by those codes, the information table by its marker. Moves
// into each its b-tree's rows and builds its indexes; index b-trees of the
// recovered tables are dropped (the indexes are built anew); every other row
// is copied into db's own table laf. Tables whose field names it had to make
// up go into notes. Returns false, having changed nothing in db, when the
// layout is empty or the rows show no item table: the file is then nothing
// this knows how to rebuild. Raises what is not damage.
bool rebuildCatalogue(sqlite3* db, const std::string& schema, const std::string& laf,
                      const RebuildLayout& layout, RepairNotes* notes = nullptr);

} // namespace engine
