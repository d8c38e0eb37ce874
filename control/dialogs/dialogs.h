// The dialogs of SolvaneControl: connections, filter status, About, the start-up notice and the
// History window.
// Dialogs read the slot records and the application state; the connections dialog hands its
// choice back and the shell applies it. Only the shell shows errors.
#pragma once

#include "control/state/app_state.h"

#include <QString>

#include <cstdint>
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

// The History window: the temperature, heater power and passband of every filter since the
// program started, over the last 15 minutes, hour or all of it, with a cursor that reads the
// values at a time, the marks of window_history() and each heating filter's time to on band.
// Not modal; one at a time (a second Display > History... raises it); it closes with the main
// window.
void show_history_window();

// Redraws an open History window from the history: force 0 draws at most once a second (polls
// of four filters come in one after another), force 1 now. Nothing while none is open.
void refresh_history_window(int force);

// What the cursor reads at time_ms (UTC milliseconds): the time, then each filter's values at
// its nearest sample and the marks near it; one line each.
QString history_cursor_text(std::int64_t time_ms);

// File > Save History...: asks for a file (solvane-history-DATE.csv in the current folder to
// start with) and writes the history as CSV. Returns 1 when written, 0 when cancelled or failed
// (the failure told to the observer).
int ask_and_save_history(QWidget* owner);

// Writes the history since the start as CSV into path through a temporary file. Returns 1, or 0
// with problem set.
int save_history_csv(const QString& path, QString& problem);
