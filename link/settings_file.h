// solvane.ini: the settings file that SolvaneControl writes and every Solvane program may read,
// as a plain record and the functions that read and write it.
//
// Contents
//   1. The record
//   2. Bytes: the file's exact form
//   3. The file in the current directory
//
// The file stays byte-compatible with the one the filters' home platform writes: one port-name
// line per slot, one line of seven values, then the 44-byte window placement, all through a text
// stream whose line ends are CR LF on disk (so every 0x0A inside the placement is stored as
// 0x0D 0x0A). It lives in the current directory.
//
// The working directory may hold what someone else put there. The file is read only when it is a
// regular file, without blocking, and at most SETTINGS_READ_MAX bytes of it; it is written through
// a new temporary file made exclusively beside it (no link followed), synced and renamed over it,
// so the old settings stay whole until the new ones are. Nothing here keeps state: whether a file
// that could not be read may be replaced is the caller's decision (the window never replaces it).
#pragma once

#include "link/filter_policy.h"
#include "link/solvane_link.h"

#include <cstddef>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------------------------
// 1. The record
// ---------------------------------------------------------------------------------------------

constexpr const char* SETTINGS_FILE = "solvane.ini";

// A settings file holds a few hundred bytes; what lies beyond this is damage and is not read.
constexpr std::size_t SETTINGS_READ_MAX = 64 * 1024;

// The main window's placement as the file stores it: eleven little-endian 32-bit values, 44
// bytes, in the layout the filters' home platform uses for its window placement record.
struct WindowPlacement {
    std::int32_t length = 44;
    std::int32_t flags = 0;
    std::int32_t show_command = 0;   // 1 normal, 2 minimised, 3 maximised
    std::int32_t min_x = 0, min_y = 0;
    std::int32_t max_x = 0, max_y = 0;
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;  // the normal geometry
};
constexpr int PLACEMENT_BYTES = 44;
static_assert(sizeof(WindowPlacement) == PLACEMENT_BYTES);

constexpr int SHOW_NORMAL = 1;
constexpr int SHOW_MINIMIZED = 2;
constexpr int SHOW_MAXIMIZED = 3;

// What the file keeps of one slot. The initialisers are a fresh slot's (FilterRecord's).
struct SlotSettings {
    char port_name[PORT_NAME_SIZE] = {};
    double zoom_span = FilterRecord{}.zoom_span;
};

// Everything the file holds. The initialisers are the window's start values.
struct SettingsFile {
    SlotSettings per_slot[SLOT_COUNT];
    int full_display = 1;
    int log_enabled = 0;
    int update_interval_index = UPDATE_INTERVAL_DEFAULT_INDEX;  // an index of UPDATE_INTERVALS_MS once read
    WindowPlacement placement;
    int placement_valid = 0;         // the file held a whole placement block
};

// Whether a configured port name is opened at all: names of 3 characters or fewer ("COM") stay
// configured but unopened, and a name with a control character is never opened.
bool connectable_name(const char* port_name);

// ---------------------------------------------------------------------------------------------
// 2. Bytes
// ---------------------------------------------------------------------------------------------

// The file's exact bytes for the record. The window always writes its placement; a program that
// changes another program's file and read no placement from it leaves it out (with_placement 0),
// so that the window places itself as on a first start.
std::string settings_file_bytes(const SettingsFile& settings, int with_placement = 1);

// Reads the file's bytes into settings: every field the bytes hold replaces the record's, the
// others keep what the caller put there (a missing port line, a line of fewer values, a cut
// placement block). A port name with a control character is not taken; the interval is clamped
// to 0..2 and a minimised placement comes back normal. Returns 1 when all seven values were read.
int parse_settings_bytes(const std::string& bytes, SettingsFile& settings);

// ---------------------------------------------------------------------------------------------
// 3. The file in the current directory
// ---------------------------------------------------------------------------------------------

enum SettingsFileRead {
    SETTINGS_READ,        // read and complete
    SETTINGS_INCOMPLETE,  // read, but it holds fewer than the seven values (what it held is in the record)
    SETTINGS_MISSING,     // no file: the record is untouched
    SETTINGS_UNREADABLE,  // there, but not a regular file or not readable: the record is untouched
};

// Reads solvane.ini of the current directory into settings as parse_settings_bytes does. For
// SETTINGS_UNREADABLE, problem says which file, where and the system's reason; else it is cleared.
SettingsFileRead read_settings_file(SettingsFile& settings, std::string& problem);

// Writes solvane.ini for the record through a new exclusive temporary file, synced and renamed
// over the old one. Returns 1 when written (problem cleared); 0 with problem naming the file, the
// directory and the system's reason, the old file left as it was and no temporary left behind.
int write_settings_file(const SettingsFile& settings, std::string& problem, int with_placement = 1);

// The same guards for the other small files a program keeps beside solvane.ini (name relative to
// the current directory): read as read_settings_file reads (bytes holds at most SETTINGS_READ_MAX;
// never SETTINGS_INCOMPLETE), written as write_settings_file writes. what names the file in the
// problem texts ("settings file", "site file"; for writing "the site").
SettingsFileRead read_small_file(const char* name, std::string& bytes, std::string& problem,
                                 const char* what = "file");
int write_file_replacing(const char* name, const std::string& bytes, std::string& problem,
                         const char* what = "the file");

// 1 when a temporary file can be made beside solvane.ini (nothing is left behind); else 0 with
// problem set.
int settings_file_writable(std::string& problem);

// The current directory as the problem texts name it ("." when it cannot be told).
std::string settings_directory();
