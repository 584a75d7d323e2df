// The fuzz targets' shared helpers. The oracle is SQLite itself, reached
// directly, so that a verdict does not depend on the engine under test.
#include "common.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace fuzzsupport {

namespace {

struct Folder {
    std::string path;
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            fail("cannot make a temporary folder");
        path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

} // namespace

const std::string& workFolder() {
    static Folder folder;
    return folder.path;
}

void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        fail("cannot write " + path);
}

void removeWithSidecars(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        fs::remove(path + suffix, ec);
}

std::string strayFiles(const std::initializer_list<std::string>& expected) {
    std::string out;
    for (const auto& e : fs::directory_iterator(workFolder())) {
        std::string name = e.path().filename().string();
        bool known = false;
        for (const auto& x : expected)
            known = known || name == x;
        if (!known)
            out += " " + name;
    }
    return out;
}

std::string integrity(const std::string& path) {
    sqlite3* db = nullptr;
    std::string verdict;
    // SQLite hands back a null pointer where it has no text (out of memory).
    auto text = [](const void* p) {
        return p ? std::string(static_cast<const char*>(p)) : std::string("(no text)");
    };
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        verdict = db ? text(sqlite3_errmsg(db)) : "cannot open";
    } else {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK)
            verdict = text(sqlite3_errmsg(db));
        else if (sqlite3_step(st) == SQLITE_ROW)
            verdict = text(sqlite3_column_text(st, 0));
        else
            verdict = text(sqlite3_errmsg(db));
        sqlite3_finalize(st);
    }
    sqlite3_close_v2(db);
    return verdict;
}

void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz failure: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzzsupport
