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

} // namespace testsupport
