// The combine program's entry: the window, and optionally the catalogue to
// open named on the command line.
#include "frmcombine.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    frmCombine window;
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1)
        window.setStartupPath(args.at(1));
    window.show();
    window.activateWindow();
    return QApplication::exec();
}
