// Combines killed at random moments: the window's combine of many subjects of
// a large catalogue, in a process of its own, killed (SIGKILL) again and again
// must leave the catalogue exactly as before or as after, and open again.
#include "catalogues.h"
#include "history.h"
#include "operation.h"
#include "samplegen.h"
#include "support.h"

#include <QProcess>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int markedSubjects = 2000;

// The catalogue with its history, times masked, read through an exclusive
// open: the journal left behind rolled back, nobody left holding the file.
Dump stateOf(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path, true);
    Dump d = dump(*db, true);
    for (std::string& row : d["combine_history"])
        row = std::regex_replace(row, std::regex(R"('\d{4}-[-\d:T]+Z')"), "time");
    return d;
}

void copyCatalogue(const std::string& from, const std::string& to) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(to + suffix);
    std::filesystem::copy_file(from, to);
}

// Starts the driver on path; true once it is about to combine.
bool startCombine(QProcess& p, const std::string& path) {
    p.start(QStringLiteral(HELPER_EXE),
            {QString::fromStdString(path), QString::number(markedSubjects)});
    while (p.waitForReadyRead(60000))
        if (p.readAllStandardOutput().contains("ready"))
            return true;
    return false;
}

TEST(InterruptedCombine, KilledCombineLeavesBeforeOrAfter) {
    TempDir dir("interrupted");
    const std::string pristine = dir / "pristine.M17", path = dir / "catalogue.M17";
    samplegen::WriteSampleCatalogue(
        pristine,
        {.items = 200000, .subjects = 20000, .publishers = 500, .types = 40, .truthPath = {}});
    const Dump before = stateOf(pristine);

    // One combine to the end: the state after, and how long it takes.
    copyCatalogue(pristine, path);
    QProcess p;
    ASSERT_TRUE(startCombine(p, path));
    const auto started = Clock::now();
    ASSERT_TRUE(p.waitForFinished(300000));
    const long took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    ASSERT_EQ(p.exitCode(), 0);
    const Dump after = stateOf(path);
    ASSERT_NE(after.at("Subjects"), before.at("Subjects")) << "the combine changed nothing";
    // One step recorded, whose undo gives back the catalogue as it was.
    EXPECT_EQ(after.at("combine_history").size(), 1u);
    {
        auto db = engine::DatabaseEngine().OpenDatabase(path);
        history::UndoOutcome undone;
        CatalogueOperation(*db).Undo(history::LastUndoable(*db).value(), undone);
        EXPECT_EQ(undone.entriesBack, markedSubjects);
        EXPECT_EQ(dump(*db, false), dump(pristine, false));
    }

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> delay(0, took + took / 10);
    int asBefore = 0, asAfter = 0;
    const auto deadline = Clock::now() + std::chrono::minutes(4);
    for (int kill = 0; kill < KILLS && Clock::now() < deadline; ++kill) {
        copyCatalogue(pristine, path);
        QProcess victim;
        ASSERT_TRUE(startCombine(victim, path));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        victim.kill();
        ASSERT_TRUE(victim.waitForFinished(30000));
        const Dump now = stateOf(path);
        asBefore += now == before;
        asAfter += now == after;
        EXPECT_TRUE(now == before || now == after) << "kill " << kill << " left neither";
    }
    std::printf("combine of %d subjects took %ld ms; %d kills left it as before, %d as after\n",
                markedSubjects, took, asBefore, asAfter);
    EXPECT_GE(asBefore + asAfter, std::min(10, KILLS));
}

} // namespace
