// What every test shares: temporary folders, whole-file reads and writes, the
// engine's error numbers and SQLite's own verdict on a file.
#pragma once

#include "engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>

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

} // namespace testsupport
