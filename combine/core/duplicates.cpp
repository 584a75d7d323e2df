// Suggested duplicates made ready for review and combining.
#include "duplicates.h"

#include "fingerprint.h"
#include "query.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace dupes {
namespace {

// The member with most items; ties: the first.
int mostItems(const std::vector<Member>& members) {
    return static_cast<int>(
        std::max_element(members.begin(), members.end(),
                         [](const Member& a, const Member& b) { return a.items < b.items; }) -
        members.begin());
}

} // namespace

std::vector<Entry> ReadEntries(engine::Database& db, const catalogue::Category& category) {
    const std::unique_ptr<engine::Recordset> rs = db.OpenTable(category.table);
    rs->Index(category.nameIndex);
    const engine::FieldCollection fields = rs->Fields();
    const engine::Field code = fields.Item(category.codeField);
    const engine::Field name = fields.Item(category.nameField);
    std::vector<Entry> entries;
    rs->Seek(">", engine::Variant(std::string()));
    if (!rs->NoMatch())
        for (; !rs->Eof(); rs->MoveNext())
            entries.push_back({code.Value().ToLong(), name.Value().ToText()});
    rs->Close();
    return entries;
}

long long Group::repointed() const {
    long long n = 0;
    for (size_t i = 0; i < members.size(); ++i)
        if (static_cast<int>(i) != target && members[i].checked)
            n += members[i].items;
    return n;
}

std::vector<Group> MakeGroups(const std::vector<Entry>& entries,
                              const std::vector<dedupe::Found>& clusters,
                              const ItemCounts& counts) {
    std::vector<Group> groups;
    groups.reserve(clusters.size());
    for (const dedupe::Found& c : clusters) {
        Group g;
        g.certainty = c.certainty;
        g.reason = c.reason;
        g.checked = c.certainty >= dedupe::SureCertainty;
        for (int e : c.members)
            g.members.push_back({e, counts.total(entries[static_cast<size_t>(e)].code)});
        std::sort(g.members.begin(), g.members.end(),
                  [](const Member& a, const Member& b) { return a.entry < b.entry; });
        g.target = mostItems(g.members);
        groups.push_back(std::move(g));
    }
    std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
        if (a.certainty != b.certainty)
            return a.certainty > b.certainty;
        const long long ra = a.repointed(), rb = b.repointed();
        return ra != rb ? ra > rb : a.members[0].entry < b.members[0].entry;
    });
    return groups;
}

bool DropMember(Group& group, int member) {
    group.members.erase(group.members.begin() + member);
    if (group.target > member)
        --group.target;
    else if (group.target == member)
        group.target = mostItems(group.members);
    return group.members.size() >= 2;
}

dedupe::Settings SettingsFor(const catalogue::Category& category, dedupe::Settings settings) {
    settings.headings = category.word == "Subject";
    return settings;
}

BatchPlan PlanBatch(engine::Database& db, const catalogue::Category& category,
                    const std::vector<Entry>& entries, const std::vector<Group>& groups,
                    const ItemCounts& counts) {
    BatchPlan plan;
    std::unordered_map<std::int32_t, std::int32_t> into;
    for (const Group& g : groups) {
        if (!g.checked)
            continue;
        const Entry& target =
            entries[static_cast<size_t>(g.members[static_cast<size_t>(g.target)].entry)];
        history::Merge m;
        std::string names;
        for (size_t i = 0; i < g.members.size(); ++i) {
            const Member& mb = g.members[i];
            const Entry& e = entries[static_cast<size_t>(mb.entry)];
            if (static_cast<int>(i) == g.target || !mb.checked || e.code == target.code)
                continue;
            m.codes.push_back(e.code);
            names += (names.empty() ? "" : ", ") + e.name;
            into[e.code] = target.code;
        }
        if (m.codes.empty())
            continue;
        m.names = names;
        m.targetName = target.name;
        const std::int32_t t = target.code;
        m.target = [t] { return t; };
        plan.entries += static_cast<long long>(m.codes.size());
        plan.targets += 1;
        for (std::int32_t c : m.codes)
            plan.items += counts.total(c);
        plan.merges.push_back(std::move(m));
    }
    if (category.itemColumns.size() == 2 && !into.empty()) {
        std::string list;
        for (const auto& [code, target] : into)
            list += (list.empty() ? "" : ", ") + std::to_string(code);
        const std::string a = engine::QuoteName(category.itemColumns[0]);
        const std::string b = engine::QuoteName(category.itemColumns[1]);
        engine::Query q(db, "SELECT " + a + ", " + b + " FROM " +
                                engine::QuoteName(catalogue::ItemTable) + " WHERE " + a + " IN (" +
                                list + ") OR " + b + " IN (" + list + ")");
        auto map = [&into](long long code) {
            const auto it = into.find(static_cast<std::int32_t>(code));
            return it == into.end() ? code : static_cast<long long>(it->second);
        };
        while (q.Step()) {
            if (q.IsNull(0) || q.IsNull(1))
                continue;
            const long long s1 = q.Integer(0), s2 = q.Integer(1);
            if (s1 != s2 && map(s1) == map(s2))
                ++plan.sameSubject;
        }
    }
    return plan;
}

std::vector<int> LikeThis(const std::vector<Entry>& entries, int which) {
    const std::string key = dedupe::fingerprint(entries[static_cast<size_t>(which)].name);
    std::vector<int> out;
    if (key.empty())
        return {which};
    std::string fp;
    for (size_t i = 0; i < entries.size(); ++i) {
        dedupe::fingerprintInto(entries[i].name, fp);
        if (fp == key)
            out.push_back(static_cast<int>(i));
    }
    return out;
}

int NamedLike(const std::vector<Entry>& entries, int except, const std::string& name) {
    const std::string key = dedupe::fingerprint(name);
    int like = -1;
    std::string fp;
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
        if (i == except)
            continue;
        const std::string& other = entries[static_cast<size_t>(i)].name;
        if (other == name)
            return i;
        if (like < 0 && !key.empty()) {
            dedupe::fingerprintInto(other, fp);
            if (fp == key)
                like = i;
        }
    }
    return like;
}

} // namespace dupes
