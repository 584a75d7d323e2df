// What every test shares.
#include "support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot make a temporary folder");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
}

std::set<std::string> TempDir::names() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        out.insert(e.path().filename().string());
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void overwrite(const std::string& path, size_t at, const std::string& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string integrity(sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    std::string verdict;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st, 0);
        verdict = text ? reinterpret_cast<const char*>(text) : "";
    } else {
        verdict = sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    return verdict;
}

Sql::Sql(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
        ADD_FAILURE() << path << ": " << sqlite3_errmsg(db_);
}

bool Sql::exec(const std::string& sql) const {
    char* message = nullptr;
    bool ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    if (!ok)
        ADD_FAILURE() << sql << ": " << (message ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    return ok;
}

std::vector<std::string> Sql::rows(const std::string& sql, bool typed) const {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db_);
    std::vector<std::string> out;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            int type = sqlite3_column_type(st, i); // before the text conversion below
            auto text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
            row += (i ? "|" : "") + (typed ? std::to_string(type) + ":" : "") + (text ? text : "");
        }
        out.push_back(row);
    }
    sqlite3_finalize(st);
    return out;
}

std::string Sql::one(const std::string& sql) const {
    auto r = rows(sql);
    return r.empty() ? std::string() : r.front();
}

} // namespace testsupport
