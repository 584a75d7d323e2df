// Suggested duplicates of a category made ready for review and combining:
// the category's entries as the lists show them, clusters turned into groups
// with a target and item counts, the batch combine's plan, and the entries
// like a given one.
#pragma once

#include "catalogue.h"
#include "clustering.h"
#include "engine.h"
#include "history.h"
#include "itemcounts.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dupes {

// A lookup entry as the lists show it.
struct Entry {
    std::int32_t code;
    std::string name;
};

// The entries of category in the order the window's lists show them: the
// order of its name index, from the first name after the empty one, so that
// Null and empty names are left out. Names are as stored. Raises the
// engine's errors, ItemNotFound when the table lacks the code or name field.
std::vector<Entry> ReadEntries(engine::Database& db, const catalogue::Category& category);

struct Member {
    int entry; // index into the entries
    long long items;
    bool checked = true;
};

struct Group {
    std::vector<Member> members; // in name order
    int target = 0;              // index into members
    bool checked = true;
    int certainty = 100; // as dedupe::Found
    std::string reason;
    // Items the group's combine re-points: those of its checked members
    // other than the target.
    long long repointed() const;
};

// Groups of clusters (indexes into entries): each member's item count, the
// target the member with most items (ties: the first in name order), groups
// sorted by certainty, surest first, then by the items they would re-point,
// largest first. Groups start checked when at least dedupe::SureCertainty.
std::vector<Group> MakeGroups(const std::vector<Entry>& entries,
                              const std::vector<dedupe::Found>& clusters, const ItemCounts& counts);

// Takes members[member] out of group. The target stays; when it was that
// member, the member with most items (ties: the first) takes its place.
// Returns false when fewer than two members are left: no cluster any more.
bool DropMember(Group& group, int member);

// The finder's settings for category: subject headings are headings, where
// a heading inside another is a narrower one.
dedupe::Settings SettingsFor(const catalogue::Category& category, dedupe::Settings settings = {});

// What a batch combine of the checked groups does.
struct BatchPlan {
    std::vector<history::Merge> merges;
    long long entries = 0; // entries merged away
    long long targets = 0;
    long long items = 0;       // references re-pointed
    long long sameSubject = 0; // items that end with one subject in both columns
};
// Reads the items concerned to count sameSubject (two-column categories
// only). Groups with fewer than two checked members are left out.
BatchPlan PlanBatch(engine::Database& db, const catalogue::Category& category,
                    const std::vector<Entry>& entries, const std::vector<Group>& groups,
                    const ItemCounts& counts);

// The entries whose fingerprint equals that of entries[which], which included.
std::vector<int> LikeThis(const std::vector<Entry>& entries, int which);

// The entry other than entries[except] whose name is name, else the first
// whose fingerprint is name's (an empty fingerprint matches none); -1 when
// there is none. What a rename to name would duplicate.
int NamedLike(const std::vector<Entry>& entries, int except, const std::string& name);

} // namespace dupes
