// Benchmarks of the combine window on a large catalogue: opening to the
// subjects shown, a switch of category, combines of 1, 100 and 1,000
// subjects beside SQLite running the same statements directly, and the peak
// memory with 200,000 subjects listed.
//
// The catalogue is benchdata.h's, written on the first run.
#include "benchdata.h"
#include "combine1.h"
#include "frmcombine.h"

#include <QApplication>
#include <QPushButton>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path catalogue() {
    return benchdata::catalogue();
}

fs::path workCopy() {
    return benchdata::folder() / "Work.M17";
}

using benchdata::seconds;

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Shows a new window whose open dialog answers path and processes events
// until the subjects are listed and painted. elapsed, when given, receives
// the time from the showing to that point.
std::unique_ptr<frmCombine> openWindow(const fs::path& path, double* elapsed = nullptr) {
    ui::seam().fileNames.push_back(QString::fromStdString(path.string()));
    auto w = std::make_unique<frmCombine>();
    auto* list1 = w->findChild<ListBox*>("List1");
    const auto start = Clock::now();
    w->show();
    while (list1->ListCount() == 0 && seconds(Clock::now() - start) < 60)
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    if (elapsed)
        *elapsed = seconds(Clock::now() - start);
    return w;
}

void closeWindow(std::unique_ptr<frmCombine>& w) {
    w->close();
    w.reset();
    QCoreApplication::processEvents();
}

void BM_OpenToSubjectsShown(benchmark::State& state) {
    double peak = 0;
    int rows = 0;
    for (auto _ : state) {
        double elapsed = 0;
        auto w = openWindow(catalogue(), &elapsed);
        state.SetIterationTime(elapsed);
        rows = w->findChild<ListBox*>("List1")->ListCount();
        peak = peakRssMiB();
        closeWindow(w);
    }
    state.counters["rows"] = rows;
    state.counters["peak_rss_MiB"] = peak;
}
BENCHMARK(BM_OpenToSubjectsShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// From Publishers to Subjects (200,000 rows) and from Subjects to Publishers.
void BM_CategorySwitch(benchmark::State& state) {
    const int to = static_cast<int>(state.range(0));
    auto w = openWindow(catalogue());
    auto* combo = w->findChild<ComboBox*>("Combo3");
    for (auto _ : state) {
        combo->SetListIndex(to == 0 ? 1 : 0);
        QCoreApplication::processEvents();
        const auto start = Clock::now();
        combo->setCurrentIndex(to);
        emit combo->activated(to);
        QCoreApplication::processEvents();
        state.SetIterationTime(seconds(Clock::now() - start));
    }
    state.counters["rows"] = w->findChild<ListBox*>("List1")->ListCount();
    closeWindow(w);
}
BENCHMARK(BM_CategorySwitch)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

using benchdata::execDirect;

// Combines N subjects, spread over the list, into one; then the same
// statements on a fresh copy straight through SQLite, in one transaction.
void BM_CombineSubjects(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    double windowTotal = 0, directTotal = 0;
    for (auto _ : state) {
        fs::copy_file(catalogue(), workCopy(), fs::copy_options::overwrite_existing);
        auto w = openWindow(workCopy());
        auto* list1 = w->findChild<ListBox*>("List1");
        auto* list2 = w->findChild<ListBox*>("List2");
        const int count = list1->ListCount();
        const int step = (count - 2) / n;
        std::string codes;
        for (int k = 0; k < n; ++k) {
            const int row = 2 + k * step;
            list1->SetSelected(row, true);
            codes += (codes.empty() ? "" : ", ") + std::to_string(list1->ItemData(row));
        }
        list2->SetListIndex(1);
        const std::string target = std::to_string(list2->ItemData(1));
        ui::seam().answers.push_back(ui::mb::Yes);
        QCoreApplication::processEvents();

        const auto start = Clock::now();
        w->findChild<QPushButton*>("Command2")->click();
        QCoreApplication::processEvents();
        const double windowTime = seconds(Clock::now() - start);
        if (list1->ListCount() != count - n) {
            state.SkipWithError("the combine did not remove the rows");
            break;
        }
        closeWindow(w);

        fs::copy_file(catalogue(), workCopy(), fs::copy_options::overwrite_existing);
        const std::string condition = n > 1 ? " IN (" + codes + ")" : " = " + codes;
        sqlite3* db = nullptr;
        sqlite3_open_v2(workCopy().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        const auto directStart = Clock::now();
        execDirect(db, "BEGIN");
        execDirect(db, "UPDATE [MERVANE RECORDS] SET [Subject 1] = " + target +
                           " WHERE [Subject 1]" + condition);
        execDirect(db, "UPDATE [MERVANE RECORDS] SET [Subject 2] = " + target +
                           " WHERE [Subject 2]" + condition);
        execDirect(db, "DELETE FROM [Subjects] WHERE [Subject Code]" + condition);
        execDirect(db, "COMMIT");
        const double directTime = seconds(Clock::now() - directStart);
        sqlite3_close(db);

        state.SetIterationTime(windowTime);
        windowTotal += windowTime;
        directTotal += directTime;
    }
    state.counters["direct_ms"] = directTotal * 1000 / static_cast<double>(state.iterations());
    state.counters["ratio"] = windowTotal / directTotal;
    fs::remove(workCopy());
}
BENCHMARK(BM_CombineSubjects)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace

int main(int argc, char* argv[]) {
    if (!benchdata::ensureCatalogue()) {
        std::cerr << "cannot write the benchmark catalogue\n";
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ui::seam().testing = true;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
