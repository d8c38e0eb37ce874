#include "control/resources/resources.h"

#include "control/resources/icon_drawing.h"

#include <QFont>
#include <QFontMetrics>
#include <QPixmap>

QIcon program_icon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64}) icon.addPixmap(QPixmap::fromImage(draw_program_icon(size)));
    return icon;
}

QRect dialog_rect(const QFont& font, int x, int y, int width, int height)
{
    QFontMetrics metrics(font);
    const double unit_x = metrics.averageCharWidth() / 4.0, unit_y = metrics.height() / 8.0;
    return QRect(qRound(x * unit_x), qRound(y * unit_y), qRound(width * unit_x), qRound(height * unit_y));
}
