// What the dialogs share: their fonts and the placing of controls by dialog units.
#pragma once

#include <algorithm>

#include <QDialog>
#include <QFontMetrics>
#include <QFont>
#include <QLabel>
#include <QStringList>
#include <QWidget>

#include "control/resources/resources.h"

// A dialog font by family and point size. Where the family is missing, a face of the same
// proportions takes its place (Tahoma, then the metric twin of Arial), else any sans-serif.
inline QFont dialog_font(const char* family, int points)
{
    QFont font(QString::fromUtf8(family), points);
    font.setFamilies({QString::fromUtf8(family), QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// Puts a control at a template position given in dialog units of the dialog's font. A text that
// the fallback face makes longer than its box gets the room it needs: a wider box for a line, a
// taller one for a text wrapped at the box's width.
inline void place(QWidget* control, int x, int y, int width, int height)
{
    QRect rect = dialog_rect(control->parentWidget()->font(), x, y, width, height);
    if (auto* label = qobject_cast<QLabel*>(control); label && !label->wordWrap())
        rect.setSize(rect.size().expandedTo(label->sizeHint()));
    else if (label)
        rect.setHeight(std::max(rect.height(), label->fontMetrics()
                                                   .boundingRect(QRect(0, 0, rect.width(), QWIDGETSIZE_MAX),
                                                                 Qt::TextWordWrap | label->alignment(), label->text())
                                                   .height()));
    control->setGeometry(rect);
}

// Sizes a dialog to its template, or larger where its controls reach further.
inline void fit_dialog(QDialog* dialog, int width, int height)
{
    const QSize templated = dialog_rect(dialog->font(), 0, 0, width, height).size();
    const QRect used = dialog->childrenRect();
    dialog->setFixedSize(templated.expandedTo(QSize(used.right() + 8, used.bottom() + 8)));
}
