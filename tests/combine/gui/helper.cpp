// The combine tests' helper process; prints "ready" once it holds the file or
// just before it combines.
//   combine_test_helper CATALOGUE    holds it exclusively until stdin closes
//   combine_test_helper CATALOGUE N  in the window, combines the first N
//                                    subjects into the entry after them
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
    const int marked = std::atoi(argv[2]);
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
