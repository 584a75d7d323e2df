// The combine tests' helper, a process of their own that a test holds a file
// with or kills. Prints "ready" once it holds the file, or just before the
// combine starts.
//   combine_test_helper CATALOGUE     holds the catalogue exclusively through
//                                     the engine until standard input closes
//   combine_test_helper CATALOGUE N   opens it in the window, marks the first
//                                     N subjects in List1, chooses the entry
//                                     behind them in List2, answers Yes in
//                                     advance and presses Combine
#include "window.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char* argv[]) {
    if (argc < 2)
        return 2;
    if (argc == 2) {
        auto db = engine::DatabaseEngine().OpenDatabase(argv[1], true);
        std::cout << "ready" << std::endl;
        std::string line;
        std::getline(std::cin, line);
        return 0;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int marked = argc == 3 ? std::atoi(argv[2]) : 0;
    testsupport::resetSeam();
    auto w = testsupport::startWindow({std::string(argv[1])});
    ListBox* list1 = testsupport::list(*w, "List1");
    if (marked < 1 || list1->ListCount() < marked + 2) {
        std::fprintf(stderr, "usage: combine_test_helper CATALOGUE [N], N below the subjects\n");
        return 2;
    }
    for (int row = 1; row <= marked; ++row)
        list1->SetSelected(row, true);
    testsupport::list(*w, "List2")->SetListIndex(marked + 1);
    ui::seam().answers = {ui::mb::Yes};
    std::printf("ready\n");
    std::fflush(stdout);
    w->Command2_Click();
    const bool done = !ui::seam().messages.empty() && !ui::seam().endCode;
    w.reset();
    testsupport::releaseCatalogue();
    return done ? 0 : 1;
}
