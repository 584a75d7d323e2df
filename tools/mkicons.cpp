// mkicons: writes the combine window's own icon as PNG files in the icon
// theme's sizes, for the desktop to show beside the program's name.
// Usage: mkicons OUTDIR NAME   writes OUTDIR/<N>x<N>/apps/NAME.png
#include "icon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: mkicons OUTDIR NAME\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QImage icon = drawIcon().pixmap(32, 32).toImage();
    if (icon.size() != QSize(32, 32)) {
        std::fprintf(stderr, "mkicons: the window's icon is not 32 x 32\n");
        return 1;
    }
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        // Whole multiples keep the drawing's pixels sharp; other sizes are
        // smoothed so that no line is lost.
        const Qt::TransformationMode mode =
            size % 32 == 0 ? Qt::FastTransformation : Qt::SmoothTransformation;
        const QImage scaled = icon.scaled(size, size, Qt::IgnoreAspectRatio, mode);
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
        const QString file = folder + u'/' + name + QStringLiteral(".png");
        if (!QDir().mkpath(folder) || !scaled.save(file, "PNG")) {
            std::fprintf(stderr, "mkicons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
