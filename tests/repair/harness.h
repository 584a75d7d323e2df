// Test helpers for the repair program: scratch folders, running a program
// the way a shell would, folder snapshots, catalogues read back through the
// engine and the checks on how a run ended.
#pragma once

#include "engine.h"
#include "samplegen.h"
#include "support.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

inline bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// The big-endian number in bytes [offset, offset + size) of bytes.
inline long bigEndian(const std::string& bytes, size_t offset, size_t size) {
    long value = 0;
    for (size_t i = offset; i < offset + size && i < bytes.size(); ++i)
        value = value * 256 + static_cast<unsigned char>(bytes[i]);
    return value;
}

// The schema format number in a file's header.
inline long schemaFormat(const std::string& path) {
    return bigEndian(readFile(path), 44, 4);
}

// The error number a call raises (its text into text when given), 0 when it
// raises none.
template <class F> long raised(F&& f, std::string* text = nullptr) {
    try {
        f();
    } catch (const engine::Error& e) {
        if (text)
            *text = e.Text();
        return e.Number();
    }
    return 0;
}

// A scratch folder: root holds the runs' captured output, work the files
// under test (and is where the programs run). Removed by the destructor.
struct ScratchDir {
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "repair-test-XXXXXX").string();
        root = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
        fs::create_directory(work = root + "/work");
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(work, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string at(const std::string& name) const { return work + "/" + name; }
    std::string root, work;
};

struct ChildOptions {
    rlim_t fileSizeLimit = RLIM_INFINITY; // RLIMIT_FSIZE, with SIGXFSZ ignored
    bool filePermissionsApply = false;    // as root: without the capabilities that pass over them
};

// The exit of a child that could not be made subject to file permissions.
constexpr int permissionsCannotApply = 125;

// Takes from every program this process executes the two capabilities with
// which root passes over file permissions, so that the permission bits hold
// for it as for any user. Its identity, and so the way into the folders above
// the build, stays as it was. False when the system refuses (no CAP_SETPCAP).
inline bool dropPermissionOverrides() {
    const int caps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
    // A root process's execve grants the bounding set and the inheritable set.
    for (int cap : caps)
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : caps)
        data[cap / 32].inheritable &= ~(1u << (cap % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// How a child ended (exitCode -1 when a signal ended it), and what it printed.
struct Outcome {
    int exitCode = -1, signal = 0;
    std::string out, err;
};

// Runs exe with args (no shell) in dir's work folder and waits for it.
inline Outcome run(const ScratchDir& dir, const std::string& exe,
                   const std::vector<std::string>& args, const ChildOptions& options = {}) {
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string outName = dir.root + "/stdout", errName = dir.root + "/stderr";
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        struct rlimit lim = {options.fileSizeLimit, options.fileSizeLimit};
        ::signal(SIGXFSZ, SIG_IGN);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(dir.work.c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            ::_exit(126);
        if (options.filePermissionsApply && ::geteuid() == 0 && !dropPermissionOverrides())
            ::_exit(permissionsCannotApply);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, readFile(outName), readFile(errName)};
}

// Whether a run ended as expected: with exit 0 for error 0, else with exit 1
// after a line that names the error's number.
inline testing::AssertionResult endedWith(const Outcome& o, long error) {
    const std::string line = "repair: error " + std::to_string(error) + ": ";
    if (error ? o.exitCode == 1 && o.err.rfind(line, 0) == 0 : o.exitCode == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "exit " << o.exitCode << ", signal " << o.signal << ": " << o.err;
}

// Each entry of a folder: its name against "file <size and hash>",
// "link <target>", "folder" or "special file".
inline std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::directory_iterator(folder)) {
        // A pipe is never opened: that would wait for a writer.
        const std::string bytes = e.is_regular_file() ? readFile(e.path()) : "";
        entries[e.path().filename()] =
            e.is_symlink()         ? "link " + fs::read_symlink(e.path()).string()
            : e.is_directory()     ? "folder"
            : !e.is_regular_file() ? "special file"
                                   : "file " + std::to_string(bytes.size()) + " bytes, hash " +
                                         std::to_string(std::hash<std::string>{}(bytes));
    }
    return entries;
}

// Bytes of a sample catalogue with that many items, generated once per run.
inline const std::string& sampleBytes(long items) {
    static std::map<long, std::string> cache;
    if (!cache.count(items)) {
        ScratchDir dir;
        samplegen::Options opts;
        opts.items = items;
        samplegen::WriteSampleCatalogue(dir.at("sample.M17"), opts);
        cache[items] = readFile(dir.at("sample.M17"));
    }
    return cache[items];
}

// Every row of every table read through the engine, summed up as "rows R
// digest D", and every lookup and item index walked: equal for equal content
// in a sound file; an index that misses rows, or an error, is named.
inline std::string readBack(const std::string& path) {
    static const std::map<std::string, std::vector<std::string>> indexes = {
        {"Subjects", {"Subject Code Index", "Subject Name Index"}},
        {"Publishers", {"Publisher Code Index", "Publisher Name Index"}},
        {"Types", {"Type Code Index", "Type Name Index"}},
        {"MERVANE RECORDS",
         {"Subject 1 Index", "Subject 2 Index", "Publisher Index", "Item Type Index"}}};
    size_t digest = 0;
    long rows = 0;
    std::string problems;
    try {
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        for (const auto& table : db->TableNames()) {
            auto rs = db->OpenTable(table);
            long inTable = 0;
            for (; !rs->Eof(); rs->MoveNext(), ++inTable) {
                std::string row = table;
                for (int i = 0; i < rs->Fields().Count(); ++i) {
                    engine::Variant v = rs->Fields().Item(i).Value();
                    row += '\x1f' + (v.IsNull() ? std::string("\x01") : v.ToText());
                }
                digest = digest * 1099511628211ULL ^ std::hash<std::string>{}(row);
            }
            rows += inTable;
            static const std::vector<std::string> none;
            for (const auto& index : indexes.count(table) ? indexes.at(table) : none) {
                rs->Index(index);
                long inIndex = 0;
                for (; !rs->Eof(); rs->MoveNext())
                    ++inIndex;
                if (inIndex != inTable)
                    problems += "; " + index + " holds " + std::to_string(inIndex) + " rows";
            }
        }
    } catch (const engine::Error& e) {
        problems += "; error " + std::to_string(e.Number()) + ": " + e.Text();
    }
    return "rows " + std::to_string(rows) + " digest " + std::to_string(digest) + problems;
}

} // namespace testsupport
