// What every test shares: temporary folders, whole-file reads and writes, the
// engine's error numbers and SQLite's own verdict on a file.
#pragma once

#include "engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "catalogue-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const;
    const std::string& path() const { return path_; }
    // The names in the folder: what a refused operation must not add to.
    std::set<std::string> names() const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// Writes bytes over the file at path from offset at, the rest left as it is.
void overwrite(const std::string& path, size_t at, const std::string& bytes);
// The n-byte big-endian number at at in b, as the file format stores its numbers.
inline unsigned be(const std::string& b, size_t at, int n = 2) {
    unsigned v = 0;
    while (n-- > 0)
        v = (v << 8) | static_cast<unsigned char>(b[at++]);
    return v;
}

// The number of the engine::Error that f raises, whose text must not be empty;
// 0 when it raises none.
template <class F> long errorOf(F f) {
    try {
        f();
    } catch (const engine::Error& e) {
        EXPECT_FALSE(e.Text().empty()) << e.Number();
        return e.Number();
    }
    return 0;
}

// SQLite's verdict on the file open on db: "ok", its first complaint, or why
// it cannot check.
std::string integrity(sqlite3* db);

// A connection of SQLite's own on a file: the independent view of what the
// engine wrote, and the way to make files the engine must cope with.
class Sql {
public:
    explicit Sql(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ~Sql() { sqlite3_close_v2(db_); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;
    sqlite3* get() const { return db_; }
    // Runs every statement of sql; a failure fails the test with SQLite's message.
    bool exec(const std::string& sql) const;
    // Every row sql yields, its fields joined by '|', each as "type:text" when typed.
    std::vector<std::string> rows(const std::string& sql, bool typed = false) const;
    // The first row, "" for none.
    std::string one(const std::string& sql) const;

private:
    sqlite3* db_ = nullptr;
};

} // namespace testsupport
