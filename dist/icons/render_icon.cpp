// solvane-render-icon, run at build time only: draws the program's icon (the Sun's disk in
// hydrogen-alpha red with a dark limb) into one PNG for the desktop's icon theme. The drawing is
// program_icon()'s in control/resources/resources.cpp, so the menu shows the icon the window
// carries; solvane.svg beside this file is the same drawing for scalable use.
// tests/install/test_icon.cpp checks these PNGs against program_icon() at the sizes it makes.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRadialGradient>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "Usage: solvane-render-icon SIZE OUT.png (SIZE from 16 to 1024)\n");
        return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QRadialGradient sun(size / 2.0, size / 2.0, size / 2.0);
        sun.setColorAt(0.0, QColor(255, 90, 40));
        sun.setColorAt(0.8, QColor(210, 20, 10));
        sun.setColorAt(1.0, QColor(90, 0, 0));
        p.setBrush(sun);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "solvane-render-icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
