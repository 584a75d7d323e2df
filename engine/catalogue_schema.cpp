// The statements that create an empty catalogue's tables and indexes.
#include "catalogue_schema.h"

namespace engine {

namespace {

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

} // namespace

std::span<const char* const> catalogueTables() {
    return tables;
}

std::span<const char* const> catalogueIndexes() {
    return indexes;
}

} // namespace engine
