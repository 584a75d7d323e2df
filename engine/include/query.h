// Prepared queries with bound parameters: for the tools' own bookkeeping
// tables, which need rows read back and values bound, not only Execute.
#pragma once

#include "error.h"
#include "variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {

class Database;

// A name as a SQL identifier: in double quotes, a double quote in it doubled.
// The one quoting of table, field and index names in the tools' own SQL.
std::string QuoteName(const std::string& name);

// One SQL statement prepared on an open database. Parameters are numbered
// from 1, columns from 0. The statement is released by the destructor.
class Query {
public:
    // Prepares sql, which must be exactly one statement. Raises ObjectClosed
    // on a closed database, SqlSyntax and ExtraCharacters as Execute does.
    Query(Database& db, const std::string& sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int parameter, long long value);
    Query& Bind(int parameter, const std::string& text);
    Query& Bind(int parameter, const char* text) { return Bind(parameter, std::string(text)); }
    Query& BindBlob(int parameter, const std::vector<unsigned char>& bytes);
    Query& BindNull(int parameter);

    // Runs the statement up to its next row: true while there is one, false
    // when it is done. Raises the engine's error on failure.
    bool Step();
    // Runs a statement that returns no rows to its end; returns the rows it changed.
    long long Run();
    // Makes the statement ready to run again; the bound values stay.
    void Rewind() noexcept;

    int ColumnCount() const;
    bool IsNull(int column) const;
    long long Integer(int column) const;
    std::string Text(int column) const;
    std::vector<unsigned char> Blob(int column) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace engine
