// Menu commands (still to come).
#include "control/shell/shell.h"

#include <QMainWindow>
#include <QMenuBar>
#include <QScrollBar>

void build_main_menu(QMainWindow* window) { window->menuBar()->addMenu(QStringLiteral("&File")); }
void update_menus() {}
void update_zoom_checks(int) {}
int dispatch_command(int) { return 0; }
void on_wing_shift_scroll(int, const QScrollBar*) {}
void connect_wing_shift_bar(QScrollBar*) {}
