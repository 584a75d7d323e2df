// A second process for the repair tests (an engine error ends it unhandled):
//   stepped SIGNAL STEP ARGS...  the repair program, raising SIGNAL when its run reaches STEP
//   wal PATH   commits 3 rows to Subjects in a write-ahead log and dies before it is folded back
//   hot PATH   changes every item in a transaction too big for the page cache and dies
//              before it commits, leaving a hot journal
#include "engine.h"
#include "module1.h"

#include <csignal>
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
    if (mode != "wal" && mode != "hot")
        return 2;
    auto db = engine::DatabaseEngine().OpenDatabase(argv[2]);
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
