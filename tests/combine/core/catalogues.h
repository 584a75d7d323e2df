// What the combine tests share without a window: catalogues written from
// entries and items on the generator's schema, and read back through the
// engine.
#pragma once

#include "engine.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct Entry {
    int code;
    std::optional<std::string> name; // nullopt: a Null name
};
using Item = std::array<int, 4>; // Subject 1, Subject 2, Publisher, Item Type
using Lookup = std::map<int, std::optional<std::string>>;
using Dump = std::map<std::string, std::vector<std::string>>;

// Writes a catalogue at path with these entries and items, then runs the
// extra statements. Returns path.
std::string writeCatalogue(const std::string& path, const std::vector<Entry>& subjects,
                           const std::vector<Entry>& publishers, const std::vector<Entry>& types,
                           const std::vector<Item>& items,
                           const std::vector<std::string>& extra = {});
Lookup readLookup(const std::string& path, const std::string& word);
std::vector<Item> readItems(const std::string& path);
Lookup lookupOf(const std::vector<Entry>& entries);

// Every row of every table, field for field with its storage class, in
// content order; the combine history's tables only when asked for.
Dump dump(engine::Database& db, bool withHistory);
Dump dump(const std::string& path, bool withHistory);

} // namespace testsupport
