// solvane.ini: the windowed program's settings file, and the reconnection of the configured
// filters at start-up.
//
// The file stays byte-compatible with the one the filters' home platform writes: four port-name
// lines, one line of seven values, then the 44-byte window placement, all through a text stream
// whose line ends are CR LF on disk (so every 0x0A inside the placement is stored as 0x0D 0x0A).
// It lives in the current directory. Persisted: the port name and zoom span of each slot,
// full_display, log_enabled, update_interval_index and the placement.
//
// The working directory may hold what someone else put there. The file is read only when it is a
// regular file, without blocking, and at most SETTINGS_READ_MAX bytes of it; it is written through
// a new temporary file made exclusively beside it (no link followed), synced and renamed over it,
// so the old settings stay whole until the new ones are. A file that exists but could not be read
// is never replaced: the observer's settings in it are worth more than ours.
#pragma once

#include "control/state/app_state.h"

#include <string>

constexpr const char* SETTINGS_FILE = "solvane.ini";

// A settings file holds a few hundred bytes; what lies beyond this is damage and is not read.
constexpr size_t SETTINGS_READ_MAX = 64 * 1024;

// The file's exact bytes for the current slots and application state.
std::string settings_file_bytes();

// Writes solvane.ini from the current values. Returns 1 when written; 0 when it could not be
// created or written, or when the file found at start could not be read (it is left as it was);
// settings_problem then says why.
int save_settings();

// What load_settings found.
enum SettingsLoad {
    SETTINGS_READ,        // read and complete: the slots are being reconnected
    SETTINGS_MISSING,     // no file, or incomplete: the connections dialog opens first
    SETTINGS_UNREADABLE,  // there, but not a regular file or not readable: left alone, never replaced
};

// Reads solvane.ini into the slots and application state, then closes every slot's link and
// reconnects each one whose port name has more than 3 characters and no control character; all
// connect at once, on their lines. A missing, unreadable or incomplete file sets
// open_connections_at_start and reconnects nothing.
SettingsLoad load_settings();

// Why the last load or save did not go as it should, for the observer: the file, the directory
// and the system's reason. Empty when nothing went wrong.
const std::string& settings_problem();

// 1 when the settings can be written in the current directory (a temporary file can be made
// there), else 0 with settings_problem set. Nothing is left behind.
int settings_writable();

// The reading half of load_settings, from the file's bytes; returns 1 when all seven values were
// read (the caller then reconnects). A port name with a control character is not taken.
int parse_settings_bytes(const std::string& bytes);

// The reconnection half of load_settings: every connectable slot's connect handed to its line.
void reconnect_slots();

// Whether a configured port name is opened at all: names of 3 characters or fewer ("COM") stay
// configured but unopened.
bool connectable_name(const char* port_name);
