// The combine window's code in a process of its own, for the test that kills
// it mid-combine: opens the catalogue named on the command line, marks the
// first N subjects in List1, chooses the entry behind them in List2 as the
// target, answers Yes in advance and presses Combine. Prints "ready" just
// before the combine starts. Usage: combine_killdriver CATALOGUE N
#include "window.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: combine_killdriver CATALOGUE N\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int marked = std::atoi(argv[2]);
    testsupport::resetSeam();
    auto w = testsupport::startWindow({std::string(argv[1])});
    testsupport::chooseCategory(*w, 0);
    ListBox* list1 = testsupport::list(*w, "List1");
    ListBox* list2 = testsupport::list(*w, "List2");
    if (list1->ListCount() < marked + 2) {
        std::fprintf(stderr, "killdriver: only %d subjects\n", list1->ListCount() - 1);
        return 2;
    }
    for (int row = 1; row <= marked; ++row)
        list1->SetSelected(row, true);
    list2->SetListIndex(marked + 1);
    ui::seam().answers = {ui::mb::Yes};
    std::printf("ready\n");
    std::fflush(stdout);
    w->Command2_Click();
    const bool asked = !ui::seam().messages.empty();
    w.reset();
    testsupport::releaseCatalogue();
    std::printf("%s\n", asked && !ui::seam().endCode ? "done" : "failed");
    std::fflush(stdout);
    return asked && !ui::seam().endCode ? 0 : 1;
}
