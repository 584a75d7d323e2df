// The three lookup categories of a catalogue: for each, the lookup word, its
// table, code and name fields, its name index, and the item columns that
// refer to it.
#pragma once

#include <string>
#include <vector>

namespace catalogue {

// The item table, whose columns refer to the lookup tables by code.
inline const std::string ItemTable = "MERVANE RECORDS";

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

} // namespace catalogue
