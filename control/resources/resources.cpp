#include "control/resources/resources.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

QIcon program_icon()
{
    static QIcon icon;
    if (!icon.isNull()) return icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        QRadialGradient sun(size / 2.0, size / 2.0, size / 2.0);
        sun.setColorAt(0.0, QColor(255, 90, 40));
        sun.setColorAt(0.8, QColor(210, 20, 10));
        sun.setColorAt(1.0, QColor(90, 0, 0));
        p.setBrush(sun);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
        icon.addPixmap(pixmap);
    }
    return icon;
}

QRect dialog_rect(const QFont& font, int x, int y, int width, int height)
{
    QFontMetrics metrics(font);
    const double unit_x = metrics.averageCharWidth() / 4.0, unit_y = metrics.height() / 8.0;
    return QRect(qRound(x * unit_x), qRound(y * unit_y), qRound(width * unit_x), qRound(height * unit_y));
}
