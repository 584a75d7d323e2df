// What the engine tests share: temporary folders and whole-file reads and writes.
#pragma once

#include "engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "engine-test") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const {
        return (std::filesystem::path(path_) / name).string();
    }
    const std::string& path() const { return path_; }
    // The names in the folder: what a refused operation must not add to.
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            out.insert(e.path().filename().string());
        return out;
    }

private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
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
inline std::string integrity(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    std::string verdict;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    else
        verdict = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return verdict;
}

} // namespace testsupport
