// The combine operation and the combine history.
#include "history.h"

#include "query.h"

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
         "    kind      TEXT NOT NULL CHECK (kind IN ('combine', 'undo')),\n"
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

// Records the merged entries of one merge with every field they have, and
// which items refer to them in each column; returns the references found
// per column, in the order of the category's columns.
void recordMerge(Recorder& r, const catalogue::Category& cat, int merge, const Merge& m,
                 const std::string& condition, std::int32_t target) {
    Database& db = r.db;
    {
        Query q(db, "INSERT INTO combine_history_merges (step, merge, target_code, target_name, "
                    "merged_codes, merged_names, changed_1, changed_2) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, ?7)");
        q.Bind(1, r.step).Bind(2, merge).Bind(3, target).Bind(4, m.targetName);
        q.Bind(5, CodesText(m.codes)).Bind(6, m.names);
        if (cat.itemColumns.size() > 1)
            q.Bind(7, 0LL);
        else
            q.BindNull(7);
        q.Run();
    }
    for (const std::string& field : ColumnsOf(db, cat.table)) {
        Query q(db, "INSERT INTO combine_history_entries (step, merge, entry, field, value) "
                    "SELECT ?1, ?2, rowid, ?3, " +
                        engine::QuoteName(field) + " FROM " + engine::QuoteName(cat.table) +
                        " WHERE " + engine::QuoteName(cat.codeField) + condition);
        q.Bind(1, r.step).Bind(2, merge).Bind(3, field);
        q.Run();
    }
    Query ins(db, "INSERT INTO combine_history_refs (step, merge, column_name, old_code, count, "
                  "items) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (const std::string& column : cat.itemColumns) {
        // The column's index yields the keys grouped by code and ascending.
        Query q(db, "SELECT " + engine::QuoteName(column) + ", " + engine::QuoteName(r.key) +
                        " FROM " + engine::QuoteName(catalogue::ItemTable) + " WHERE " +
                        engine::QuoteName(column) + condition + " ORDER BY 1, 2");
        std::vector<long long> keys;
        long long code = 0;
        auto flush = [&] {
            if (keys.empty())
                return;
            ins.Rewind();
            ins.Bind(1, r.step).Bind(2, merge).Bind(3, column).Bind(4, code);
            ins.Bind(5, static_cast<long long>(keys.size())).BindBlob(6, EncodeKeys(keys));
            ins.Run();
            keys.clear();
        };
        while (q.Step()) {
            const long long c = q.Integer(0);
            if (!keys.empty() && c != code)
                flush();
            code = c;
            keys.push_back(q.Integer(1));
        }
        flush();
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
    const Status status = Inspect(db);
    std::optional<Recorder> rec;
    if (status.recordable()) {
        if (status.state == State::Absent)
            for (const TableShape& t : shapes())
                db.Execute(t.ddl);
        Query q(db, "INSERT INTO combine_history (kind, at, category, items) "
                    "VALUES ('combine', ?1, ?2, 0)");
        q.Bind(1, NowUtc()).Bind(2, cat.word);
        q.Run();
        Query id(db, "SELECT max(step) FROM combine_history");
        id.Step();
        rec.emplace(Recorder{db, status.itemKey, id.Integer(0)});
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
        if (rec) {
            Query q(db, "UPDATE combine_history_merges SET changed_1 = ?3, changed_2 = ?4 "
                        "WHERE step = ?1 AND merge = ?2");
            q.Bind(1, rec->step).Bind(2, static_cast<long long>(i)).Bind(3, changed[0]);
            if (changed.size() > 1)
                q.Bind(4, changed[1]);
            else
                q.BindNull(4);
            q.Run();
        }
    }
    if (rec) {
        Query q(db, "UPDATE combine_history SET items = ?2 WHERE step = ?1");
        q.Bind(1, rec->step).Bind(2, total);
        q.Run();
    }
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
            if (s.kind != "combine" && s.kind != "undo")
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
    for (const StepInfo& s : steps)
        if (s.kind == "combine" && s.merges.empty())
            damaged("step " + std::to_string(s.step) + " records no merge");
    return steps;
}

std::optional<StepInfo> LastUndoable(Database& db) {
    for (StepInfo& s : ReadHistory(db))
        if (s.kind == "combine" && !s.undoneAt)
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

namespace {

struct RefRow {
    int merge;
    std::string column;
    std::int32_t oldCode;
    std::vector<long long> keys;
};

const catalogue::Category& categoryOf(const StepInfo& s) {
    const catalogue::Category* cat = catalogue::CategoryOfWord(s.category);
    if (!cat)
        damaged("step " + std::to_string(s.step) + " names an unknown category");
    return *cat;
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

} // namespace

UndoPreview PreviewUndo(Database& db, const StepInfo& s) {
    const std::string key = itemKey(db);
    if (key.empty())
        damaged("the item table has no INTEGER PRIMARY KEY any more");
    UndoPreview p;
    std::unordered_set<long long> items;
    for (const RefRow& r : refsOf(db, s)) {
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

UndoOutcome Undo(Database& db, const StepInfo& s) {
    if (s.kind != "combine" || s.undoneAt)
        throw Error(engine::err::InvalidOperation,
                    "Step " + std::to_string(s.step) + " is no combine that can be undone.");
    const catalogue::Category& cat = categoryOf(s);
    const std::string key = itemKey(db);
    if (key.empty())
        damaged("the item table has no INTEGER PRIMARY KEY any more");
    const std::vector<RefRow> refs = refsOf(db, s);
    UndoOutcome out;
    std::unordered_set<long long> items;

    // Merges of one step are undone newest first, as they were applied.
    for (int merge = static_cast<int>(s.merges.size()) - 1; merge >= 0; --merge) {
        const std::int32_t target = s.merges[static_cast<size_t>(merge)].targetCode;
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
                          "(SELECT value FROM combine_history_entries x WHERE x.step = e.step "
                          "AND x.merge = e.merge AND x.entry = e.entry AND x.field = ?" +
                          std::to_string(i + 3) + ")";
            }
            Query q(db, "INSERT INTO " + engine::QuoteName(cat.table) + " (" + names + ") SELECT " +
                            values +
                            " FROM (SELECT DISTINCT step, merge, entry FROM "
                            "combine_history_entries WHERE step = ?1 AND merge = ?2 "
                            "ORDER BY entry) e");
            q.Bind(1, s.step).Bind(2, merge);
            for (size_t i = 0; i < fields.size(); ++i)
                q.Bind(static_cast<int>(i) + 3, fields[i]);
            out.entriesBack += q.Run();
        }
        // One statement per column, led by the recorded keys: a statement per
        // old code would journal the item pages it touches again each time.
        // The unary + keeps the planner off the column's index, which would
        // walk every item of the target.
        for (const std::string& column : cat.itemColumns) {
            std::string pairs = "[";
            long long recorded = 0;
            char buf[24];
            for (const RefRow& r : refs) {
                if (r.merge != merge || r.column != column)
                    continue;
                const std::string code = std::to_string(r.oldCode);
                for (long long k : r.keys) {
                    pairs += recorded++ ? ",[" : "[";
                    pairs.append(buf, std::to_chars(buf, buf + sizeof buf, k).ptr);
                    pairs += ',' + code + ']';
                }
            }
            if (recorded == 0)
                continue;
            pairs += ']';
            const std::string table = engine::QuoteName(catalogue::ItemTable);
            Query q(db, "UPDATE " + table + " SET " + engine::QuoteName(column) +
                            " = m.old FROM (SELECT json_extract(value, '$[0]') AS k, "
                            "json_extract(value, '$[1]') AS old FROM json_each(?1)) AS m WHERE " +
                            table + "." + engine::QuoteName(key) + " = m.k AND +" + table + "." +
                            engine::QuoteName(column) + " = ?2 RETURNING " +
                            engine::QuoteName(key) + ", " + engine::QuoteName(column));
            q.Bind(1, pairs).Bind(2, target);
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

    const std::string now = NowUtc();
    Query mark(db, "UPDATE combine_history SET undone_at = ?2 WHERE step = ?1");
    mark.Bind(1, s.step).Bind(2, now);
    mark.Run();
    Query add(db, "INSERT INTO combine_history (kind, at, category, undoes, items) "
                  "VALUES ('undo', ?1, ?2, ?3, ?4)");
    add.Bind(1, now).Bind(2, s.category).Bind(3, s.step).Bind(4, out.referencesBack);
    add.Run();
    Query id(db, "SELECT max(step) FROM combine_history");
    id.Step();
    out.step = id.Integer(0);
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
