// The windowed program's resources that are not data files: the program icon and the dialog-unit
// conversion of its dialog templates.
#pragma once

#include <QIcon>
#include <QRect>

class QFont;

// The program icon: the Sun's disk in hydrogen-alpha red with a dark limb.
QIcon program_icon();

// A rectangle of a dialog template in dialog units, converted to pixels with the dialog font:
// x units are a quarter of its average character width, y units an eighth of its height.
QRect dialog_rect(const QFont& font, int x, int y, int width, int height);
