// The repair program's run: copies and their replacement, failures and what
// they leave behind, damaged, busy and half-written catalogues, full disks
// and a process that dies at any step.
#include "harness.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <regex>

using namespace repairtest;

namespace {

const std::string catalogueName = "Books.M17";

// Names the program's own temporary files would have.
std::vector<std::string> leftovers(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& [name, what] : snapshot(folder))
        if (std::regex_search(name, std::regex(R"(\.[a-z]+-[0-9a-z]{6}$)")))
            names.push_back(name);
    return names;
}

// A second process holding a catalogue open exclusively until destroyed
// (closing the pipe ends it).
struct Holder {
    explicit Holder(const std::string& path)
        : pipe(::popen((REPAIR_HELPER_EXE " hold '" + path + "'").c_str(), "r")) {}
    ~Holder() { ::pclose(pipe); }
    bool ready() {
        char line[16] = {};
        return std::fgets(line, sizeof line, pipe) && std::string(line) == "ready\n";
    }
    FILE* pipe;
};

class RepairRunTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.at(catalogueName);
        writeFile(path, sampleBytes(300));
        original = readBack(path);
    }
    Outcome repair(std::vector<std::string> args = {catalogueName},
                   const ChildOptions& options = {}) {
        return run(dir, REPAIR_EXE, args, options);
    }
    TempDir dir;
    std::string path;
    std::string original;
};

TEST_F(RepairRunTest, SecondRunReplacesBothCopies) {
    ASSERT_EQ(repair({catalogueName, "-v4"}).exitCode, 0);
    const std::string afterFirst = readFile(path);
    writeFile(path + ".FIX", "left over");
    Outcome second = repair();
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(readFile(path + ".KEEP"), afterFirst);
    EXPECT_EQ(readBack(path + ".FIX"), original);
    EXPECT_EQ(schemaFormat(path), 1);
    EXPECT_EQ(readBack(path), original);
}

TEST_F(RepairRunTest, CopiesReplaceLinksInsteadOfWritingThroughThem) {
    writeFile(dir.at("victim"), "not to be written");
    ASSERT_EQ(::symlink("victim", (path + ".FIX").c_str()), 0);
    ASSERT_EQ(::symlink("victim", (path + ".KEEP").c_str()), 0);
    Outcome o = repair();
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(readFile(dir.at("victim")), "not to be written");
    auto entries = snapshot(dir.work());
    EXPECT_EQ(entries[catalogueName + ".FIX"].rfind("file ", 0), 0u);
    EXPECT_EQ(readFile(path + ".KEEP"), sampleBytes(300));
}

TEST_F(RepairRunTest, DamagedIndexIsRebuiltWithEveryRowKept) {
    std::string bytes = sampleBytes(300);
    size_t pageSize =
        (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
    size_t damaged = 0;
    for (size_t page = pageSize; page + pageSize <= bytes.size(); page += pageSize)
        if (bytes[page] == 0x0A) // a leaf page of an index
            damaged = page;
    ASSERT_NE(damaged, 0u);
    for (size_t i = damaged + 8; i < damaged + pageSize; ++i)
        bytes[i] = '\xA5';
    writeFile(path, bytes);
    writeFile(dir.at("probe.M17"), bytes);
    ASSERT_NE(readBack(dir.at("probe.M17")), original) << "the damage went unnoticed";

    Outcome o = repair();
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(readBack(path), original);
    EXPECT_EQ(readFile(path + ".KEEP"), bytes);
}

TEST_F(RepairRunTest, CommittedRowsInAWriteAheadLogAreKept) {
    // The same rows committed to a second file, whose log is folded in when
    // it is read back, give the content expected.
    writeFile(dir.at("expected.M17"), sampleBytes(300));
    for (const std::string& name : {catalogueName, std::string("expected.M17")})
        ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"wal", name, "3"}).signal, SIGKILL);
    ASSERT_TRUE(exists(path + "-wal"));
    const std::string expected = readBack(dir.at("expected.M17"));
    ASSERT_NE(expected, original);

    Outcome o = repair();
    ASSERT_EQ(o.exitCode, 0) << o.err;
    for (const auto& name : {path, path + ".FIX", path + ".KEEP"})
        EXPECT_EQ(readBack(name), expected) << name;
    // The copies' own logs go with the connections that made them.
    for (const auto& name : {path + ".FIX", path + ".KEEP"})
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(exists(name + suffix)) << name + suffix;
}

// A hot journal left beside the copies by an interrupted earlier run belongs
// to the files it was written for: it must not be played into fresh copies.
TEST_F(RepairRunTest, StaleJournalsBesideTheCopiesAreNotPlayedIntoThem) {
    const std::string other = dir.at("other.M17");
    writeFile(other, sampleBytes(3000));
    Outcome writer = run(dir, REPAIR_HELPER_EXE, {"hot", "other.M17"});
    ASSERT_EQ(writer.signal, SIGKILL) << writer.out;
    const std::string stale = readFile(other + "-journal");
    ASSERT_FALSE(stale.empty());
    writeFile(path + ".FIX-journal", stale);
    writeFile(path + ".KEEP-journal", stale);

    Outcome o = repair();
    ASSERT_EQ(o.exitCode, 0) << o.err;
    for (const auto& name : {path, path + ".FIX", path + ".KEEP"})
        EXPECT_EQ(readBack(name), original) << name;
    EXPECT_FALSE(exists(path + ".FIX-journal"));
    EXPECT_FALSE(exists(path + ".KEEP-journal"));
}

// Committed changes in a log that cannot be folded into a damaged file would
// be missing from the copies and later played into the new catalogue: the
// run is refused before anything is touched.
TEST_F(RepairRunTest, LogThatCannotBeAppliedIsRefused) {
    ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"wal", catalogueName, "3"}).signal, SIGKILL);
    ASSERT_TRUE(exists(path + "-wal"));
    std::string bytes = readFile(path);
    bytes.replace(0, 16, "not a database!!");
    writeFile(path, bytes);
    const auto before = snapshot(dir.work());

    Outcome o = repair();
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err.rfind("repair: error 3049: ", 0), 0u) << o.err;
    EXPECT_EQ(snapshot(dir.work()), before);
}

TEST_F(RepairRunTest, HotJournalIsRolledBackBeforeCopying) {
    writeFile(path, sampleBytes(3000));
    const std::string before = readBack(path);
    Outcome writer = run(dir, REPAIR_HELPER_EXE, {"hot", catalogueName});
    ASSERT_EQ(writer.signal, SIGKILL) << writer.out;
    ASSERT_TRUE(exists(path + "-journal"));
    ASSERT_NE(readFile(path), sampleBytes(3000)) << "no uncommitted page reached the file";

    Outcome o = repair();
    ASSERT_EQ(o.exitCode, 0) << o.err;
    for (const auto& name : {path, path + ".FIX", path + ".KEEP"})
        EXPECT_EQ(readBack(name), before) << name;
}

// With room for the catalogue and its two copies but not for the compacted
// file, the catalogue must come out of the failed compaction unchanged.
TEST_F(RepairRunTest, FullDiskDuringCompactionLeavesCatalogueUnchanged) {
    const std::string mount = dir.at("small");
    ::mkdir(mount.c_str(), 0755);
    const size_t size = sampleBytes(300).size();
    std::string options = "size=" + std::to_string((size * 7 / 2 + 4095) / 4096 * 4096);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, options.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mount};
    writeFile(mount + "/" + catalogueName, sampleBytes(300));

    Outcome o = repair({"small/" + catalogueName});
    EXPECT_NE(o.exitCode, 0);
    EXPECT_EQ(o.err.rfind("repair: error ", 0), 0u) << o.err;
    EXPECT_EQ(readFile(mount + "/" + catalogueName), sampleBytes(300));
    EXPECT_EQ(readFile(mount + "/" + catalogueName + ".KEEP"), sampleBytes(300));
    EXPECT_TRUE(exists(mount + "/" + catalogueName + ".FIX"));
    EXPECT_EQ(leftovers(mount), std::vector<std::string>{});
}

// What a failing run leaves: nothing touched at all, the stale repair copy
// gone (the failure came at the first copy), or both copies written (the
// failure came later).
enum class Leaves { Nothing, FixDeleted, FixCopied, BothCopied };

struct Failure {
    const char* name;
    // Prepares the folder (a catalogue, a stale repair and safety copy are
    // there already); may return a guard that lives through the run.
    std::function<std::shared_ptr<void>(const TempDir&, ChildOptions&)> prepare;
    long error;
    Leaves leaves;
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

class FailureTest : public testing::TestWithParam<Failure> {};

TEST_P(FailureTest, LeavesTheCatalogueAsItWas) {
    const Failure& f = GetParam();
    TempDir dir;
    const std::string path = dir.at(catalogueName);
    writeFile(path, sampleBytes(300));
    writeFile(path + ".FIX", "stale repair copy");
    writeFile(path + ".KEEP", "stale safety copy");
    ChildOptions options;
    auto guard = f.prepare(dir, options);
    if (options.filePermissionsApply && !filePermissionsCanApply())
        GTEST_SKIP() << "running as root, and the capabilities that pass over file permissions "
                        "(CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) cannot be dropped here";
    const auto before = snapshot(dir.work());
    const std::string catalogue = before.count(catalogueName) ? before.at(catalogueName) : "";

    Outcome o = run(dir, REPAIR_EXE, {catalogueName}, options);
    guard.reset();
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err.rfind("repair: error " + std::to_string(f.error) + ": ", 0), 0u) << o.err;
    auto after = snapshot(dir.work());
    EXPECT_EQ(after.count(catalogueName) ? after.at(catalogueName) : "", catalogue);
    EXPECT_EQ(leftovers(dir.work()), std::vector<std::string>{});
    switch (f.leaves) {
    case Leaves::Nothing:
        EXPECT_EQ(after, before);
        break;
    case Leaves::FixDeleted:
        EXPECT_FALSE(exists(path + ".FIX"));
        EXPECT_EQ(readFile(path + ".KEEP"), "stale safety copy");
        break;
    case Leaves::FixCopied:
        EXPECT_EQ(after.at(catalogueName + ".FIX"), catalogue);
        EXPECT_EQ(after.at(catalogueName + ".KEEP"), before.at(catalogueName + ".KEEP"));
        break;
    case Leaves::BothCopied:
        EXPECT_TRUE(exists(path + ".FIX"));
        EXPECT_EQ(after.at(catalogueName + ".KEEP"), catalogue);
        break;
    }
}

std::shared_ptr<void> noGuard() {
    return nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, FailureTest,
    testing::Values(Failure{"HeldByAnotherProgram",
                            [](const TempDir& d, ChildOptions&) {
                                auto holder = std::make_shared<Holder>(d.at(catalogueName));
                                EXPECT_TRUE(holder->ready());
                                return std::shared_ptr<void>(holder);
                            },
                            engine::err::FileInUse, Leaves::Nothing},
                    Failure{"ReadOnlyCatalogue",
                            [](const TempDir& d, ChildOptions& o) {
                                ::chmod(d.work().c_str(), 0777);
                                ::chmod(d.at(catalogueName).c_str(), 0444);
                                o.filePermissionsApply = true;
                                return noGuard();
                            },
                            engine::err::ReadOnlyFile, Leaves::Nothing},
                    Failure{"ReadOnlyFolder",
                            [](const TempDir& d, ChildOptions& o) {
                                ::chmod(d.work().c_str(), 0555);
                                ::chmod(d.at(catalogueName).c_str(), 0666);
                                o.filePermissionsApply = true;
                                return noGuard();
                            },
                            engine::err::PermissionDenied, Leaves::Nothing},
                    Failure{"MissingCatalogue",
                            [](const TempDir& d, ChildOptions&) {
                                ::unlink(d.at(catalogueName).c_str());
                                return noGuard();
                            },
                            engine::err::FileNotFound, Leaves::Nothing},
                    Failure{"FolderAtPath",
                            [](const TempDir& d, ChildOptions&) {
                                ::unlink(d.at(catalogueName).c_str());
                                ::mkdir(d.at(catalogueName).c_str(), 0755);
                                return noGuard();
                            },
                            engine::err::NotValidPath, Leaves::Nothing},
                    Failure{"PipeAtPath",
                            [](const TempDir& d, ChildOptions&) {
                                ::unlink(d.at(catalogueName).c_str());
                                ::mkfifo(d.at(catalogueName).c_str(), 0644);
                                return noGuard();
                            },
                            engine::err::PathFileAccess, Leaves::Nothing},
                    // The limit applies to the captured error output too: it must fit.
                    Failure{"NoRoomForRepairCopy",
                            [](const TempDir&, ChildOptions& o) {
                                o.fileSizeLimit = 4096;
                                return noGuard();
                            },
                            engine::err::DiskFull, Leaves::FixDeleted},
                    Failure{"RepairCopyCutShort",
                            [](const TempDir&, ChildOptions& o) {
                                o.fileSizeLimit = sampleBytes(300).size() - 1;
                                return noGuard();
                            },
                            engine::err::DiskFull, Leaves::FixDeleted},
                    Failure{"FolderAtSafetyCopy",
                            [](const TempDir& d, ChildOptions&) {
                                const std::string keep = d.at(catalogueName + ".KEEP");
                                ::unlink(keep.c_str());
                                ::mkdir(keep.c_str(), 0755);
                                writeFile(keep + "/inside", "x");
                                return noGuard();
                            },
                            engine::err::PathFileAccess, Leaves::FixCopied},
                    Failure{"NotADatabase",
                            [](const TempDir& d, ChildOptions&) {
                                writeFile(d.at(catalogueName), std::string(8192, 'z'));
                                return noGuard();
                            },
                            engine::err::NotADatabase, Leaves::BothCopied}),
    [](const auto& row) { return row.param.name; });

// A run stopped at each step by a signal it can handle (its temporary files
// go) and by one it cannot: either way the catalogue stays sound at its
// path, and the next run succeeds.
class StoppedRunTest : public testing::TestWithParam<int> {};

TEST_P(StoppedRunTest, CatalogueStaysSoundAndNextRunSucceeds) {
    TempDir dir;
    const std::string path = dir.at(catalogueName);
    writeFile(path, sampleBytes(300));
    const std::string original = readBack(path);
    const std::string step = std::to_string(GetParam());

    for (int sig : {SIGTERM, SIGKILL}) {
        Outcome o = run(dir, REPAIR_HELPER_EXE,
                        {"stepped", std::to_string(sig), step, catalogueName, "-v4"});
        ASSERT_EQ(o.signal, sig) << "exit " << o.exitCode << ": " << o.err;
        if (sig == SIGTERM) {
            EXPECT_EQ(leftovers(dir.work()), std::vector<std::string>{});
        }
        EXPECT_EQ(readBack(path), original);
    }
    Outcome o = run(dir, REPAIR_EXE, {catalogueName});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(readBack(path), original);
    EXPECT_EQ(schemaFormat(path), 1);
}

INSTANTIATE_TEST_SUITE_P(EachStep, StoppedRunTest, testing::Range(1, 10));

} // namespace
