// Test helpers for the repair program: scratch folders, running a program
// the way a shell would, folder snapshots and catalogues read back through
// the engine.
#pragma once

#include "engine.h"
#include "samplegen.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace repairtest {

namespace fs = std::filesystem;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool exists(const std::string& path) {
    struct stat sb {};
    return ::lstat(path.c_str(), &sb) == 0;
}

// A scratch folder: root holds the runs' captured output, work the files
// under test (and is where the programs run). Removed by the destructor.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "repair-test-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
        fs::create_directory(work_ = root_ + "/work");
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& root() const { return root_; }
    const std::string& work() const { return work_; }
    std::string at(const std::string& name) const { return work_ + "/" + name; }

private:
    std::string root_;
    std::string work_;
};

struct ChildOptions {
    rlim_t fileSizeLimit = RLIM_INFINITY; // RLIMIT_FSIZE, with SIGXFSZ ignored
    bool filePermissionsApply = false;    // as root: without the capabilities that pass over them
};

// Takes from this process, and from every program it executes, the two
// capabilities with which root passes over file permissions, so that the
// permission bits hold for it as for any user. Its identity, and so the way
// into the folders above the build, stays as it was. False when the system
// refuses (no CAP_SETPCAP); the process is then unchanged or must end.
inline bool dropPermissionOverrides() {
    const int caps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
    // The bounding set first: a root process's execve grants it in full.
    for (int cap : caps)
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : caps) {
        const __u32 bit = 1u << (cap % 32);
        data[cap / 32].effective &= ~bit;
        data[cap / 32].permitted &= ~bit;
        data[cap / 32].inheritable &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Whether a child can be made subject to file permissions: always for a
// user other than root, for root when dropPermissionOverrides works here.
// Asked once, in a child of its own.
inline bool filePermissionsCanApply() {
    static const int answer = [] {
        if (::geteuid() != 0)
            return 1;
        pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(dropPermissionOverrides() ? 0 : 1);
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                       WEXITSTATUS(status) == 0
                   ? 1
                   : 0;
    }();
    return answer == 1;
}

// How a child ended (exitCode -1 when a signal ended it), and what it printed.
struct Outcome {
    int exitCode = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs exe with args (no shell) in dir's work folder and waits for it.
inline Outcome run(const TempDir& dir, const std::string& exe, const std::vector<std::string>& args,
                   const ChildOptions& options = {}) {
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string outName = dir.root() + "/stdout", errName = dir.root() + "/stderr";
    const bool drop = options.filePermissionsApply && ::geteuid() == 0;
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        struct rlimit lim = {options.fileSizeLimit, options.fileSizeLimit};
        ::signal(SIGXFSZ, SIG_IGN);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir(dir.work().c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &lim) != 0 ||
            (drop && !dropPermissionOverrides()))
            ::_exit(126);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              WIFSIGNALED(status) ? WTERMSIG(status) : 0, readFile(outName), readFile(errName)};
    return o;
}

// Each entry of a folder: its name against "file <size and hash>",
// "link <target>", "folder" or "special file".
inline std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::string& entry = entries[e.path().filename().string()];
        if (e.is_symlink())
            entry = "link " + fs::read_symlink(e.path()).string();
        else if (e.is_directory())
            entry = "folder";
        else if (!e.is_regular_file())
            entry = "special file";
        else {
            std::string bytes = readFile(e.path().string());
            entry = "file " + std::to_string(bytes.size()) + " bytes, hash " +
                    std::to_string(std::hash<std::string>{}(bytes));
        }
    }
    return entries;
}

// Bytes of a sample catalogue with that many items, generated once per run.
inline const std::string& sampleBytes(long items) {
    static std::map<long, std::string> cache;
    if (!cache.count(items)) {
        TempDir dir;
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

// The schema format number in the file's header (bytes 44 to 47).
inline int schemaFormat(const std::string& path) {
    std::string b = readFile(path) + std::string(48, '\0');
    int value = 0;
    for (int i = 44; i < 48; ++i)
        value = value * 256 + static_cast<unsigned char>(b[i]);
    return value;
}

} // namespace repairtest
