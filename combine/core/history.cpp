// The combine operation and the combine history.
#include "history.h"

#include "query.h"
#include "unused.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <map>
#include <unordered_set>

namespace history {

using engine::Database;
using engine::Error;
using engine::Query;

namespace {

[[noreturn]] void damaged(const std::string& why) {
    throw Error(engine::err::HistoryDamaged,
                "The combine history of this catalogue is damaged: " + why + ".");
}

// Item keys as a JSON array, for json_each: one bound value however many keys.
std::string keyList(const std::vector<long long>& keys) {
    std::string out = "[";
    char buf[24];
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i)
            out += ',';
        out.append(buf, std::to_chars(buf, buf + sizeof buf, keys[i]).ptr);
    }
    return out + "]";
}

} // namespace

std::string NowUtc() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

namespace {

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The tables' columns, in order; a table of any other shape is not ours.
struct TableShape {
    const std::string& name;
    std::vector<std::string> columns;
    const char* ddl;
};

const std::vector<TableShape>& shapes() {
    static const std::vector<TableShape> all = {
        {StepsTable,
         {"step", "kind", "at", "category", "undone_at", "undoes", "items"},
         "CREATE TABLE combine_history (\n"
         "    step      INTEGER PRIMARY KEY,\n"
         "    kind      TEXT NOT NULL CHECK (kind IN ('combine', 'undo', 'redo', 'rename', "
         "'delete', 'clear')),\n"
         "    at        TEXT NOT NULL,\n"
         "    category  TEXT NOT NULL,\n"
         "    undone_at TEXT,\n"
         "    undoes    INTEGER,\n"
         "    items     INTEGER NOT NULL)"},
        {MergesTable,
         {"step", "merge", "target_code", "target_name", "merged_codes", "merged_names",
          "changed_1", "changed_2"},
         "CREATE TABLE combine_history_merges (\n"
         "    step         INTEGER NOT NULL,\n"
         "    merge        INTEGER NOT NULL,\n"
         "    target_code  INTEGER NOT NULL,\n"
         "    target_name  TEXT NOT NULL,\n"
         "    merged_codes TEXT NOT NULL,\n"
         "    merged_names TEXT NOT NULL,\n"
         "    changed_1    INTEGER NOT NULL,\n"
         "    changed_2    INTEGER,\n"
         "    PRIMARY KEY (step, merge))"},
        {EntriesTable,
         {"step", "merge", "entry", "field", "value"},
         "CREATE TABLE combine_history_entries (\n"
         "    step  INTEGER NOT NULL,\n"
         "    merge INTEGER NOT NULL,\n"
         "    entry INTEGER NOT NULL,\n"
         "    field TEXT NOT NULL,\n"
         "    value,\n"
         "    PRIMARY KEY (step, merge, entry, field))"},
        {RefsTable,
         {"step", "merge", "column_name", "old_code", "count", "items"},
         "CREATE TABLE combine_history_refs (\n"
         "    step        INTEGER NOT NULL,\n"
         "    merge       INTEGER NOT NULL,\n"
         "    column_name TEXT NOT NULL,\n"
         "    old_code    INTEGER NOT NULL,\n"
         "    count       INTEGER NOT NULL,\n"
         "    items       BLOB NOT NULL,\n"
         "    PRIMARY KEY (step, merge, column_name, old_code))"},
    };
    return all;
}

// True when table is an ordinary rowid table (not WITHOUT ROWID).
bool hasRowid(Database& db, const std::string& table) {
    Query q(db, "SELECT 1 FROM pragma_index_list(?1) WHERE origin = 'pk'");
    q.Bind(1, table);
    if (!q.Step())
        return true;
    // A rowid table with a PRIMARY KEY that is no rowid alias also has such an
    // index; only WITHOUT ROWID tables lack the rowid column itself.
    Query r(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1 AND "
                "upper(sql) LIKE '%WITHOUT%ROWID%'");
    r.Bind(1, table);
    return !r.Step();
}

// The item table's INTEGER PRIMARY KEY column, or empty. Only such a key
// survives a compaction unchanged; other rowids may be renumbered.
std::string itemKey(Database& db) {
    Query q(db, "SELECT name, type, pk FROM pragma_table_info(?1)");
    q.Bind(1, catalogue::ItemTable);
    std::string key;
    int keys = 0;
    while (q.Step())
        if (q.Integer(2) > 0) {
            ++keys;
            key = upper(q.Text(1)) == "INTEGER" ? q.Text(0) : std::string();
        }
    if (keys != 1 || key.empty())
        return {};
    // "INTEGER PRIMARY KEY" spelled as a table constraint with DESC, or a
    // WITHOUT ROWID table, makes a separate key that is no rowid alias.
    Query pk(db, "SELECT 1 FROM pragma_index_list(?1) WHERE origin = 'pk'");
    pk.Bind(1, catalogue::ItemTable);
    return pk.Step() ? std::string() : key;
}

} // namespace

std::vector<std::string> ColumnsOf(Database& db, const std::string& table) {
    Query q(db, "SELECT name FROM pragma_table_info(?1)");
    q.Bind(1, table);
    std::vector<std::string> out;
    while (q.Step())
        out.push_back(q.Text(0));
    return out;
}

bool TableExists(Database& db, const std::string& name) {
    Query q(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1");
    q.Bind(1, name);
    return q.Step();
}

namespace {

void requireSound(Database& db) {
    const Status s = Inspect(db);
    if (s.state == State::Damaged)
        damaged(s.reason);
}

struct Recorder {
    Database& db;
    std::string key;
    long long step = 0;
};

// The checks of the steps' kinds that files written before renames and
// redos, and before deletes and clears, were recorded carry, and the one
// that allows them all.
const std::vector<std::string> OldKinds = {"CHECK (kind IN ('combine', 'undo'))",
                                           "CHECK (kind IN ('combine', 'undo', 'redo', 'rename'))"};
const std::string Kinds =
    "CHECK (kind IN ('combine', 'undo', 'redo', 'rename', 'delete', 'clear'))";

// Widens an old check of the steps' kinds in the schema, inside the
// caller's transaction. Only a CHECK is loosened, which changes no stored
// byte, so rewriting the table's text and bumping the schema version is
// enough. Raises the engine's errors.
void allowKinds(Database& db) {
    long long version = 0;
    std::string old;
    {
        for (const std::string& k : OldKinds) {
            Query q(db,
                    "SELECT instr(sql, ?1) FROM sqlite_schema WHERE type = 'table' AND name = ?2");
            q.Bind(1, k).Bind(2, StepsTable);
            if (q.Step() && q.Integer(0) != 0)
                old = k;
        }
        if (old.empty())
            return;
        Query v(db, "PRAGMA schema_version");
        v.Step();
        version = v.Integer(0);
    }
    db.Execute("PRAGMA writable_schema = ON");
    try {
        Query q(db, "UPDATE sqlite_schema SET sql = replace(sql, ?1, ?2) "
                    "WHERE type = 'table' AND name = ?3");
        q.Bind(1, old).Bind(2, Kinds).Bind(3, StepsTable);
        q.Run();
    } catch (const Error&) {
        db.Execute("PRAGMA writable_schema = OFF");
        throw;
    }
    db.Execute("PRAGMA schema_version = " + std::to_string(version + 1));
    db.Execute("PRAGMA writable_schema = OFF");
}

// Records a step of kind (its items counted later) and returns its number.
long long addStep(Database& db, const std::string& kind, const std::string& category,
                  std::optional<long long> undoes, const std::string& at) {
    if (kind != "combine" && kind != "undo")
        allowKinds(db);
    Query q(db, "INSERT INTO combine_history (kind, at, category, undoes, items) "
                "VALUES (?1, ?2, ?3, ?4, 0)");
    q.Bind(1, kind).Bind(2, at).Bind(3, category);
    if (undoes)
        q.Bind(4, *undoes);
    else
        q.BindNull(4);
    q.Run();
    Query id(db, "SELECT max(step) FROM combine_history");
    id.Step();
    return id.Integer(0);
}

void setItems(Database& db, long long step, long long items) {
    Query q(db, "UPDATE combine_history SET items = ?2 WHERE step = ?1");
    q.Bind(1, step).Bind(2, items);
    q.Run();
}

// Starts the record of a step of kind in category's word where the
// catalogue keeps a history (creating the tables on the first record);
// nullopt where it cannot.
std::optional<Recorder> startStep(Database& db, const std::string& kind, const std::string& word) {
    const Status status = Inspect(db);
    if (!status.recordable())
        return std::nullopt;
    if (status.state == State::Absent)
        for (const TableShape& t : shapes())
            db.Execute(t.ddl);
    return Recorder{db, status.itemKey, addStep(db, kind, word, std::nullopt, NowUtc())};
}

// Records the merge row of one merge, its references counted later.
void recordMergeRow(Recorder& r, const catalogue::Category& cat, int merge, std::int32_t target,
                    const std::string& targetName, const std::string& codes,
                    const std::string& names) {
    Query q(r.db, "INSERT INTO combine_history_merges (step, merge, target_code, target_name, "
                  "merged_codes, merged_names, changed_1, changed_2) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, ?7)");
    q.Bind(1, r.step).Bind(2, merge).Bind(3, target).Bind(4, targetName);
    q.Bind(5, codes).Bind(6, names);
    if (cat.itemColumns.size() > 1)
        q.Bind(7, 0LL);
    else
        q.BindNull(7);
    q.Run();
}

// Records the counts of a merge's references changed per item column.
void recordChanged(Recorder& r, int merge, const std::vector<long long>& changed) {
    Query q(r.db, "UPDATE combine_history_merges SET changed_1 = ?3, changed_2 = ?4 "
                  "WHERE step = ?1 AND merge = ?2");
    q.Bind(1, r.step).Bind(2, merge).Bind(3, changed[0]);
    if (changed.size() > 1)
        q.Bind(4, changed[1]);
    else
        q.BindNull(4);
    q.Run();
}

// Records every field of the entries that condition (on the code field)
// finds, as deleted by merge.
void recordEntries(Recorder& r, const catalogue::Category& cat, int merge,
                   const std::string& condition) {
    for (const std::string& field : ColumnsOf(r.db, cat.table)) {
        Query q(r.db, "INSERT INTO combine_history_entries (step, merge, entry, field, value) "
                      "SELECT ?1, ?2, rowid, ?3, " +
                          engine::QuoteName(field) + " FROM " + engine::QuoteName(cat.table) +
                          " WHERE " + engine::QuoteName(cat.codeField) + condition);
        q.Bind(1, r.step).Bind(2, merge).Bind(3, field);
        q.Run();
    }
}

// Records the keys of the items whose column held code, for merge. Expects
// keys ascending.
void recordKeys(Recorder& r, int merge, const std::string& column, long long code,
                const std::vector<long long>& keys) {
    if (keys.empty())
        return;
    Query ins(r.db, "INSERT INTO combine_history_refs (step, merge, column_name, old_code, "
                    "count, items) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    ins.Bind(1, r.step).Bind(2, merge).Bind(3, column).Bind(4, code);
    ins.Bind(5, static_cast<long long>(keys.size())).BindBlob(6, EncodeKeys(keys));
    ins.Run();
}

// Records the merged entries of one merge with every field they have, and
// which items refer to them in each column.
void recordMerge(Recorder& r, const catalogue::Category& cat, int merge, const Merge& m,
                 const std::string& condition, std::int32_t target) {
    recordMergeRow(r, cat, merge, target, m.targetName, CodesText(m.codes), m.names);
    recordEntries(r, cat, merge, condition);
    for (const std::string& column : cat.itemColumns) {
        // The column's index yields the keys grouped by code and ascending.
        Query q(r.db, "SELECT " + engine::QuoteName(column) + ", " + engine::QuoteName(r.key) +
                          " FROM " + engine::QuoteName(catalogue::ItemTable) + " WHERE " +
                          engine::QuoteName(column) + condition + " ORDER BY 1, 2");
        std::vector<long long> keys;
        long long code = 0;
        while (q.Step()) {
            const long long c = q.Integer(0);
            if (!keys.empty() && c != code) {
                recordKeys(r, merge, column, code, keys);
                keys.clear();
            }
            code = c;
            keys.push_back(q.Integer(1));
        }
        recordKeys(r, merge, column, code, keys);
    }
}

} // namespace

std::string CodesText(const std::vector<std::int32_t>& codes) {
    std::string out;
    for (std::int32_t c : codes) {
        if (!out.empty())
            out += ", ";
        out += std::to_string(c);
    }
    return out;
}

std::string Condition(const std::string& codesText) {
    return codesText.find(", ") != std::string::npos ? " IN (" + codesText + ")"
                                                     : " = " + codesText;
}

Status Inspect(Database& db) {
    Status s;
    s.itemKey = itemKey(db);
    int present = 0;
    std::string wrong;
    for (const TableShape& t : shapes()) {
        if (!TableExists(db, t.name))
            continue;
        ++present;
        if (ColumnsOf(db, t.name) != t.columns && wrong.empty())
            wrong = "the table " + t.name + " does not have the fields of a combine history";
    }
    if (present > 0 && present < static_cast<int>(shapes().size()) && wrong.empty())
        wrong = "some of its tables are missing";
    if (!wrong.empty()) {
        s.state = State::Damaged;
        s.reason = wrong;
    } else if (s.itemKey.empty()) {
        s.state = State::NoItemKey;
        s.reason = "the item table of this catalogue has no INTEGER PRIMARY KEY, so its items "
                   "cannot be told apart for certain after a repair; combines are not recorded "
                   "and cannot be undone";
    } else {
        bool rowids = true;
        for (const catalogue::Category& c : catalogue::Categories())
            rowids = rowids && (!TableExists(db, c.table) || hasRowid(db, c.table));
        if (!rowids) {
            s.state = State::NoItemKey;
            s.reason = "a lookup table of this catalogue has no row numbers, so its deleted "
                       "entries cannot be recorded; combines are not recorded and cannot be "
                       "undone";
        } else {
            s.state = present ? State::Ready : State::Absent;
        }
    }
    return s;
}

CombineOutcome Combine(Database& db, const catalogue::Category& cat,
                       const std::vector<Merge>& merges) {
    CombineOutcome out;
    std::optional<Recorder> rec = startStep(db, "combine", cat.word);
    if (rec) {
        out.recorded = true;
        out.step = rec->step;
    }

    long long total = 0;
    for (size_t i = 0; i < merges.size(); ++i) {
        const Merge& m = merges[i];
        const std::string condition = Condition(CodesText(m.codes));
        if (rec)
            recordMerge(*rec, cat, static_cast<int>(i), m, condition, m.target());
        std::vector<long long> changed;
        // The combine's own statements keep the square-bracket form of the
        // catalogue format's documentation: names of the fixed catalogue
        // tables, which hold no closing bracket.
        for (const std::string& column : cat.itemColumns) {
            db.Execute("UPDATE [" + catalogue::ItemTable + "] SET [" + column +
                       "] = " + std::to_string(m.target()) + " WHERE [" + column + "]" + condition);
            changed.push_back(db.RecordsAffected());
        }
        db.Execute("DELETE * FROM [" + cat.table + "] WHERE [" + cat.codeField + "]" + condition);
        long long sum = 0;
        for (long long c : changed)
            sum += c;
        out.changed.push_back(sum);
        total += sum;
        if (rec)
            recordChanged(*rec, static_cast<int>(i), changed);
    }
    if (rec)
        setItems(db, rec->step, total);
    return out;
}

std::vector<StepInfo> ReadHistory(Database& db) {
    requireSound(db);
    if (!TableExists(db, StepsTable))
        return {};
    std::vector<StepInfo> steps;
    std::map<long long, size_t> at;
    {
        Query q(db, "SELECT step, kind, at, category, undone_at, undoes, items "
                    "FROM combine_history ORDER BY step DESC");
        while (q.Step()) {
            StepInfo s;
            s.step = q.Integer(0);
            s.kind = q.Text(1);
            s.at = q.Text(2);
            s.category = q.Text(3);
            if (!q.IsNull(4))
                s.undoneAt = q.Text(4);
            if (!q.IsNull(5))
                s.undoes = q.Integer(5);
            s.items = q.Integer(6);
            if (s.kind != "combine" && s.kind != "undo" && s.kind != "redo" && s.kind != "rename" &&
                s.kind != "delete" && s.kind != "clear")
                damaged("step " + std::to_string(s.step) + " is of an unknown kind");
            at[s.step] = steps.size();
            steps.push_back(std::move(s));
        }
    }
    Query q(db, "SELECT step, target_code, target_name, merged_codes, merged_names, changed_1, "
                "changed_2 FROM combine_history_merges ORDER BY step, merge");
    while (q.Step()) {
        auto it = at.find(q.Integer(0));
        if (it == at.end())
            damaged("a merge belongs to no recorded step");
        MergeInfo m;
        m.targetCode = static_cast<std::int32_t>(q.Integer(1));
        m.targetName = q.Text(2);
        m.mergedCodes = q.Text(3);
        m.mergedNames = q.Text(4);
        m.changed.push_back(q.Integer(5));
        if (!q.IsNull(6))
            m.changed.push_back(q.Integer(6));
        steps[it->second].merges.push_back(std::move(m));
    }
    // Oldest first, so that the step a redo or an undo names is known.
    std::unordered_set<long long> redone;
    for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
        const std::string name = "step " + std::to_string(s->step);
        if (s->kind != "undo" && s->merges.empty())
            damaged(name + " records no merge");
        if (s->kind != "undo" && s->kind != "redo") {
            s->action = s->kind;
            continue;
        }
        const auto it = s->undoes ? at.find(*s->undoes) : at.end();
        if (it == at.end() || steps[it->second].step >= s->step ||
            steps[it->second].kind == "undo") {
            // An undo that names no step it could have undone reads as a
            // combine's, as it always has; a redo must name its step.
            if (s->kind == "redo")
                damaged(name + " redoes no step that can be redone");
            s->action = "combine";
            continue;
        }
        s->action = steps[it->second].action;
        if (s->kind == "redo")
            redone.insert(*s->undoes);
    }
    for (StepInfo& s : steps)
        s.redoable = s.kind != "undo" && s.undoneAt && !redone.contains(s.step);
    return steps;
}

std::optional<StepInfo> LastUndoable(Database& db) {
    for (StepInfo& s : ReadHistory(db))
        if (s.undoable())
            return std::move(s);
    return std::nullopt;
}

std::map<std::int32_t, std::string> KnownAs(Database& db, const catalogue::Category& cat) {
    if (Inspect(db).state == State::Damaged || !TableExists(db, StepsTable))
        return {};
    // One row per deleted entry, with its code and name, in the order the merges ran.
    Query q(db, "SELECT m.step, m.target_code, h.at, c.value, n.value "
                "FROM combine_history h JOIN combine_history_merges m ON m.step = h.step "
                "JOIN combine_history_entries c ON c.step = m.step AND c.merge = m.merge "
                "AND c.field = ?2 LEFT JOIN combine_history_entries n ON n.step = c.step "
                "AND n.merge = c.merge AND n.entry = c.entry AND n.field = ?3 "
                "WHERE h.kind = 'combine' AND h.undone_at IS NULL AND h.category = ?1 "
                "ORDER BY m.step, m.merge, c.entry");
    q.Bind(1, cat.word).Bind(2, cat.codeField).Bind(3, cat.nameField);
    struct Name {
        long long step;
        std::string text, day;
    };
    std::map<std::int32_t, std::vector<Name>> known;
    while (q.Step()) {
        const auto target = static_cast<std::int32_t>(q.Integer(1));
        const auto code = static_cast<std::int32_t>(q.Integer(3));
        std::vector<Name> names;
        // What the merged entry was known by passes to the target, with its own name.
        if (const auto it = known.find(code); it != known.end()) {
            names = std::move(it->second);
            known.erase(it);
        }
        if (!q.IsNull(4) && !q.Text(4).empty())
            names.push_back({q.Integer(0), q.Text(4), q.Text(2).substr(0, 10)});
        if (target != -1 && code != target && !names.empty())
            known[target].insert(known[target].end(), names.begin(), names.end());
    }
    std::map<std::int32_t, std::string> out;
    for (auto& [code, names] : known) {
        std::stable_sort(names.begin(), names.end(),
                         [](const Name& a, const Name& b) { return a.step < b.step; });
        std::string text = "Also entered as: ";
        for (size_t i = 0; i < names.size(); ++i) {
            text += (i == 0                             ? "'"
                     : names[i - 1].day == names[i].day ? ", '"
                                                        : "; '") +
                    names[i].text + "'";
            if (i + 1 == names.size() || names[i + 1].day != names[i].day)
                text += " (combined " + names[i].day + ")";
        }
        out.emplace(code, std::move(text));
    }
    return out;
}

std::optional<StepInfo> LastRedoable(Database& db) {
    std::vector<StepInfo> steps = ReadHistory(db);
    for (const StepInfo& u : steps)
        if (u.kind == "undo" && u.undoes)
            for (StepInfo& s : steps)
                if (s.step == *u.undoes && s.redoable)
                    return std::move(s);
    return std::nullopt;
}

namespace {

struct RefRow {
    int merge;
    std::string column;
    std::int32_t oldCode;
    std::vector<long long> keys;
};

// The recorded references of merge in column that take() accepts, as item
// key and old code in key order: a statement led by them passes over the
// item table once, each page read and journalled once. Keys are unique, as
// an item's column holds one code.
using Keyed = std::vector<std::pair<long long, std::int32_t>>;
template <class Take>
Keyed keyedRefs(const std::vector<RefRow>& refs, int merge, const std::string& column, Take take) {
    Keyed out;
    for (const RefRow& r : refs)
        if (r.merge == merge && r.column == column && take(r))
            for (long long k : r.keys)
                out.emplace_back(k, r.oldCode);
    std::sort(out.begin(), out.end());
    return out;
}

// Keyed references as a JSON array of [key, code] pairs, for json_each.
std::string pairList(const Keyed& keyed) {
    std::string out = "[";
    char buf[24];
    for (const auto& [k, code] : keyed) {
        out += out.size() > 1 ? ",[" : "[";
        out.append(buf, std::to_chars(buf, buf + sizeof buf, k).ptr);
        out += ',';
        out.append(buf, std::to_chars(buf, buf + sizeof buf, code).ptr);
        out += ']';
    }
    return out + "]";
}

// The pairs of pairList as a table m(k, old), for a FROM clause.
const std::string PairTable = "(SELECT json_extract(value, '$[0]') AS k, "
                              "json_extract(value, '$[1]') AS old FROM json_each(?1)) AS m";

const catalogue::Category& categoryOf(const StepInfo& s) {
    const catalogue::Category* cat = catalogue::CategoryOfWord(s.category);
    if (!cat)
        damaged("step " + std::to_string(s.step) + " names an unknown category");
    return *cat;
}

std::string requireItemKey(Database& db) {
    const std::string key = itemKey(db);
    if (key.empty())
        damaged("the item table has no INTEGER PRIMARY KEY any more");
    return key;
}

// The step as recorded now, for a caller's copy that may be out of date.
StepInfo current(Database& db, long long step) {
    for (StepInfo& s : ReadHistory(db))
        if (s.step == step)
            return std::move(s);
    throw Error(engine::err::InvalidOperation,
                "Step " + std::to_string(step) + " is not in the combine history.");
}

std::vector<RefRow> refsOf(Database& db, const StepInfo& s) {
    const catalogue::Category& cat = categoryOf(s);
    std::vector<RefRow> out;
    Query q(db, "SELECT merge, column_name, old_code, count, items FROM combine_history_refs "
                "WHERE step = ?1 ORDER BY merge, column_name, old_code");
    q.Bind(1, s.step);
    while (q.Step()) {
        RefRow r;
        r.merge = static_cast<int>(q.Integer(0));
        r.column = q.Text(1);
        r.oldCode = static_cast<std::int32_t>(q.Integer(2));
        if (r.merge < 0 || r.merge >= static_cast<int>(s.merges.size()))
            damaged("recorded references belong to no merge");
        if (std::find(cat.itemColumns.begin(), cat.itemColumns.end(), r.column) ==
            cat.itemColumns.end())
            damaged("recorded references name the unknown column '" + r.column + "'");
        r.keys = DecodeKeys(q.Blob(4), q.Integer(3));
        out.push_back(std::move(r));
    }
    return out;
}

// The entries that merge of step deleted whose code an entry holds now,
// with their recorded rowids in entries.
std::vector<EntryLeft> entriesThere(Database& db, const catalogue::Category& cat, long long step,
                                    int merge, std::vector<long long>& entries) {
    Query q(db, "SELECT c.entry, c.value, n.value, x." + engine::QuoteName(cat.nameField) +
                    " FROM combine_history_entries c JOIN " + engine::QuoteName(cat.table) +
                    " x ON x." + engine::QuoteName(cat.codeField) +
                    " = c.value LEFT JOIN combine_history_entries n ON n.step = c.step AND "
                    "n.merge = c.merge AND n.entry = c.entry AND n.field = ?4 "
                    "WHERE c.step = ?1 AND c.merge = ?2 AND c.field = ?3 ORDER BY c.entry");
    q.Bind(1, step).Bind(2, merge).Bind(3, cat.codeField).Bind(4, cat.nameField);
    std::vector<EntryLeft> out;
    while (q.Step()) {
        entries.push_back(q.Integer(0));
        out.push_back({static_cast<std::int32_t>(q.Integer(1)), q.Text(2), q.Text(3)});
    }
    return out;
}

// The codes of left entries whose code another entry holds now: their
// references stay as they are.
std::unordered_set<std::int32_t> reusedCodes(const std::vector<EntryLeft>& left) {
    std::unordered_set<std::int32_t> out;
    for (const EntryLeft& e : left)
        if (e.reused())
            out.insert(e.code);
    return out;
}

// The name of the entry of category with code, or nullopt when there is none.
std::optional<std::string> nameOf(Database& db, const catalogue::Category& cat, std::int32_t code) {
    Query q(db, "SELECT " + engine::QuoteName(cat.nameField) + " FROM " +
                    engine::QuoteName(cat.table) + " WHERE " + engine::QuoteName(cat.codeField) +
                    " = ?1");
    q.Bind(1, code);
    if (!q.Step())
        return std::nullopt;
    return q.Text(0);
}

// Sets the name of the entry with code from one name to another; false when
// the entry does not have the name from (or is gone).
bool renameFrom(Database& db, const catalogue::Category& cat, std::int32_t code,
                const std::string& from, const std::string& to) {
    Query q(db, "UPDATE " + engine::QuoteName(cat.table) + " SET " +
                    engine::QuoteName(cat.nameField) + " = ?1 WHERE " +
                    engine::QuoteName(cat.codeField) + " = ?2 AND " +
                    engine::QuoteName(cat.nameField) + " = ?3");
    q.Bind(1, to).Bind(2, code).Bind(3, from);
    return q.Run() > 0;
}

} // namespace

UndoPreview PreviewUndo(Database& db, const StepInfo& s) {
    UndoPreview p;
    const catalogue::Category& cat = categoryOf(s);
    if (s.action == "rename") {
        p.renameLeft = nameOf(db, cat, s.merges[0].targetCode) != s.merges[0].targetName;
        return p;
    }
    const std::string key = requireItemKey(db);
    std::vector<std::unordered_set<std::int32_t>> reused;
    for (int merge = 0; merge < static_cast<int>(s.merges.size()); ++merge) {
        std::vector<long long> entries;
        const std::vector<EntryLeft> left = entriesThere(db, cat, s.step, merge, entries);
        reused.push_back(reusedCodes(left));
        p.entriesLeft.insert(p.entriesLeft.end(), left.begin(), left.end());
        Query q(db, "SELECT count(DISTINCT entry) FROM combine_history_entries "
                    "WHERE step = ?1 AND merge = ?2");
        q.Bind(1, s.step).Bind(2, merge);
        q.Step();
        p.entriesBack += q.Integer(0) - static_cast<long long>(left.size());
    }
    std::unordered_set<long long> items;
    for (const RefRow& r : refsOf(db, s)) {
        if (reused[static_cast<size_t>(r.merge)].contains(r.oldCode)) {
            p.leftAlone += static_cast<long long>(r.keys.size());
            continue;
        }
        // The unary + keeps the planner on the keys: the column's index would
        // walk every item of the target, once per recorded code.
        Query q(db, "SELECT " + engine::QuoteName(key) + " FROM " +
                        engine::QuoteName(catalogue::ItemTable) + " WHERE " +
                        engine::QuoteName(key) + " IN (SELECT value FROM json_each(?1)) AND +" +
                        engine::QuoteName(r.column) + " = ?2");
        q.Bind(1, keyList(r.keys)).Bind(2, s.merges[static_cast<size_t>(r.merge)].targetCode);
        long long found = 0;
        while (q.Step()) {
            ++found;
            items.insert(q.Integer(0));
        }
        p.referencesBack += found;
        p.leftAlone += static_cast<long long>(r.keys.size()) - found;
    }
    p.itemsBack = static_cast<long long>(items.size());
    return p;
}

UndoOutcome Undo(Database& db, const StepInfo& given) {
    const StepInfo s = current(db, given.step);
    if (!s.undoable())
        throw Error(engine::err::InvalidOperation,
                    "Step " + std::to_string(s.step) + " is no step that can be undone.");
    const catalogue::Category& cat = categoryOf(s);
    UndoOutcome out;
    if (s.action == "rename") {
        const MergeInfo& m = s.merges[0];
        out.renameLeft = !renameFrom(db, cat, m.targetCode, m.targetName, m.mergedNames);
    } else {
        const std::string key = requireItemKey(db);
        const std::vector<RefRow> refs = refsOf(db, s);
        std::unordered_set<long long> items;

        // Merges of one step are undone newest first, as they were applied.
        for (int merge = static_cast<int>(s.merges.size()) - 1; merge >= 0; --merge) {
            const std::int32_t target = s.merges[static_cast<size_t>(merge)].targetCode;
            std::vector<long long> kept;
            const std::vector<EntryLeft> left = entriesThere(db, cat, s.step, merge, kept);
            const std::unordered_set<std::int32_t> reused = reusedCodes(left);
            out.entriesLeft.insert(out.entriesLeft.begin(), left.begin(), left.end());
            std::vector<std::string> fields;
            {
                Query q(db, "SELECT DISTINCT field FROM combine_history_entries "
                            "WHERE step = ?1 AND merge = ?2 ORDER BY field");
                q.Bind(1, s.step).Bind(2, merge);
                while (q.Step())
                    fields.push_back(q.Text(0));
            }
            if (!fields.empty()) {
                std::string names, values;
                for (size_t i = 0; i < fields.size(); ++i) {
                    names += (i ? ", " : "") + engine::QuoteName(fields[i]);
                    values += std::string(i ? ", " : "") +
                              "(SELECT value FROM combine_history_entries x WHERE x.step = "
                              "e.step AND x.merge = e.merge AND x.entry = e.entry AND x.field = ?" +
                              std::to_string(i + 4) + ")";
                }
                // Entries whose code is held again stay out: the unique code
                // index would refuse them, and the holder is not to be touched.
                Query q(db, "INSERT INTO " + engine::QuoteName(cat.table) + " (" + names +
                                ") SELECT " + values +
                                " FROM (SELECT DISTINCT step, merge, entry FROM "
                                "combine_history_entries WHERE step = ?1 AND merge = ?2 AND entry "
                                "NOT IN (SELECT value FROM json_each(?3)) ORDER BY entry) e");
                q.Bind(1, s.step).Bind(2, merge).Bind(3, keyList(kept));
                for (size_t i = 0; i < fields.size(); ++i)
                    q.Bind(static_cast<int>(i) + 4, fields[i]);
                out.entriesBack += q.Run();
            }
            // One statement per column, led by the recorded keys: a statement
            // per old code would journal the item pages it touches again each
            // time. The unary + keeps the planner off the column's index, which
            // would walk every item of the target.
            for (const std::string& column : cat.itemColumns) {
                const Keyed keyed = keyedRefs(refs, merge, column, [&](const RefRow& r) {
                    if (!reused.contains(r.oldCode))
                        return true;
                    out.leftAlone += static_cast<long long>(r.keys.size());
                    return false;
                });
                const auto recorded = static_cast<long long>(keyed.size());
                if (recorded == 0)
                    continue;
                const std::string table = engine::QuoteName(catalogue::ItemTable);
                Query q(db, "UPDATE " + table + " SET " + engine::QuoteName(column) +
                                " = m.old FROM " + PairTable + " WHERE " + table + "." +
                                engine::QuoteName(key) + " = m.k AND +" + table + "." +
                                engine::QuoteName(column) + " = ?2 RETURNING " +
                                engine::QuoteName(key) + ", " + engine::QuoteName(column));
                q.Bind(1, pairList(keyed)).Bind(2, target);
                std::map<std::int32_t, long long> back;
                long long total = 0;
                while (q.Step()) {
                    ++total;
                    items.insert(q.Integer(0));
                    ++back[static_cast<std::int32_t>(q.Integer(1))];
                }
                out.leftAlone += recorded - total;
                out.referencesBack += total;
                for (const auto& [code, count] : back)
                    out.moved.push_back({column, target, code, count});
            }
        }
        out.itemsBack = static_cast<long long>(items.size());
    }

    const std::string now = NowUtc();
    Query mark(db, "UPDATE combine_history SET undone_at = ?2 WHERE step = ?1");
    mark.Bind(1, s.step).Bind(2, now);
    mark.Run();
    out.step = addStep(db, "undo", s.category, s.step, now);
    setItems(db, out.step, out.referencesBack);
    return out;
}

namespace {

// The codes of merge of step whose entries are there again under their
// recorded names: the entries a redo deletes.
std::vector<std::int32_t> backAgain(Database& db, const catalogue::Category& cat, long long step,
                                    int merge) {
    std::vector<long long> entries;
    std::vector<std::int32_t> out;
    for (const EntryLeft& e : entriesThere(db, cat, step, merge, entries))
        if (!e.reused())
            out.push_back(e.code);
    return out;
}

// Does what redo and its preview share: the recorded references of step
// that still hold their old codes are re-pointed to the target (counted
// only when rec is null), the merged entries that are there again deleted
// and, with rec, all of it recorded as rec's step.
RedoOutcome redoCombine(Database& db, const StepInfo& s, Recorder* rec) {
    const catalogue::Category& cat = categoryOf(s);
    const std::string key = requireItemKey(db);
    const std::string table = engine::QuoteName(catalogue::ItemTable);
    const std::vector<RefRow> refs = refsOf(db, s);
    RedoOutcome out;
    for (int merge = 0; merge < static_cast<int>(s.merges.size()); ++merge) {
        const MergeInfo& m = s.merges[static_cast<size_t>(merge)];
        if (!m.targetName.empty() && !nameOf(db, cat, m.targetCode))
            throw Error(engine::err::InvalidOperation,
                        "The entry '" + m.targetName + "' that step " + std::to_string(s.step) +
                            " combined into is no longer there, so the step cannot be redone.");
        std::vector<std::int32_t> codes = backAgain(db, cat, s.step, merge);
        if (s.action == "delete") {
            // Only entries that are still unused go again.
            std::vector<std::int32_t> still;
            for (const unused::Entry& e : unused::StillUnused(db, cat, codes))
                still.push_back(e.code);
            codes = std::move(still);
        }
        const std::string condition = codes.empty() ? "" : Condition(CodesText(codes));
        if (rec) {
            recordMergeRow(*rec, cat, merge, m.targetCode, m.targetName, m.mergedCodes,
                           m.mergedNames);
            if (!codes.empty())
                recordEntries(*rec, cat, merge, condition);
        }
        std::vector<long long> changed(cat.itemColumns.size(), 0);
        // As the undo: one statement per column, led by the recorded keys in
        // key order, the unary + keeping the planner off the column's index.
        for (size_t c = 0; c < cat.itemColumns.size(); ++c) {
            const std::string& name = cat.itemColumns[c];
            const Keyed keyed = keyedRefs(refs, merge, name, [](const RefRow&) { return true; });
            if (keyed.empty())
                continue;
            const std::string column = table + "." + engine::QuoteName(name);
            // A clear takes only a subject that still repeats the first one.
            const std::string where =
                " WHERE " + table + "." + engine::QuoteName(key) + " = m.k AND +" + column +
                " = m.old" +
                (s.action == "clear"
                     ? " AND " + table + "." + engine::QuoteName(cat.itemColumns[0]) + " = m.old"
                     : "");
            Query q(db, rec ? "UPDATE " + table + " SET " + engine::QuoteName(name) +
                                  " = ?2 FROM " + PairTable + where + " RETURNING " +
                                  engine::QuoteName(key)
                            : "SELECT " + table + "." + engine::QuoteName(key) + " FROM " + table +
                                  ", " + PairTable + where);
            q.Bind(1, pairList(keyed));
            if (rec)
                q.Bind(2, m.targetCode);
            // The keys moved, by the code they held.
            std::map<std::int32_t, std::vector<long long>> moved;
            while (q.Step()) {
                const long long k = q.Integer(0);
                const auto at = std::lower_bound(
                    keyed.begin(), keyed.end(), k,
                    [](const auto& p, long long wanted) { return p.first < wanted; });
                moved[at->second].push_back(k);
            }
            for (auto& [code, keys] : moved) {
                const auto count = static_cast<long long>(keys.size());
                changed[c] += count;
                out.moved.push_back({name, code, m.targetCode, count});
                if (rec) {
                    std::sort(keys.begin(), keys.end());
                    recordKeys(*rec, merge, name, code, keys);
                }
            }
            out.referencesMoved += changed[c];
            out.skipped += static_cast<long long>(keyed.size()) - changed[c];
        }
        if (!codes.empty() && rec) {
            db.Execute("DELETE * FROM [" + cat.table + "] WHERE [" + cat.codeField + "]" +
                       condition);
            out.entriesDeleted += db.RecordsAffected();
        } else {
            out.entriesDeleted += static_cast<long long>(codes.size());
        }
        if (rec)
            recordChanged(*rec, merge, changed);
    }
    return out;
}

} // namespace

RedoPreview PreviewRedo(Database& db, const StepInfo& s) {
    RedoPreview p;
    if (s.action == "rename") {
        p.renameSkipped =
            nameOf(db, categoryOf(s), s.merges[0].targetCode) != s.merges[0].mergedNames;
        return p;
    }
    const RedoOutcome counted = redoCombine(db, s, nullptr);
    p.referencesMoved = counted.referencesMoved;
    p.skipped = counted.skipped;
    p.entriesDeleted = counted.entriesDeleted;
    return p;
}

RedoOutcome Redo(Database& db, const StepInfo& given) {
    const StepInfo s = current(db, given.step);
    if (!s.redoable)
        throw Error(engine::err::InvalidOperation,
                    "Step " + std::to_string(s.step) + " is no undone step that can be redone.");
    const catalogue::Category& cat = categoryOf(s);
    Recorder rec{db, {}, addStep(db, "redo", s.category, s.step, NowUtc())};
    RedoOutcome out;
    if (s.action == "rename") {
        const MergeInfo& m = s.merges[0];
        recordMergeRow(rec, cat, 0, m.targetCode, m.targetName, m.mergedCodes, m.mergedNames);
        out.renameSkipped = !renameFrom(db, cat, m.targetCode, m.mergedNames, m.targetName);
    } else {
        rec.key = requireItemKey(db);
        out = redoCombine(db, s, &rec);
    }
    setItems(db, rec.step, out.referencesMoved);
    out.step = rec.step;
    return out;
}

RenameOutcome Rename(Database& db, const catalogue::Category& cat, std::int32_t code,
                     const std::string& newName) {
    const std::optional<std::string> old = nameOf(db, cat, code);
    if (!old)
        throw Error(engine::err::ItemNotFound,
                    "There is no entry with the code " + std::to_string(code) + ".");
    RenameOutcome out;
    if (std::optional<Recorder> rec = startStep(db, "rename", cat.word)) {
        recordMergeRow(*rec, cat, 0, code, newName, std::to_string(code), *old);
        out.recorded = true;
        out.step = rec->step;
    }
    Query q(db, "UPDATE " + engine::QuoteName(cat.table) + " SET " +
                    engine::QuoteName(cat.nameField) + " = ?1 WHERE " +
                    engine::QuoteName(cat.codeField) + " = ?2");
    q.Bind(1, newName).Bind(2, code);
    q.Run();
    return out;
}

DeleteOutcome DeleteUnused(Database& db, const catalogue::Category& cat,
                           const std::vector<std::int32_t>& codes) {
    const std::vector<unused::Entry> still = unused::StillUnused(db, cat, codes);
    DeleteOutcome out;
    out.left = static_cast<long long>(
        std::unordered_set<std::int32_t>(codes.begin(), codes.end()).size() - still.size());
    if (still.empty())
        return out;
    std::vector<std::int32_t> gone;
    std::string names;
    for (const unused::Entry& e : still) {
        gone.push_back(e.code);
        names += (names.empty() ? "" : ", ") + e.name;
    }
    const std::string condition = Condition(CodesText(gone));
    if (std::optional<Recorder> rec = startStep(db, "delete", cat.word)) {
        recordMergeRow(*rec, cat, 0, -1, "", CodesText(gone), names);
        recordEntries(*rec, cat, 0, condition);
        out.recorded = true;
        out.step = rec->step;
    }
    db.Execute("DELETE * FROM [" + cat.table + "] WHERE [" + cat.codeField + "]" + condition);
    out.deleted = db.RecordsAffected();
    return out;
}

ClearOutcome ClearRepeated(Database& db) {
    const catalogue::Category& cat = *catalogue::CategoryOfWord("Subject");
    const std::string table = engine::QuoteName(catalogue::ItemTable);
    const std::string first = engine::QuoteName(cat.itemColumns[0]);
    const std::string second = engine::QuoteName(cat.itemColumns[1]);
    const std::string where = " WHERE " + second + " = " + first + " AND " + first + " <> -1";
    ClearOutcome out;
    if (unused::RepeatedSubjects(db) == 0)
        return out;
    std::optional<Recorder> rec = startStep(db, "clear", cat.word);
    if (rec) {
        recordMergeRow(*rec, cat, 0, -1, "", "", "");
        out.recorded = true;
        out.step = rec->step;
    }
    // The keys grouped by subject and ascending, as a combine records them
    // (where nothing is recorded only the subjects count).
    const std::string key = rec ? rec->key : itemKey(db);
    Query q(db, "SELECT " + second + ", " + (key.empty() ? "0" : engine::QuoteName(key)) +
                    " FROM " + table + where + " ORDER BY 1, 2");
    std::vector<long long> keys;
    std::int32_t code = -1;
    auto flush = [&] {
        if (keys.empty())
            return;
        out.moved.push_back({cat.itemColumns[1], code, -1, static_cast<long long>(keys.size())});
        if (rec)
            recordKeys(*rec, 0, cat.itemColumns[1], code, keys);
        keys.clear();
    };
    while (q.Step()) {
        const auto c = static_cast<std::int32_t>(q.Integer(0));
        if (c != code)
            flush();
        code = c;
        keys.push_back(q.Integer(1));
    }
    flush();
    db.Execute("UPDATE " + table + " SET " + second + " = -1" + where);
    out.cleared = db.RecordsAffected();
    if (rec) {
        recordChanged(*rec, 0, {0, out.cleared});
        setItems(db, rec->step, out.cleared);
    }
    return out;
}

namespace {

// One field of a CSV row: in quotes, with quotes doubled, when it holds a
// comma, a quote or a line break.
void csvField(std::string& out, const std::string& text, bool last) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
    } else {
        out += '"';
        for (char c : text) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    out += last ? "\r\n" : ",";
}

void csvRow(std::string& out, const std::vector<std::string>& fields) {
    for (size_t i = 0; i < fields.size(); ++i)
        csvField(out, fields[i], i + 1 == fields.size());
}

} // namespace

std::string HistoryCsv(const std::vector<StepInfo>& steps) {
    std::string out;
    csvRow(out, {"step", "when", "kind", "category", "names", "codes", "target", "target code",
                 "items", "undone", "undoes"});
    for (const StepInfo& s : steps) {
        const std::string undone = s.undoneAt.value_or("");
        const std::string undoes = s.undoes ? std::to_string(*s.undoes) : "";
        const std::string first = std::to_string(s.step);
        if (s.merges.empty())
            csvRow(out, {first, s.at, s.kind, s.category, "", "", "", "", std::to_string(s.items),
                         undone, undoes});
        for (const MergeInfo& m : s.merges) {
            long long items = 0;
            for (long long c : m.changed)
                items += c;
            csvRow(out,
                   {first, s.at, s.kind, s.category, m.mergedNames, m.mergedCodes, m.targetName,
                    std::to_string(m.targetCode), std::to_string(items), undone, undoes});
        }
    }
    return out;
}

void Forget(Database& db) {
    // Emptied rather than dropped: the window's open recordsets keep reads
    // pending on the connection, and SQLite drops no table while they do.
    requireSound(db);
    for (const TableShape& t : shapes())
        if (TableExists(db, t.name))
            db.Execute("DELETE FROM " + engine::QuoteName(t.name));
}

std::vector<unsigned char> EncodeKeys(const std::vector<long long>& keys) {
    std::vector<unsigned char> out;
    out.reserve(keys.size() * 2);
    auto put = [&out](unsigned long long v) {
        while (v >= 0x80) {
            out.push_back(static_cast<unsigned char>(v | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<unsigned char>(v));
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i == 0) {
            const auto v = static_cast<unsigned long long>(keys[0]);
            put((v << 1) ^ (keys[0] < 0 ? ~0ULL : 0ULL));
        } else {
            put(static_cast<unsigned long long>(keys[i]) -
                static_cast<unsigned long long>(keys[i - 1]));
        }
    }
    return out;
}

std::vector<long long> DecodeKeys(const std::vector<unsigned char>& bytes, long long count) {
    if (count < 0 || static_cast<unsigned long long>(count) > bytes.size())
        damaged("a list of item keys does not match its count");
    std::vector<long long> out;
    out.reserve(static_cast<size_t>(count));
    size_t i = 0;
    unsigned long long prev = 0;
    while (i < bytes.size()) {
        unsigned long long v = 0;
        int shift = 0;
        for (;;) {
            if (i >= bytes.size() || shift > 63)
                damaged("a list of item keys is cut short");
            const unsigned char b = bytes[i++];
            v |= static_cast<unsigned long long>(b & 0x7f) << shift;
            shift += 7;
            if (!(b & 0x80))
                break;
        }
        if (out.empty()) {
            prev = (v >> 1) ^ (~(v & 1) + 1);
        } else {
            if (v == 0)
                damaged("a list of item keys is out of order");
            prev += v;
        }
        out.push_back(static_cast<long long>(prev));
    }
    if (static_cast<long long>(out.size()) != count)
        damaged("a list of item keys does not match its count");
    return out;
}

} // namespace history
