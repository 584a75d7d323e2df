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
// One recorded step: a combine, a rename, the redo of an undone step, or the
// undo of any of these. A rename's one merge holds the entry's code as
// target and merged code, the old name as merged names and the new one as
// target name.
struct StepInfo {
    long long step = 0;
    std::string kind;     // "combine", "rename", "delete", "clear", "redo" or "undo"
    std::string at;       // UTC, ISO 8601
    std::string category; // the lookup word
    std::optional<std::string> undoneAt;
    std::optional<long long> undoes; // undo: the step undone; redo: the step redone
    long long items = 0;             // references re-pointed (combine, redo) or given back (undo)
    std::vector<MergeInfo> merges;
    // What the step did, following redos to the step first done: "combine",
    // "rename", "delete" or "clear"; for an undo, what it took back.
    std::string action;
    bool redoable = false; // undone, and not redone since

    bool undoable() const { return kind != "undo" && !undoneAt; }
};

// The recorded steps, newest first; empty without a history. Raises
// HistoryDamaged when the tables cannot be read as a history.
std::vector<StepInfo> ReadHistory(engine::Database& db);

// The newest step that can be undone (a combine, rename or redo not undone),
// or nullopt.
std::optional<StepInfo> LastUndoable(engine::Database& db);
// The step whose undo is the newest not yet redone, or nullopt.
std::optional<StepInfo> LastRedoable(engine::Database& db);

// A deleted entry that an undo does not bring back: an entry with its code
// is there again, under the same name (it came back) or another (the code is
// in use again, and the references to it are left alone too).
struct EntryLeft {
    std::int32_t code = 0;
    std::string name;    // the recorded name
    std::string nowName; // the name of the entry holding the code now
    bool reused() const { return name != nowName; }
};

// What an undo of step would do now.
struct UndoPreview {
    long long itemsBack = 0; // items that get at least one old entry back
    long long referencesBack = 0;
    long long leftAlone = 0;   // recorded references that no longer hold the target
    long long entriesBack = 0; // deleted entries that will come back
    std::vector<EntryLeft> entriesLeft;
    bool renameLeft = false; // a rename whose entry no longer has the new name
};
UndoPreview PreviewUndo(engine::Database& db, const StepInfo& step);

struct UndoOutcome {
    long long step = 0; // the step recording the undo
    long long itemsBack = 0;
    long long referencesBack = 0;
    long long leftAlone = 0;
    long long entriesBack = 0;
    std::vector<EntryLeft> entriesLeft;
    bool renameLeft = false;
    std::vector<Moved> moved; // references given back, per column and code
};
// Undoes step (any step that is undoable()) inside the caller's
// transaction. Of a combine or its redo, the deleted entries come back with
// all their fields unless their code is taken (EntryLeft), every recorded
// reference that still holds the target gets its old code back; of a
// rename, the old name comes back if the entry still has the new one. The
// step is marked undone and the undo is recorded. Raises HistoryDamaged,
// InvalidOperation for a step that cannot be undone, or the engine's error;
// the caller's rollback then leaves the catalogue as it was.
UndoOutcome Undo(engine::Database& db, const StepInfo& step);

// What a redo of step would do now.
struct RedoPreview {
    long long referencesMoved = 0; // recorded references that still hold the old codes
    long long skipped = 0;         // recorded references changed since
    long long entriesDeleted = 0;  // merged entries there again
    bool renameSkipped = false;    // a rename whose entry no longer has the old name
};
RedoPreview PreviewRedo(engine::Database& db, const StepInfo& step);

struct RedoOutcome {
    long long step = 0; // the step recording the redo
    long long referencesMoved = 0;
    long long skipped = 0;
    long long entriesDeleted = 0;
    bool renameSkipped = false;
    std::vector<Moved> moved; // references re-pointed, per column and code
};
// Applies the undone step (redoable) again inside the caller's transaction,
// with the combine's statements: the recorded references that still hold
// the old codes are re-pointed to the target and the merged entries that
// are there again deleted; a rename renames the entry if it still has the
// old name. The redo is recorded as a step of its own, with a record like a
// combine's, so that it can be undone. Raises InvalidOperation when the step
// is not redoable or a target entry is gone, HistoryDamaged or the engine's
// error.
RedoOutcome Redo(engine::Database& db, const StepInfo& step);

struct RenameOutcome {
    bool recorded = false;
    long long step = 0;
};
// Gives the entry of category with code the name newName by one UPDATE of
// the name field, recorded as a 'rename' step where the catalogue keeps a
// history. Expects a transaction to be open; raises ItemNotFound when no
// entry has code, or the engine's errors.
RenameOutcome Rename(engine::Database& db, const catalogue::Category& category, std::int32_t code,
                     const std::string& newName);

struct DeleteOutcome {
    bool recorded = false;
    long long step = 0;
    long long deleted = 0;
    long long left = 0; // entries asked for that are in use (or gone) by now
};
// Deletes the entries of category with codes that are still unused (see
// unused::StillUnused) by one DELETE, inside the caller's transaction, and
// records them with every field as a 'delete' step where the catalogue
// keeps a history; undone and redone like a combine. Raises the engine's
// errors.
DeleteOutcome DeleteUnused(engine::Database& db, const catalogue::Category& category,
                           const std::vector<std::int32_t>& codes);

struct ClearOutcome {
    bool recorded = false;
    long long step = 0;
    long long cleared = 0;    // items whose second subject was cleared
    std::vector<Moved> moved; // per subject, to -1
};
// Sets the second subject to -1 on every item that holds one subject, not
// -1, in both subject columns, inside the caller's transaction, recorded as
// a 'clear' step (the items' keys per subject, as a combine records its
// references) where the catalogue keeps a history. Raises the engine's
// errors.
ClearOutcome ClearRepeated(engine::Database& db);

// The history as CSV (RFC 4180: CRLF line ends, fields holding a comma, a
// quote or a line break in quotes with quotes doubled), a header and one row
// per merge, a row of its own for a step without merges; text as stored
// (UTF-8).
std::string HistoryCsv(const std::vector<StepInfo>& steps);

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
