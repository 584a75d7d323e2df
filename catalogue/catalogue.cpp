// What a catalogue is: its tables, indexes and lookup categories.
#include "catalogue.h"

#include <algorithm>
#include <iterator>

namespace catalogue {

namespace {

Category make(int index, const std::string& caption, const std::string& word,
              std::vector<std::string> columns) {
    return Category{index,
                    caption,
                    word,
                    word + "s",
                    word + " Code",
                    word + " Name",
                    word + " Name Index",
                    std::move(columns)};
}

const char* const tables[] = {
    "CREATE TABLE [FILEINFO] ([Product Name] TEXT, [Catalogue Name] TEXT, [Created] TEXT)",
    "CREATE TABLE [Subjects] ([Subject Code] INTEGER NOT NULL CHECK ([Subject Code] BETWEEN "
    "-2147483648 AND 2147483647), [Subject Name] TEXT)",
    "CREATE TABLE [Publishers] ([Publisher Code] INTEGER NOT NULL CHECK ([Publisher Code] "
    "BETWEEN -2147483648 AND 2147483647), [Publisher Name] TEXT)",
    "CREATE TABLE [Types] ([Type Code] INTEGER NOT NULL CHECK ([Type Code] BETWEEN -2147483648 "
    "AND 2147483647), [Type Name] TEXT)",
    "CREATE TABLE [MERVANE RECORDS] ([Item Number] INTEGER PRIMARY KEY, [Title] TEXT, [Author] "
    "TEXT, [Subject 1] INTEGER CHECK ([Subject 1] BETWEEN -2147483648 AND 2147483647), "
    "[Subject 2] INTEGER CHECK ([Subject 2] BETWEEN -2147483648 AND 2147483647), [Publisher] "
    "INTEGER CHECK ([Publisher] BETWEEN -2147483648 AND 2147483647), [Item Type] INTEGER CHECK "
    "([Item Type] BETWEEN -2147483648 AND 2147483647), [Year] INTEGER, [ISBN] TEXT, [Notes] "
    "TEXT)"};

const char* const indexes[] = {
    "CREATE UNIQUE INDEX [Subject Code Index] ON [Subjects] ([Subject Code])",
    "CREATE INDEX [Subject Name Index] ON [Subjects] ([Subject Name] COLLATE NOCASE)",
    "CREATE UNIQUE INDEX [Publisher Code Index] ON [Publishers] ([Publisher Code])",
    "CREATE INDEX [Publisher Name Index] ON [Publishers] ([Publisher Name] COLLATE NOCASE)",
    "CREATE UNIQUE INDEX [Type Code Index] ON [Types] ([Type Code])",
    "CREATE INDEX [Type Name Index] ON [Types] ([Type Name] COLLATE NOCASE)",
    "CREATE INDEX [Subject 1 Index] ON [MERVANE RECORDS] ([Subject 1])",
    "CREATE INDEX [Subject 2 Index] ON [MERVANE RECORDS] ([Subject 2])",
    "CREATE INDEX [Publisher Index] ON [MERVANE RECORDS] ([Publisher])",
    "CREATE INDEX [Item Type Index] ON [MERVANE RECORDS] ([Item Type])"};

// The item table's fields in stored order, the item number (its rowid) first.
const std::vector<std::string> itemFields = {"Item Number", "Title",     "Author",    "Subject 1",
                                             "Subject 2",   "Publisher", "Item Type", "Year",
                                             "ISBN",        "Notes"};

} // namespace

const std::vector<std::string>& ItemFields() {
    static const std::vector<std::string> fields = {
        "Item Number", "Title",     "Author", "Subject 1", "Subject 2",
        "Publisher",   "Item Type", "Year",   "ISBN",      "Notes"};
    return fields;
}

const std::vector<std::string>& InfoFields() {
    static const std::vector<std::string> fields = {"Product Name", "Catalogue Name", "Created"};
    return fields;
}

const std::vector<Category>& Categories() {
    static const std::vector<Category> all = {
        make(0, "Subjects", "Subject", {"Subject 1", "Subject 2"}),
        make(1, "Publishers", "Publisher", {"Publisher"}),
        make(2, "Media Types", "Type", {"Item Type"}),
    };
    return all;
}

const Category* CategoryAt(int comboIndex) {
    const auto& all = Categories();
    if (comboIndex < 0 || comboIndex >= static_cast<int>(all.size()))
        return nullptr;
    return &all[static_cast<size_t>(comboIndex)];
}

const Category* CategoryOfWord(const std::string& word) {
    for (const Category& c : Categories())
        if (c.word == word)
            return &c;
    return nullptr;
}

std::span<const char* const> TableStatements() {
    return tables;
}

std::span<const char* const> IndexStatements() {
    return indexes;
}

const engine::RebuildLayout& RebuildLayout() {
    static const engine::RebuildLayout layout = [] {
        engine::RebuildLayout l;
        // The index statements of a table, each with the field it is on.
        auto indexesOn = [](const std::string& table, const std::vector<std::string>& fields) {
            std::vector<engine::RebuildLayout::Index> out;
            for (const char* sql : indexes)
                for (const std::string& field : fields)
                    if (std::string(sql).find(" ON [" + table + "] ([" + field + "]") !=
                        std::string::npos)
                        out.push_back({field, sql});
            return out;
        };
        l.items = ItemTable;
        for (const Category& c : Categories()) {
            l.lookups.push_back({c.table, c.codeField, c.nameField, c.itemColumns,
                                 indexesOn(c.table, {c.codeField, c.nameField})});
            for (const auto& index : indexesOn(ItemTable, c.itemColumns))
                l.itemIndexes.push_back(index);
        }
        l.info = InfoTable;
        l.markerField = InfoFields().front();
        // The product's name and a blank: a catalogue of any of its versions.
        const std::string product = ProductVersion;
        l.marker = product.substr(0, product.rfind(' ') + 1);
        return l;
    }();
    return layout;
}

} // namespace catalogue
