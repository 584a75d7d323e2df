// A second process for the repair tests:
//   stepped SIGNAL STEP ARGS...  the repair program that raises SIGNAL when its run reaches STEP
//   hold PATH                    holds PATH open exclusively, as the combine program does,
//                                says "ready" and ends when its output is no longer read
//   wal PATH                     switches PATH to a write-ahead log, commits 3 rows to
//                                Subjects and dies before the log is folded back
//   hot PATH                     changes every item in a transaction too big for the page
//                                cache and dies before it commits, leaving a hot journal
// An engine error ends the helper unhandled; the test sees no "ready" or a
// changed exit.
#include "engine.h"
#include "module1.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[]) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "stepped" && argc >= 4) {
        static const int stopSignal = std::atoi(argv[2]), stopStep = std::atoi(argv[3]);
        Module1::SetStepHook([](Module1::Step step) {
            if (static_cast<int>(step) == stopStep)
                ::raise(stopSignal);
        });
        return Module1::Main(argc - 3, argv + 3);
    }
    if (mode != "hold" && mode != "wal" && mode != "hot")
        return 2;
    auto db = engine::DatabaseEngine().OpenDatabase(argv[2], mode == "hold");
    if (mode == "hold") {
        std::printf("ready\n");
        std::fflush(stdout);
        // A write to a closed pipe ends the process.
        while (std::fputc('.', stdout) != EOF && std::fflush(stdout) == 0)
            ::usleep(10000);
        return 0;
    }
    if (mode == "wal") {
        db->Execute("PRAGMA journal_mode=WAL");
        for (int code : {900000, 900001, 900002})
            db->Execute("INSERT INTO Subjects ([Subject Code], [Subject Name]) VALUES (" +
                        std::to_string(code) + ", 'Committed to the log')");
    } else {
        db->Execute("PRAGMA cache_size=10");
        db->BeginTrans();
        db->Execute("UPDATE [MERVANE RECORDS] SET [Notes] = printf('%.500c', 'x')");
    }
    ::raise(SIGKILL);
    return 1;
}
