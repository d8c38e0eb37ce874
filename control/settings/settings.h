// solvane.ini in the window: the file's record taken into the slots and the application state,
// the record made from them for saving, and the reconnection of the configured filters at
// start-up. The file itself (its bytes, the guards around reading and writing it) is
// link/settings_file.h, shared with the other programs.
//
// Persisted: the port name and zoom span of each slot, full_display, log_enabled,
// update_interval_index and the placement. A file that exists but could not be read at start is
// never replaced: the observer's settings in it are worth more than ours.
#pragma once

#include "control/state/app_state.h"
#include "link/settings_file.h"

#include <string>

// The record of the file for the current slots and application state.
SettingsFile window_settings();

// Takes a record into the slots (port names, zoom spans) and the application state.
void apply_settings(const SettingsFile& settings);

// Writes solvane.ini from the current values. Returns 1 when written; 0 when it could not be
// created or written, or when the file found at start could not be read (it is left as it was);
// settings_problem then says why.
int save_settings();

// Reads solvane.ini into the slots and application state, then closes every slot's link and
// reconnects each one whose port name is connectable; all connect at once, on their lines.
// SETTINGS_READ: read and complete, the slots are being reconnected. Every other result (an
// incomplete file's values are taken; an unreadable one is left alone and never replaced) sets
// open_connections_at_start and reconnects nothing.
SettingsFileRead load_settings();

// Why the last load or save did not go as it should, for the observer: the file, the directory
// and the system's reason. Empty when nothing went wrong.
const std::string& settings_problem();

// 1 when the settings can be written in the current directory (a temporary file can be made
// there), else 0 with settings_problem set. Nothing is left behind.
int settings_writable();

// The reconnection half of load_settings: every connectable slot's connect handed to its line.
void reconnect_slots();
