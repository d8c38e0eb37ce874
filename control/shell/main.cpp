// SolvaneControl: the observer's window on up to four filters.
#include "control/shell/shell.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("SolvaneControl"));
    // Ties the window to its menu entry and icon on desktops that ask (Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.solvane.SolvaneControl"));
    close_on_termination_signals();
    if (!control_start()) return 0;
    int code = termination_signal_arrived() ? 0 : application.exec();
    control_shutdown();
    return code;
}
