// Catalogues written from entries and items, and read back through the
// engine: what the combine tests share, without Qt.
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
using Dump = std::map<std::string, std::vector<std::string>>;

// A catalogue at path with these entries and items, then the extra statements run.
std::string writeCatalogue(const std::string& path, const std::vector<Entry>& subjects,
                           const std::vector<Entry>& publishers, const std::vector<Entry>& types,
                           const std::vector<Item>& items,
                           const std::vector<std::string>& extra = {});
// The history tests' catalogue: every category, code -1 among the subjects,
// lookup fields beyond code and name of every storage class.
std::string writeHistorySample(const std::string& path, const std::vector<std::string>& extra = {});

// Every row of every table that has rows, each field with its storage class,
// in content order; the combine history's tables only when asked for.
Dump dump(engine::Database& db, bool withHistory);
Dump dump(const std::string& path, bool withHistory);

} // namespace testsupport
