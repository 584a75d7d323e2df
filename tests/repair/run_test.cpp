// The repair program's run: copies and their replacement, failures and what
// they leave, damaged, busy and half-written catalogues, full disks and a
// process that dies at any step.
#include "harness.h"

#include "module1.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <memory>

using namespace testsupport;
namespace err = engine::err;

namespace {

const std::string catalogueName = "Books.M17", stoppedAt = "StoppedAtStep";
// Names a run never makes, though close to its temporary ones: they stay.
const std::vector<std::string> decoys = {
    catalogueName + ".tmp-notes", catalogueName + ".tmp-abcdefg",
    catalogueName + ".FIX.repair-ABCDEF", catalogueName + ".KEEP.old", "Other.M17.tmp-abcdef"};

// One run, brought about as its name says, and what it must leave.
struct Scenario {
    std::string name;
    long error;
    Leaves leaves;
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class RunTest : public testing::TestWithParam<Scenario> {};

TEST_P(RunTest, LeavesASoundCatalogue) {
    const Scenario& s = GetParam();
    const auto is = [&](const char* name) { return s.name == name; };
    TempDir dir("repair-test");
    const std::string path = dir / catalogueName, fix = path + ".FIX", keep = path + ".KEEP";
    std::shared_ptr<void> unmount;
    if (is("FullDiskAtCompaction")) { // room for the catalogue and its copies, not the compacted
        const auto room = std::to_string((sampleBytes(300).size() * 7 / 2 + 4095) / 4096 * 4096);
        if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, ("size=" + room).c_str()))
            GTEST_SKIP() << "cannot mount a small file system here";
        unmount.reset(&dir, [](TempDir* d) { ::umount2(d->path().c_str(), MNT_DETACH); });
    }
    writeFile(path, sampleBytes(is("HotJournalRolledBack") ? 3000 : 300));
    const std::string original = readBack(path);
    std::string expected = original;
    writeFile(fix, "stale repair copy");
    writeFile(keep, "stale safety copy");
    const bool readOnly = s.name.rfind("ReadOnly", 0) == 0;
    if (readOnly)
        ::chmod(is("ReadOnlyCatalogue") ? path.c_str() : dir.path().c_str(), 0555);
    if (is("MissingCatalogue") || is("PipeAtPath"))
        ::unlink(path.c_str());
    if (is("PipeAtPath"))
        ::mkfifo(path.c_str(), 0644);
    const rlim_t limit = is("NoRoomForRepairCopy")  ? 4096
                         : is("RepairCopyCutShort") ? sampleBytes(300).size() - 1
                                                    : RLIM_INFINITY;
    if (is("FolderAtPath") || is("FolderAtSafetyCopy")) {
        const std::string& at = is("FolderAtPath") ? path : keep;
        ::unlink(at.c_str());
        ::mkdir(at.c_str(), 0755);
        writeFile(at + "/inside", "x");
    }
    if (is("NotADatabase"))
        writeFile(path, std::string(8192, 'z'));
    if (is("RecoveryGivesUp")) // SQLite's recovery gives up on it, without a message
        writeFile(path, readFile(FUZZ_REGRESSIONS "/repair/null-recovery-message.M17"));
    if (is("DamagedIndexRebuilt")) {
        std::string bytes = sampleBytes(300);
        const size_t pageSize = 256 * static_cast<unsigned char>(bytes[16]) + bytes[17];
        size_t damaged = 0;
        for (size_t page = pageSize; page + pageSize <= bytes.size(); page += pageSize)
            if (bytes[page] == 0x0A) // a leaf page of an index
                damaged = page;
        writeFile(path, bytes.replace(damaged + 8, pageSize - 8, pageSize - 8, '\xA5'));
        writeFile(dir / "probe.M17", bytes);
        ASSERT_NE(readBack(dir / "probe.M17"), original) << "the damage went unnoticed";
    }
    // Rows committed to a log reach the copies (the same rows in a second file
    // give the content expected), or the run touches nothing when they cannot.
    if (is("CommittedRowsInLogKept") || is("LogThatCannotBeApplied")) {
        writeFile(dir / "expected.M17", sampleBytes(300));
        for (const std::string& name : {catalogueName, std::string("expected.M17")})
            ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"wal", name}).signal, SIGKILL);
        ASSERT_TRUE(fs::exists(path + "-wal"));
        expected = readBack(dir / "expected.M17");
        ASSERT_NE(expected, original);
    }
    if (is("LogThatCannotBeApplied"))
        writeFile(path, readFile(path).replace(0, 16, "not a database!!"));
    // A hot journal beside the copies belongs to their old files, not to new ones.
    if (is("StaleJournalsNotPlayed")) {
        writeFile(dir / "other.M17", sampleBytes(3000));
        ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"hot", "other.M17"}).signal, SIGKILL);
        const std::string stale = readFile(dir / "other.M17-journal");
        ASSERT_FALSE(stale.empty());
        writeFile(fix + "-journal", stale);
        writeFile(keep + "-journal", stale);
    }
    if (is("HotJournalRolledBack")) {
        ASSERT_EQ(run(dir, REPAIR_HELPER_EXE, {"hot", catalogueName}).signal, SIGKILL);
        ASSERT_TRUE(fs::exists(path + "-journal"));
        ASSERT_NE(readFile(path), sampleBytes(3000)) << "no uncommitted page reached the file";
    }
    // A run stopped at a step by a signal it can handle (its temporary files
    // go) and by one it cannot leaves the catalogue sound; the next succeeds.
    if (s.name.rfind(stoppedAt, 0) == 0)
        for (int sig : {SIGTERM, SIGKILL}) {
            const Outcome o = run(dir, REPAIR_HELPER_EXE,
                                  {"stepped", std::to_string(sig), s.name.substr(stoppedAt.size()),
                                   catalogueName, "-v4"});
            ASSERT_EQ(o.signal, sig) << "exit " << o.exitCode << ": " << o.err;
            for (const auto& [name, what] : snapshot(dir.path()))
                EXPECT_TRUE(sig == SIGKILL || name.find('-') == std::string::npos) << name;
            EXPECT_EQ(readBack(path), original);
        }
    if (is("LeftByACrashedRun")) // inside the engine's repair or compaction
        for (const char* left :
             {".FIX.header-h2a6wp", ".FIX.repair-l5eyac", ".FIX.repair-l5eyac-journal",
              ".FIX.rebuilt-0a1b2c", ".tmp-x0y1z2.compact-abcdef", ".KEEP.tmp-qwerty"})
            writeFile(path + left, "left behind");
    for (const std::string& decoy : decoys)
        writeFile(dir / decoy, "not ours");
    ::mkdir((path + ".FIX.header-abcdef").c_str(), 0755); // a folder is never ours either
    const auto before = snapshot(dir.path());
    // Held as the combine program holds it, after the last read here (a close drops the locks).
    std::unique_ptr<engine::Database> holder;
    if (is("HeldByAnotherProgram"))
        holder = engine::DatabaseEngine().OpenDatabase(path, true);

    const Outcome o = run(dir, REPAIR_EXE, {catalogueName}, limit, readOnly);
    holder.reset();
    if (o.exitCode == permissionsCannotApply)
        GTEST_SKIP() << "as root, without CAP_SETPCAP to drop what passes over permissions";
    ASSERT_TRUE(endedWith(o, s.error));
    expectLeft(dir, catalogueName, before, s.leaves, expected, 1, decoys);
}

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
