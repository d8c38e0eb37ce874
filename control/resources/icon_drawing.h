// The program icon's one drawing, for the window (program_icon) and for the desktop's icon theme
// (the build-time tool in dist/icons), so the menu shows the icon the window carries.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRadialGradient>

// The Sun's disk in hydrogen-alpha red with a dark limb, size x size pixels on transparency.
inline QImage draw_program_icon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient sun(size / 2.0, size / 2.0, size / 2.0);
    sun.setColorAt(0.0, QColor(255, 90, 40));
    sun.setColorAt(0.8, QColor(210, 20, 10));
    sun.setColorAt(1.0, QColor(90, 0, 0));
    p.setBrush(sun);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    return image;
}
