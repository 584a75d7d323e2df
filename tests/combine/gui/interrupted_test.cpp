// Combines killed at random moments: the real window code, in a process of
// its own, re-points the items of many subjects of a large catalogue and is
// killed (SIGKILL) at a random moment, again and again. Each time the
// catalogue, once SQLite has rolled back what the journal holds, must be
// exactly as before or exactly as after the combine, and open again.
#include "samplegen.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char* const catalogueTables[] = {"MERVANE RECORDS", "Subjects", "Publishers", "Types",
                                       "FILEINFO"};
constexpr int markedSubjects = 2000;

// A table's rows in rowid order, leaving out the field named skip.
std::size_t digestTable(engine::Database& db, const std::string& table, long& rows,
                        const std::string& skip = {}) {
    std::size_t digest = std::hash<std::string>{}(table);
    auto rs = db.OpenTable(table);
    for (; !rs->Eof(); rs->MoveNext(), ++rows) {
        std::string row;
        for (int i = 0; i < rs->Fields().Count(); ++i) {
            if (rs->Fields().Item(i).Name() == skip)
                continue;
            engine::Variant v = rs->Fields().Item(i).Value();
            row += '\x1f' + (v.IsNull() ? std::string("\x01") : v.ToText());
        }
        digest = digest * 1099511628211ULL ^ std::hash<std::string>{}(row);
    }
    return digest;
}

// The catalogue tables' digest and, apart, that of the combine history's
// tables (without the steps' times, which differ from run to run), read
// through the engine (which rolls back a journal left behind). Opening it
// exclusively also shows that nobody is left holding it.
struct State {
    std::size_t catalogue = 0;
    std::size_t history = 0;
    long historyRows = 0;
    long steps = 0;
    std::set<long long> subjects, merged; // subject codes; codes the merges name
    bool operator==(const State&) const = default;
};

State stateOf(const std::string& path) {
    State s;
    long rows = 0;
    auto db = engine::DatabaseEngine().OpenDatabase(path, true);
    for (const char* t : catalogueTables)
        s.catalogue = s.catalogue * 31 + digestTable(*db, t, rows);
    for (auto rs = db->OpenTable("Subjects"); !rs->Eof(); rs->MoveNext())
        s.subjects.insert(rs->Fields().Item("Subject Code").Value().ToLong());
    for (const std::string& t : db->TableNames()) {
        if (t.rfind("combine_history", 0) != 0)
            continue;
        const long rowsBefore = s.historyRows;
        s.history = s.history * 31 + digestTable(*db, t, s.historyRows, "at");
        if (t == "combine_history")
            s.steps = s.historyRows - rowsBefore;
        if (t != "combine_history_merges")
            continue;
        for (auto rs = db->OpenTable(t); !rs->Eof(); rs->MoveNext()) {
            std::istringstream codes(rs->Fields().Item("merged_codes").Value().ToText());
            for (std::string code; std::getline(codes, code, ',');)
                s.merged.insert(std::stoll(code));
        }
    }
    db->Close();
    return s;
}

void copyCatalogue(const std::string& from, const std::string& to) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        fs::remove(to + suffix);
    fs::copy_file(from, to);
}

const char* nameOf(std::size_t digest, std::size_t before, std::size_t after) {
    return digest == before ? "as before" : digest == after ? "as after" : "neither";
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

} // namespace

class InterruptedTest : public QObject {
    Q_OBJECT
private slots:
    void killedCombineLeavesBeforeOrAfter() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string pristine = dir.filePath("pristine.M17").toStdString();
        const std::string path = dir.filePath("catalogue.M17").toStdString();
        samplegen::Options opts;
        opts.items = 200000;
        opts.subjects = 20000;
        opts.publishers = 500;
        opts.types = 40;
        samplegen::WriteSampleCatalogue(pristine, opts);
        const State before = stateOf(pristine);

        // One combine to the end: the state after, and how long it takes.
        copyCatalogue(pristine, path);
        QProcess p;
        QVERIFY(startCombine(p, path));
        const auto started = std::chrono::steady_clock::now();
        QVERIFY(p.waitForFinished(300000));
        const auto took = std::chrono::steady_clock::now() - started;
        QCOMPARE(p.exitCode(), 0);
        const State after = stateOf(path);
        QVERIFY2(after.catalogue != before.catalogue, "the combine changed nothing");
        // No history before; after, one step whose merges name exactly the
        // subjects the combine deleted.
        QCOMPARE(before.historyRows, 0L);
        QCOMPARE(after.steps, 1L);
        std::set<long long> deleted;
        std::ranges::set_difference(before.subjects, after.subjects,
                                    std::inserter(deleted, deleted.end()));
        QCOMPARE(deleted.size(), std::size_t(markedSubjects));
        QVERIFY(after.merged == deleted);

        std::mt19937 random(std::random_device{}());
        const long window = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        std::uniform_int_distribution<long> delay(0, window + window / 10);
        int asBefore = 0, asAfter = 0;
        // COMBINE_KILLS: fewer rounds where everything runs slower (sanitizers).
        const int kills = qEnvironmentVariableIsSet("COMBINE_KILLS")
                              ? qEnvironmentVariableIntValue("COMBINE_KILLS")
                              : 25;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        for (int kill = 0; kill < kills && std::chrono::steady_clock::now() < deadline; ++kill) {
            copyCatalogue(pristine, path);
            QProcess victim;
            QVERIFY(startCombine(victim, path));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
            victim.kill();
            QVERIFY(victim.waitForFinished(30000));
            const State now = stateOf(path);
            if (now == before)
                ++asBefore;
            else if (now == after)
                ++asAfter;
            else
                QFAIL(qPrintable(QStringLiteral("kill %1: catalogue tables %2, history tables %3")
                                     .arg(kill)
                                     .arg(nameOf(now.catalogue, before.catalogue, after.catalogue))
                                     .arg(nameOf(now.history, before.history, after.history))));
        }
        qInfo("combine of %d subjects took %ld ms; %d kills left it as before, %d as after",
              markedSubjects, window, asBefore, asAfter);
        QVERIFY(asBefore + asAfter >= std::min(10, kills));
    }
};

QTEST_GUILESS_MAIN(InterruptedTest)
#include "interrupted_test.moc"
