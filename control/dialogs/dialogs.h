// The dialogs of SolvaneControl: connections, filter status, About and the start-up notice.
// Dialogs edit the slot records and the application state in place; only the shell shows errors.
#pragma once

class QWidget;

// "Set Filter Connections": assign ports to the four slots by hand or by Auto Detect. Modal.
// Returns 1 for OK (links connected, settings saved, menus updated) or 2 for Cancel.
int run_connections_dialog(QWidget* owner);

// "Filter Status" of slot 0 to 3, refreshed on its own timer while open. Modal.
int run_status_dialog(QWidget* owner, int slot);

// The About box. Modal; ends with OK, Enter or Escape.
int run_about_dialog(QWidget* owner);

// The start-up notice "Loading, please wait...": shown without owner while the program loads its
// data and reconnects the filters, destroyed before the main window shows.
void show_startup_notice();
void destroy_startup_notice();
