// The combine operation and the combine history: every combine re-points the
// items of a category and deletes the merged lookup entries, and, where the
// catalogue allows it, records in tables of its own exactly what it changed,
// so that it can be undone later, also after the program was closed and the
// file repaired. docs/catalogue-format.md describes the tables.
#pragma once

#include "catalogue.h"
#include "engine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace history {

// Names of the history tables.
inline const std::string StepsTable = "combine_history";
inline const std::string MergesTable = "combine_history_merges";
inline const std::string EntriesTable = "combine_history_entries";
inline const std::string RefsTable = "combine_history_refs";

// One merge: entries of a category combined into one target entry.
struct Merge {
    std::vector<std::int32_t> codes; // the merged codes, in list order (repeats allowed)
    std::string names;               // the merged names, ", " between neighbours
    std::string targetName;          // empty for the blank row
    // The target code, read anew before each UPDATE.
    std::function<std::int32_t()> target;
};

// The time now, UTC, ISO 8601 ("2026-12-07T08:01:36Z"), as the history keeps it.
std::string NowUtc();
// True when the catalogue has a table of that name.
bool TableExists(engine::Database& db, const std::string& name);
// The fields of a table, in stored order; none for a table that is not there.
std::vector<std::string> ColumnsOf(engine::Database& db, const std::string& table);

// The codes in decimal form with ", " between neighbours.
std::string CodesText(const std::vector<std::int32_t>& codes);
// The WHERE condition of a combine's statements for codesText: " = " and the
// code for one code, " IN (" codes ")" for two or more.
std::string Condition(const std::string& codesText);

// References moved from one code to another in one item column.
struct Moved {
    std::string column;
    std::int32_t from;
    std::int32_t to;
    long long count;
};

// Whether a combine on this catalogue is recorded, and why not.
enum class State {
    Absent,    // no history yet: the first combine creates it
    Ready,     // history present and sound
    NoItemKey, // the item table has no INTEGER PRIMARY KEY: nothing is recorded
    Damaged,   // history tables of the wrong shape: nothing is recorded
};
struct Status {
    State state = State::Absent;
    std::string itemKey; // the item table's INTEGER PRIMARY KEY column
    std::string reason;  // for NoItemKey and Damaged: why, for the user
    bool recordable() const { return state == State::Absent || state == State::Ready; }
};
// Looks at the schema only; changes nothing. Raises the engine's errors.
Status Inspect(engine::Database& db);

struct CombineOutcome {
    bool recorded = false;
    long long step = 0;             // the history step, when recorded
    std::vector<long long> changed; // per merge: references re-pointed in all columns
};

// Runs the statements of category for each merge, in order, inside the
// caller's transaction: per merge an UPDATE per item column, then the DELETE
// of the merged entries. When the catalogue can keep a history, the whole
// call is recorded as one step first (creating the tables on the first
// record). Expects a transaction to be open on db; raises the engine's errors,
// after which the caller's rollback leaves everything as it was.
CombineOutcome Combine(engine::Database& db, const catalogue::Category& category,
                       const std::vector<Merge>& merges);

// One merge of a recorded step, as the history shows it.
struct MergeInfo {
    std::int32_t targetCode = -1;
    std::string targetName;
    std::string mergedCodes;
    std::string mergedNames;
    std::vector<long long> changed; // references re-pointed per item column
};
// One recorded step: a combine, or the undo of one.
struct StepInfo {
    long long step = 0;
    std::string kind;     // "combine" or "undo"
    std::string at;       // UTC, ISO 8601
    std::string category; // the lookup word
    std::optional<std::string> undoneAt;
    std::optional<long long> undoes;
    long long items = 0; // combine: references re-pointed; undo: references given back
    std::vector<MergeInfo> merges;
};

// The recorded steps, newest first; empty without a history. Raises
// HistoryDamaged when the tables cannot be read as a history.
std::vector<StepInfo> ReadHistory(engine::Database& db);

// The newest combine that is not undone, or nullopt.
std::optional<StepInfo> LastUndoable(engine::Database& db);

// What an undo of step would do now.
struct UndoPreview {
    long long itemsBack = 0; // items that get at least one old entry back
    long long referencesBack = 0;
    long long leftAlone = 0; // recorded references that no longer hold the target
};
UndoPreview PreviewUndo(engine::Database& db, const StepInfo& step);

struct UndoOutcome {
    long long step = 0; // the step recording the undo
    long long itemsBack = 0;
    long long referencesBack = 0;
    long long leftAlone = 0;
    long long entriesBack = 0;
    std::vector<Moved> moved; // references given back, per column and code
};
// Undoes step inside the caller's transaction: the deleted entries come back
// with all their fields, every recorded reference that still holds the
// target gets its old code back, the step is marked undone and the undo is
// recorded. Raises HistoryDamaged or the engine's error; the caller's
// rollback then leaves the catalogue as it was.
UndoOutcome Undo(engine::Database& db, const StepInfo& step);

// Empties the history tables, inside the caller's transaction. Raises
// HistoryDamaged for tables that are not a history.
void Forget(engine::Database& db);

// What each entry of category was also known by, by its code: the names of
// the entries combined into it by combines not undone, followed through
// later combines, with the day of each combine, e.g. "Also entered as:
// 'Acme Inc.', 'Acme Co.' (combined 2026-12-07)". Entries without such
// names are not in the map; a catalogue without a history, or with one
// damaged, gives none. Raises the engine's errors.
std::map<std::int32_t, std::string> KnownAs(engine::Database& db,
                                            const catalogue::Category& category);

// The item keys of a recorded column, delta-encoded (exposed for tests):
// the first key zigzag-encoded, then each gap to the next, all as unsigned
// LEB128 varints. Expects keys ascending and distinct.
std::vector<unsigned char> EncodeKeys(const std::vector<long long>& keys);
// Raises HistoryDamaged when bytes do not hold exactly count keys.
std::vector<long long> DecodeKeys(const std::vector<unsigned char>& bytes, long long count);

} // namespace history
