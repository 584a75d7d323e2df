// Test helpers for the repair program: a program run as a shell would, folder
// snapshots, catalogues read back through the engine, and what a run left.
#pragma once

#include "samplegen.h"
#include "support.h"

#include <fcntl.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// The exit of a child that could not be made subject to file permissions.
constexpr int permissionsCannotApply = 125;

// How a child ended (exitCode -1 when a signal ended it), what it printed.
struct Outcome {
    int exitCode = -1, signal = 0;
    std::string out, err;
};

// Runs exe with args (no shell) in dir, its files no larger than fileSizeLimit
// (SIGXFSZ ignored), and when filePermissionsApply as root without the
// capabilities that pass over them.
inline Outcome run(const TempDir& dir, const std::string& exe, const std::vector<std::string>& args,
                   rlim_t fileSizeLimit = RLIM_INFINITY, bool filePermissionsApply = false) {
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const TempDir output("repair-output");
    const std::string outName = output / "stdout", errName = output / "stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::creat(outName.c_str(), 0644), err = ::creat(errName.c_str(), 0644);
        struct rlimit lim = {fileSizeLimit, fileSizeLimit};
        ::signal(SIGXFSZ, SIG_IGN);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(dir.path().c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            ::_exit(126);
        if (filePermissionsApply && ::geteuid() == 0 && ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT))
            ::_exit(permissionsCannotApply);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return {};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, readFile(outName), readFile(errName)};
}

// Exit 0 for error 0, else exit 1 after a line that names the error's number.
inline testing::AssertionResult endedWith(const Outcome& o, long error) {
    const std::string line = "repair: error " + std::to_string(error) + ": ";
    if (error ? o.exitCode == 1 && o.err.rfind(line, 0) == 0 : o.exitCode == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "exit " << o.exitCode << ", signal " << o.signal << ": " << o.err;
}

// Each entry of a folder: its name against "file <hash>", "link <target>",
// "folder" or "special file" (a pipe is never opened).
inline std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::directory_iterator(folder))
        entries[e.path().filename()] =
            e.is_symlink()     ? "link " + fs::read_symlink(e.path()).string()
            : e.is_directory() ? "folder"
            : e.is_regular_file()
                ? "file " + std::to_string(std::hash<std::string>{}(readFile(e.path())))
                : "special file";
    return entries;
}

// Bytes of a sample catalogue with that many items, generated once per run.
inline const std::string& sampleBytes(long items) {
    static std::map<long, std::string> cache;
    if (!cache.count(items)) {
        TempDir dir;
        samplegen::WriteSampleCatalogue(dir / "sample.M17", {.items = items, .truthPath = ""});
        cache[items] = readFile(dir / "sample.M17");
    }
    return cache[items];
}

// Every row of every table read through the engine, in table order and each
// index's order, as a digest (an index that misses rows changes it), or the error.
inline std::string readBack(const std::string& path) {
    static std::map<std::string, std::vector<std::string>> orders = {
        {"Subjects", {"", "Subject Code Index", "Subject Name Index"}},
        {"Publishers", {"", "Publisher Code Index", "Publisher Name Index"}},
        {"Types", {"", "Type Code Index", "Type Name Index"}},
        {"MERVANE RECORDS",
         {"", "Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}},
        {"FILEINFO", {""}}};
    size_t digest = 0;
    try {
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        for (const auto& table : db->TableNames()) {
            auto rs = db->OpenTable(table);
            for (const auto& order : orders.at(table)) {
                if (!order.empty())
                    rs->Index(order);
                for (; !rs->Eof(); rs->MoveNext()) {
                    std::string row = table + '\x1e' + order;
                    for (int i = 0; i < rs->Fields().Count(); ++i) {
                        engine::Variant v = rs->Fields().Item(i).Value();
                        row += '\x1f' + (v.IsNull() ? std::string("\x01") : v.ToText());
                    }
                    digest = digest * 1099511628211ULL ^ std::hash<std::string>{}(row);
                }
            }
        }
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
    return "digest " + std::to_string(digest);
}

// What a run on the catalogue name in dir left against the snapshot before: a
// failure touched nothing, removed the stale repair copy or wrote copies; a
// success leaves the catalogue in the format given and both copies with the
// content expected (the safety copy a byte copy unless a log or journal was
// settled), and of the names beside it only folders and those kept.
enum class Leaves { Nothing, FixDeleted, FixCopied, BothCopied, Repaired };

inline void expectLeft(const TempDir& dir, const std::string& name,
                       const std::map<std::string, std::string>& before, Leaves leaves,
                       const std::string& expected = "", long format = 1,
                       const std::vector<std::string>& kept = {}) {
    const std::string fix = name + ".FIX", keep = name + ".KEEP";
    auto after = snapshot(dir.path()), expectedAfter = before;
    const auto written = [&](const std::string& n) {
        return after.count(n) && after.at(n).rfind("file ", 0) == 0 ? after.at(n) : "a file";
    };
    const std::string catalogue = before.count(name) ? before.at(name) : "";
    if (leaves == Leaves::FixDeleted)
        expectedAfter.erase(fix);
    if (leaves == Leaves::FixCopied || leaves == Leaves::BothCopied)
        expectedAfter[fix] = leaves == Leaves::FixCopied ? catalogue : written(fix);
    if (leaves == Leaves::BothCopied)
        expectedAfter[keep] = catalogue;
    if (leaves == Leaves::Repaired) {
        EXPECT_EQ(readFile(dir / name).substr(44, 4), std::string(3, '\0') + char(format));
        for (const auto& [n, what] : before)
            if (n.rfind(name, 0) == 0 && what != "folder" &&
                std::find(kept.begin(), kept.end(), n) == kept.end())
                expectedAfter.erase(n);
        const bool settled = before.count(name + "-wal") || before.count(name + "-journal");
        for (const auto& n : {name, fix, keep}) {
            expectedAfter[n] = n == keep && !settled ? catalogue : written(n);
            if (n != keep || settled) {
                EXPECT_EQ(readBack(dir / n), expected) << n;
            }
        }
    }
    EXPECT_EQ(after, expectedAfter);
}

} // namespace testsupport
