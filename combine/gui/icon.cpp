// The combine window's icon, drawn rather than shipped as a file.
#include "icon.h"

#include <QPainter>
#include <QPixmap>

QIcon drawIcon() {
    // Two entries on the left merge along an arrow into one on the right,
    // in colours of the sixteen-colour palette.
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor navy(0, 0, 128), teal(0, 128, 128), yellow(255, 255, 0), cyan(0, 255, 255),
        red(255, 0, 0), lime(0, 255, 0), black(0, 0, 0);
    p.setPen(navy);
    p.setBrush(yellow);
    p.drawRect(1, 3, 11, 8);
    p.setBrush(cyan);
    p.drawRect(1, 20, 11, 8);
    p.setPen(QPen(red, 2));
    p.drawLine(13, 7, 19, 15);
    p.drawLine(13, 24, 19, 16);
    p.setPen(red);
    p.setBrush(red);
    const QPoint head[] = {QPoint(18, 12), QPoint(22, 15), QPoint(18, 19)};
    p.drawPolygon(head, 3);
    p.setPen(black);
    p.setBrush(lime);
    p.drawRect(22, 10, 9, 11);
    p.setPen(teal);
    p.drawLine(24, 13, 29, 13);
    p.drawLine(24, 16, 29, 16);
    p.end();
    return QIcon(pm);
}
