// What a catalogue is, written once: its tables, fields and indexes, the
// marker that names the product, and the three lookup categories. The window,
// the duplicate finder, the repair program's rebuild and the sample generator
// all read it from here.
#pragma once

#include "engine.h"

#include <span>
#include <string>
#include <vector>

namespace catalogue {

// The product version that the first FILEINFO record of a supported
// catalogue carries in its "Product Name" field.
inline constexpr const char* ProductVersion = "Mervane 1.7";

// The table that describes the file, and the item table, whose columns refer
// to the lookup tables by code.
inline const std::string InfoTable = "FILEINFO";
inline const std::string ItemTable = "MERVANE RECORDS";

// The fields of the item table and of FILEINFO, in stored order; the item
// number, the item table's INTEGER PRIMARY KEY, first.
const std::vector<std::string>& ItemFields();
const std::vector<std::string>& InfoFields();

struct Category {
    int comboIndex;                       // position in the window's category list
    std::string caption;                  // as the category list shows it
    std::string word;                     // the lookup word
    std::string table;                    // the lookup table
    std::string codeField;                // word + " Code"
    std::string nameField;                // word + " Name"
    std::string nameIndex;                // word + " Name Index"
    std::vector<std::string> itemColumns; // item columns re-pointed by a combine, in order
};

// The categories in the order of the window's category list.
const std::vector<Category>& Categories();

// The category at a position of the category list, or null for any other value.
const Category* CategoryAt(int comboIndex);

// The category of a lookup word, or null.
const Category* CategoryOfWord(const std::string& word);

// The statements that create an empty catalogue: the five tables, then the
// ten indexes (docs/catalogue-format.md lists them).
std::span<const char* const> TableStatements();
std::span<const char* const> IndexStatements();

// The catalogue's shape as the engine's rebuild after a lost schema needs it.
const engine::RebuildLayout& RebuildLayout();

} // namespace catalogue
