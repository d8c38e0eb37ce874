// Dialogs still to come; the start-up notice is real.
#include "control/dialogs/dialogs.h"

#include "control/resources/resources.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>

namespace {
QDialog* notice = nullptr;
}

int run_connections_dialog(QWidget*) { return 2; }
int run_status_dialog(QWidget*, int) { return 0; }
int run_about_dialog(QWidget*) { return 1; }

void show_startup_notice()
{
    notice = new QDialog(nullptr, Qt::Dialog | Qt::FramelessWindowHint);
    auto* text = new QLabel(QStringLiteral("Loading, please wait..."), notice);
    text->move(40, 20);
    notice->show();
    QApplication::processEvents();
}

void destroy_startup_notice()
{
    delete notice;
    notice = nullptr;
}
