// The repair program's run: copies and their replacement, failures and what
// they leave behind, damaged, busy and half-written catalogues, full disks
// and a process that dies at any step.
#include "harness.h"

#include "module1.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace testsupport;

namespace {

const std::string catalogueName = "Books.M17";
const std::string stoppedAt = "StoppedAtStep"; // the scenarios' names for each step
const std::vector<std::string> decoys = {
    catalogueName + ".tmp-notes", catalogueName + ".tmp-abcdefg",
    catalogueName + ".FIX.repair-ABCDEF", catalogueName + ".KEEP.old", "Other.M17.tmp-abcdef"};
const std::string decoyFolder = catalogueName + ".FIX.header-abcdef";

// One run, brought about as its name says, and what it must leave. A failing
// run leaves nothing touched at all, the stale repair copy gone (the failure
// came at the first copy), or one or both copies written (the failure came
// later). A run that succeeds leaves the catalogue and both copies with
// every committed row. A setup that does not apply changes the outcome.
enum class Leaves { Nothing, FixDeleted, FixCopied, BothCopied, Repaired };

struct Scenario {
    std::string name;
    long error;
    Leaves leaves;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class RunTest : public testing::TestWithParam<Scenario> {};

TEST_P(RunTest, LeavesASoundCatalogue) {
    const Scenario& s = GetParam();
    const std::string setup = s.name;
    ScratchDir dir;
    const std::string path = dir.at(catalogueName), fix = path + ".FIX", keep = path + ".KEEP";
    std::shared_ptr<void> unmount;
    if (setup == "FullDiskAtCompaction") {
        // Room for the catalogue and its two copies, not for the compacted file.
        const size_t room = (sampleBytes(300).size() * 7 / 2 + 4095) / 4096 * 4096;
        if (::mount("tmpfs", dir.work.c_str(), "tmpfs", 0,
                    ("size=" + std::to_string(room)).c_str()))
            GTEST_SKIP() << "cannot mount a small file system here";
        unmount.reset(&dir, [](ScratchDir* d) { ::umount2(d->work.c_str(), MNT_DETACH); });
    }
    writeFile(path, sampleBytes(setup == "HotJournalRolledBack" ? 3000 : 300));
    const std::string original = readBack(path);
    std::string expected = original;
    writeFile(fix, "stale repair copy");
    writeFile(keep, "stale safety copy");
    ChildOptions options;
    options.filePermissionsApply = setup.rfind("ReadOnly", 0) == 0;
    std::unique_ptr<FILE, int (*)(FILE*)> holder(nullptr, ::pclose);
    if (setup == "HeldByAnotherProgram") {
        // A second process holds it until the pipe is closed.
        holder.reset(::popen((REPAIR_HELPER_EXE " hold '" + path + "'").c_str(), "r"));
        char line[16] = {};
        ASSERT_TRUE(std::fgets(line, sizeof line, holder.get()));
        ASSERT_EQ(std::string(line), "ready\n");
    }
    if (options.filePermissionsApply)
        ::chmod(setup == "ReadOnlyCatalogue" ? path.c_str() : dir.work.c_str(), 0555);
    if (setup == "MissingCatalogue" || setup == "FolderAtPath" || setup == "PipeAtPath")
        ::unlink(path.c_str());
    if (setup == "FolderAtPath")
        ::mkdir(path.c_str(), 0755);
    if (setup == "PipeAtPath")
        ::mkfifo(path.c_str(), 0644);
    if (setup == "NoRoomForRepairCopy") // the captured error output must fit too
        options.fileSizeLimit = 4096;
    if (setup == "RepairCopyCutShort")
        options.fileSizeLimit = sampleBytes(300).size() - 1;
    if (setup == "FolderAtSafetyCopy") {
        ::unlink(keep.c_str());
        ::mkdir(keep.c_str(), 0755);
        writeFile(keep + "/inside", "x");
    }
    if (setup == "NotADatabase")
        writeFile(path, std::string(8192, 'z'));
    // Damaged so that SQLite's own recovery gives up, without a message.
    if (setup == "RecoveryGivesUp")
        writeFile(path, readFile(FUZZ_REGRESSIONS "/repair/null-recovery-message.M17"));
    if (setup == "DamagedIndexRebuilt") {
        std::string bytes = sampleBytes(300);
        const size_t pageSize = bigEndian(bytes, 16, 2);
        size_t damaged = 0;
        for (size_t page = pageSize; page + pageSize <= bytes.size(); page += pageSize)
            if (bytes[page] == 0x0A) // a leaf page of an index
                damaged = page;
        ASSERT_NE(damaged, 0u);
        writeFile(path, bytes.replace(damaged + 8, pageSize - 8, pageSize - 8, '\xA5'));
        writeFile(dir.at("probe.M17"), bytes);
        ASSERT_NE(readBack(dir.at("probe.M17")), original) << "the damage went unnoticed";
    }
    // Committed changes in a log must reach the copies; where the log cannot
    // be folded into a damaged file the run is refused before anything is
    // touched. The same rows committed to a second file give the content
    // expected (its log is folded in when it is read back).
    if (setup == "CommittedRowsInLogKept" || setup == "LogThatCannotBeApplied") {
        writeFile(dir.at("expected.M17"), sampleBytes(300));
        for (const std::string& name : {catalogueName, std::string("expected.M17")})
            ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"wal", name, "3"}).signal, SIGKILL);
        ASSERT_TRUE(exists(path + "-wal"));
        expected = readBack(dir.at("expected.M17"));
        ASSERT_NE(expected, original);
    }
    if (setup == "LogThatCannotBeApplied")
        writeFile(path, readFile(path).replace(0, 16, "not a database!!"));
    // A hot journal left beside the copies by an interrupted earlier run
    // belongs to the files it was written for, not to fresh copies.
    if (setup == "StaleJournalsNotPlayed") {
        writeFile(dir.at("other.M17"), sampleBytes(3000));
        ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"hot", "other.M17"}).signal, SIGKILL);
        const std::string stale = readFile(dir.at("other.M17-journal"));
        ASSERT_FALSE(stale.empty());
        writeFile(fix + "-journal", stale);
        writeFile(keep + "-journal", stale);
    }
    if (setup == "HotJournalRolledBack") {
        ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"hot", catalogueName}).signal, SIGKILL);
        ASSERT_TRUE(exists(path + "-journal"));
        ASSERT_NE(readFile(path), sampleBytes(3000)) << "no uncommitted page reached the file";
    }
    // A run stopped at a step by a signal it can handle (its temporary files
    // go) and by one it cannot: either way the catalogue stays sound at its
    // path, and the next run succeeds.
    if (setup.rfind(stoppedAt, 0) == 0) {
        for (int sig : {SIGTERM, SIGKILL}) {
            const std::string step = setup.substr(stoppedAt.size());
            const Outcome o = run(dir, REPAIR_HELPER_EXE,
                                  {"stepped", std::to_string(sig), step, catalogueName, "-v4"});
            ASSERT_EQ(o.signal, sig) << "exit " << o.exitCode << ": " << o.err;
            for (const auto& [name, what] : snapshot(dir.work)) // a killed run's files stay
                EXPECT_TRUE(sig == SIGKILL || name.find('-') == std::string::npos) << name;
            EXPECT_EQ(readBack(path), original);
        }
    }
    // What a run that crashed inside the engine's repair or compaction left.
    if (setup == "LeftByACrashedRun")
        for (const char* left :
             {".FIX.header-h2a6wp", ".FIX.repair-l5eyac", ".FIX.repair-l5eyac-journal",
              ".FIX.rebuilt-0a1b2c", ".tmp-x0y1z2.compact-abcdef", ".KEEP.tmp-qwerty"})
            writeFile(path + left, "left behind");
    // Names a run never makes, though close to its temporary ones: they stay.
    for (const std::string& decoy : decoys)
        writeFile(dir.at(decoy), "not ours");
    ::mkdir(dir.at(decoyFolder).c_str(), 0755);
    const auto before = snapshot(dir.work);

    const Outcome o = run(dir, REPAIR_EXE, {catalogueName}, options);
    holder.reset();
    if (o.exitCode == permissionsCannotApply)
        GTEST_SKIP() << "running as root, and the capabilities that pass over file permissions "
                        "(CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) cannot be dropped here";
    ASSERT_TRUE(endedWith(o, s.error));
    auto after = snapshot(dir.work), expectedAfter = before;
    const std::string fixName = catalogueName + ".FIX", keepName = catalogueName + ".KEEP";
    const std::string catalogue = before.count(catalogueName) ? before.at(catalogueName) : "";
    if (s.leaves == Leaves::Repaired) {
        EXPECT_EQ(schemaFormat(path), 1);
        // Without a log or journal to settle first, the safety copy is a byte
        // copy (of a damaged file too); the others hold every committed row.
        const bool settled =
            before.count(catalogueName + "-wal") || before.count(catalogueName + "-journal");
        if (!settled) {
            EXPECT_EQ(after[keepName], catalogue);
        }
        for (const auto& name : {path, fix, keep}) {
            // Journals and logs go with the connections that made them.
            for (const char* suffix : {"-wal", "-shm", "-journal"})
                EXPECT_FALSE(exists(name + suffix)) << name + suffix;
            if (name != keep || settled) {
                EXPECT_EQ(readBack(name), expected) << name;
            }
        }
        // Of the names beside the catalogue, what a killed run left is gone
        // and the decoys stay.
        auto ours = [&](const std::string& name) {
            return name.rfind(catalogueName, 0) == 0 && name != catalogueName && name != fixName &&
                   name != keepName && name != decoyFolder &&
                   std::find(decoys.begin(), decoys.end(), name) == decoys.end();
        };
        for (const auto& [name, what] : before)
            EXPECT_EQ(after.count(name), ours(name) ? 0u : 1u) << name;
        for (const auto& [name, what] : after)
            EXPECT_TRUE(before.count(name) || !ours(name)) << name;
        return;
    }
    // The catalogue as it was, and no temporary file left behind.
    if (s.leaves == Leaves::FixDeleted)
        expectedAfter.erase(fixName);
    if (s.leaves == Leaves::FixCopied)
        expectedAfter[fixName] = catalogue;
    if (s.leaves == Leaves::BothCopied) {
        expectedAfter[keepName] = catalogue;
        expectedAfter[fixName] = after.count(fixName) ? after[fixName] : "a repair copy";
    }
    EXPECT_EQ(after, expectedAfter);
}

namespace err = engine::err;

std::vector<Scenario> scenarios() {
    std::vector<Scenario> rows = {
        {"HeldByAnotherProgram", err::FileInUse, Leaves::Nothing},
        {"ReadOnlyCatalogue", err::ReadOnlyFile, Leaves::Nothing},
        {"ReadOnlyFolder", err::PermissionDenied, Leaves::Nothing},
        {"MissingCatalogue", err::FileNotFound, Leaves::Nothing},
        {"FolderAtPath", err::NotValidPath, Leaves::Nothing},
        {"PipeAtPath", err::PathFileAccess, Leaves::Nothing},
        {"LogThatCannotBeApplied", err::CannotOpenDatabase, Leaves::Nothing},
        {"NoRoomForRepairCopy", err::DiskFull, Leaves::FixDeleted},
        {"RepairCopyCutShort", err::DiskFull, Leaves::FixDeleted},
        {"FolderAtSafetyCopy", err::PathFileAccess, Leaves::FixCopied},
        {"NotADatabase", err::NotADatabase, Leaves::BothCopied},
        {"RecoveryGivesUp", err::CannotOpenDatabase, Leaves::BothCopied},
        {"FullDiskAtCompaction", err::IoFailure, Leaves::BothCopied},
        {"DamagedIndexRebuilt", 0, Leaves::Repaired},
        {"CommittedRowsInLogKept", 0, Leaves::Repaired},
        {"StaleJournalsNotPlayed", 0, Leaves::Repaired},
        {"HotJournalRolledBack", 0, Leaves::Repaired},
        {"LeftByACrashedRun", 0, Leaves::Repaired}};
    for (int step = static_cast<int>(Module1::Step::Locked);
         step <= static_cast<int>(Module1::Step::Replaced); ++step)
        rows.push_back({stoppedAt + std::to_string(step), 0, Leaves::Repaired});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RunTest, testing::ValuesIn(scenarios()),
                         [](const auto& row) { return row.param.name; });

} // namespace
