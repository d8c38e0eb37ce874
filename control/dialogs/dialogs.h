// The dialogs of SolvaneControl: connections, filter status, About and the start-up notice.
// Dialogs read the slot records and the application state; the connections dialog hands its
// choice back and the shell applies it. Only the shell shows errors.
#pragma once

#include "control/state/app_state.h"

#include <functional>

class QWidget;

// What OK of the connections dialog chose: per slot, whether its list had a selection and the
// selected name (empty for the empty entry).
struct ConnectionChoice {
    int chosen[SLOT_COUNT] = {};
    char port_name[SLOT_COUNT][PORT_NAME_SIZE] = {};
};

// "Set Filter Connections": assign ports to the four slots by hand or by Auto Detect. Modal.
// Returns 1 for OK with choice filled in, or 2 for Cancel. Auto Detect connects the filters it
// finds at once and calls after_detect when it is done (the shell fits the window to them).
int run_connections_dialog(QWidget* owner, ConnectionChoice& choice, const std::function<void()>& after_detect);

// "Filter Status" of slot 0 to 3, refreshed on its own timer while open. Modal.
int run_status_dialog(QWidget* owner, int slot);

// The About box. Modal; ends with OK, Enter or Escape.
int run_about_dialog(QWidget* owner);

// The start-up notice "Loading, please wait...": shown without owner while the program loads its
// data and reconnects the filters, destroyed before the main window shows.
void show_startup_notice();
void destroy_startup_notice();
