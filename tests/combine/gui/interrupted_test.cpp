// Combines killed at random moments: the real window code, in a process of
// its own, re-points the items of many subjects of a large catalogue and is
// killed (SIGKILL) at a random moment, again and again. Each time the
// catalogue, once SQLite has rolled back what the journal holds, must be
// exactly as before or exactly as after the combine, and open again.
#include "catalogues.h"
#include "query.h"
#include "samplegen.h"
#include "support.h"

#include <QProcess>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int markedSubjects = 2000;

// The catalogue's tables and, apart, the combine history's (without the
// steps' times, which differ from run to run), read through an exclusive
// open: SQLite rolls back a journal left behind, and the open shows that
// nobody is left holding the file.
struct State {
    Dump catalogue, history;
    bool operator==(const State&) const = default;
};

State stateOf(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path, true);
    State s{dump(*db, false), dump(*db, true)};
    for (const auto& table : s.catalogue)
        s.history.erase(table.first);
    if (auto steps = s.history.find("combine_history"); steps != s.history.end())
        for (std::string& row : steps->second)
            row = std::regex_replace(row, std::regex(R"('\d{4}-[-\d:T]+Z')"), "time");
    db->Close();
    return s;
}

// The codes sql yields, each row a list of codes with ", " between them.
std::set<long long> codesOf(const std::string& path, const std::string& sql) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    engine::Query q(*db, sql);
    std::set<long long> out;
    while (q.Step()) {
        std::istringstream row(q.Text(0));
        for (std::string code; std::getline(row, code, ',');)
            out.insert(std::stoll(code));
    }
    return out;
}

void copyCatalogue(const std::string& from, const std::string& to) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(to + suffix);
    std::filesystem::copy_file(from, to);
}

const char* nameOf(const Dump& now, const Dump& before, const Dump& after) {
    return now == before ? "as before" : now == after ? "as after" : "neither";
}

// Starts the driver on path; true once it is about to combine.
bool startCombine(QProcess& p, const std::string& path) {
    p.start(QStringLiteral(KILLDRIVER_EXE),
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
    const State before = stateOf(pristine);
    ASSERT_TRUE(before.history.empty());

    // One combine to the end: the state after, and how long it takes.
    copyCatalogue(pristine, path);
    QProcess p;
    ASSERT_TRUE(startCombine(p, path));
    const auto started = Clock::now();
    ASSERT_TRUE(p.waitForFinished(300000));
    const long took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    ASSERT_EQ(p.exitCode(), 0);
    const State after = stateOf(path);
    ASSERT_NE(after.catalogue, before.catalogue) << "the combine changed nothing";
    // One step, whose merges name exactly the subjects the combine deleted.
    EXPECT_EQ(after.history.at("combine_history").size(), 1u);
    std::set<long long> deleted;
    const std::string subjects = "SELECT [Subject Code] FROM [Subjects]";
    std::ranges::set_difference(codesOf(pristine, subjects), codesOf(path, subjects),
                                std::inserter(deleted, deleted.end()));
    EXPECT_EQ(deleted.size(), std::size_t(markedSubjects));
    EXPECT_EQ(codesOf(path, "SELECT merged_codes FROM combine_history_merges"), deleted);

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
        const State now = stateOf(path);
        asBefore += now == before;
        asAfter += now == after;
        EXPECT_TRUE(now == before || now == after)
            << "kill " << kill << ": catalogue tables "
            << nameOf(now.catalogue, before.catalogue, after.catalogue) << ", history tables "
            << nameOf(now.history, before.history, after.history);
    }
    std::printf("combine of %d subjects took %ld ms; %d kills left it as before, %d as after\n",
                markedSubjects, took, asBefore, asAfter);
    EXPECT_GE(asBefore + asAfter, std::min(10, KILLS));
}

} // namespace
