// A second process for the repair tests:
//   stepped SIGNAL STEP ARGS...  the repair program that raises SIGNAL when its run reaches STEP
//   hold PATH                    holds PATH open exclusively, as the combine program does,
//                                says "ready" and ends when its output is no longer read
//   wal PATH N                   switches PATH to a write-ahead log, commits N rows to
//                                Subjects and dies before the log is folded back
//   hot PATH                     changes every item in a transaction too big for the page
//                                cache and dies before it commits, leaving a hot journal
#include "engine.h"
#include "module1.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int stopSignal = 0;
int stopStep = 0;

void stopAt(Module1::Step step) {
    if (static_cast<int>(step) == stopStep)
        ::raise(stopSignal);
}

int hold(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path, true);
    std::printf("ready\n");
    std::fflush(stdout);
    // A write to a closed pipe ends the process.
    while (std::fputc('.', stdout) != EOF && std::fflush(stdout) == 0)
        ::usleep(10000);
    return 0;
}

int commitToLog(const std::string& path, int rows) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    db->Execute("PRAGMA journal_mode=WAL");
    for (int i = 0; i < rows; ++i)
        db->Execute("INSERT INTO Subjects ([Subject Code], [Subject Name]) VALUES (" +
                    std::to_string(900000 + i) + ", 'Committed to the log')");
    ::raise(SIGKILL);
    return 1;
}

int dieMidTransaction(const std::string& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    db->Execute("PRAGMA cache_size=10");
    db->BeginTrans();
    db->Execute("UPDATE [MERVANE RECORDS] SET [Notes] = printf('%.500c', 'x')");
    ::raise(SIGKILL);
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "stepped" && argc >= 4) {
        stopSignal = std::atoi(argv[2]);
        stopStep = std::atoi(argv[3]);
        Module1::SetStepHook(stopAt);
        return Module1::Main(argc - 3, argv + 3);
    }
    // An engine error here ends the helper unhandled; the test sees no "ready"
    // or a changed exit.
    if (mode == "hold" && argc == 3)
        return hold(argv[2]);
    if (mode == "wal" && argc == 4)
        return commitToLog(argv[2], std::atoi(argv[3]));
    if (mode == "hot" && argc == 3)
        return dieMidTransaction(argv[2]);
    std::fprintf(stderr, "usage: see the head of helper.cpp\n");
    return 2;
}
