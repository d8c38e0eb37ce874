// The About box and the start-up notice, which share one simple way of ending: OK (1) or
// Cancel/Escape (2).
#include "control/dialogs/dialog_common.h"
#include "control/dialogs/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

QDialog* notice = nullptr;

QLabel* add_text(QDialog* dialog, const QString& text, int x, int y, int width, int height, bool wrap = false)
{
    auto* label = new QLabel(text, dialog);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wrap);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, x, y, width, height);
    return label;
}

void add_icon(QDialog* dialog, int x, int y, int width, int height)
{
    auto* icon = new QLabel(dialog);
    place(icon, x, y, width, height);
    icon->setPixmap(program_icon().pixmap(icon->size()));
}

}  // namespace

int run_about_dialog(QWidget* owner)
{
    QDialog dialog(owner);
    dialog.setWindowTitle(QStringLiteral("About"));
    dialog.setFont(dialog_font("MS Sans Serif", 8));
    add_icon(&dialog, 14, 9, 20, 20);
    add_text(&dialog, QStringLiteral("Velmora Solvane Control v1.0"), 49, 10, 126, 8);
    add_text(&dialog, QStringLiteral("Filter monitor and control for Linux"), 49, 20, 130, 9);
    add_text(&dialog, QStringLiteral("Solar spectrum: NSO/Kitt Peak FTS data\nproduced by NSF/NOAO."), 49, 39, 132, 20);
    add_text(&dialog,
             QStringLiteral("Please contact Velmora Filters for all bug reports, feature requests, or comments "
                            "about this software."),
             49, 63, 160, 20, true);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    place(ok, 186, 6, 39, 15);
    QObject::connect(ok, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(1); });
    fit_dialog(&dialog, 230, 92);
    return dialog.exec() == 1 ? 1 : 2;
}

void show_startup_notice()
{
    notice = new QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint);
    notice->setFont(dialog_font("Microsoft Sans Serif", 12));
    add_text(notice, QStringLiteral("Loading, please wait..."), 31, 12, 74, 8);
    add_icon(notice, 12, 9, 13, 13);
    fit_dialog(notice, 114, 34);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        notice->move(screen->geometry().center() - notice->rect().center());
    notice->show();
    notice->raise();
    notice->activateWindow();
    // Painted now: the loading that follows keeps the event loop busy for a while.
    QApplication::processEvents();
}

void destroy_startup_notice()
{
    delete notice;
    notice = nullptr;
}
