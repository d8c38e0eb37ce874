// solvane.ini: the windowed program's settings file, and the reconnection of the configured
// filters at start-up.
//
// The file stays byte-compatible with the one the filters' home platform writes: four port-name
// lines, one line of seven values, then the 44-byte window placement, all through a text stream
// whose line ends are CR LF on disk (so every 0x0A inside the placement is stored as 0x0D 0x0A).
// It lives in the current directory. Persisted: the port name and zoom span of each slot,
// full_display, log_enabled, update_interval_index and the placement.
#pragma once

#include "control/state/app_state.h"

#include <string>

constexpr const char* SETTINGS_FILE = "solvane.ini";

// The file's exact bytes for the current slots and application state.
std::string settings_file_bytes();

// Writes solvane.ini from the current values. Returns 1 when written; 0 when it could not be
// created or written, in which case an existing file is left as it was.
int save_settings();

// Reads solvane.ini into the slots and application state, then closes every slot's link and
// reconnects each one whose port name has more than 3 characters (connect_slot). A missing or
// incomplete file sets open_connections_at_start and reconnects nothing. The units of the last
// filter connected become units_nm.
void load_settings();

// The reading half of load_settings, from the file's bytes; returns 1 when all seven values were
// read (the caller then reconnects).
int parse_settings_bytes(const std::string& bytes);

// The reconnection half of load_settings.
void reconnect_slots();

// Connects a slot for the windowed program: connect_slot, and on success the filter's units
// become the program's (units_nm). Returns the slot's connected.
int connect_program_slot(FilterRecord& slot, const char* port_name);

// Whether a configured port name is opened at all: names of 3 characters or fewer ("COM") stay
// configured but unopened.
bool connectable_name(const char* port_name);
