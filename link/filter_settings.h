// Filter settings: every setting a program sends to a filter, one row each.
//
// Contents
//   1. The table
//   2. A setting's bytes and its job
//
// SolvaneControl's menus, the INDI driver, the Alpaca switches and page and SolvaneCommand make
// their settings here and nowhere else, so the bytes a filter receives for the same request are
// the same in every program by construction. A new setting is a new row (and its record field in
// filter_lines.h); the programs that offer it then only name it.
#pragma once

#include "link/filter_lines.h"
#include "link/solvane_link.h"

// ---------------------------------------------------------------------------------------------
// 1. The table
// ---------------------------------------------------------------------------------------------

enum FilterSetting {
    SETTING_SLEEP,         // 1 puts the filter to sleep (heater off), 0 wakes it
    SETTING_PANEL_LOCK,    // 1 locks out the buttons on the filter itself
    SETTING_DISPLAY_MODE,  // what the filter's own display shows: 0 centre wavelength, 1 wing shift
    SETTING_UNITS,         // the filter's own display: 0 Angstrom, 1 nanometre
    SETTING_WING_SHIFT,    // Angstrom into the red (+) or blue (-) wing, commanded in tenths
    SETTING_COUNT
};

// How the value of a setting becomes the command's decimal argument.
enum SettingArgument {
    ARGUMENT_TWO_STATE,  // 0 or 1: a value of 0.5 or more is 1
    ARGUMENT_TENTHS,     // the wing-shift rule: tenths, cut toward zero (wing_shift_argument)
};

struct SettingRow {
    FilterSetting setting;
    const char* name;        // the setting's name for network clients, lower case ("sleep", "wingshift")
    const char* prefix;      // the command: these two letters, the argument in decimal, a line feed
    SettingArgument argument;
    int FilterRecord::*flag;       // the record field the setting changes: a 0/1 flag,
    double FilterRecord::*amount;  // or an amount (the other is null)
    double min, max;         // the values a program may ask for
    int poll_after;          // 1: a status poll follows at once, so the record shows the filter's answer
};

// The row of a setting (0 to SETTING_COUNT - 1; the caller checks the range).
const SettingRow& setting_row(FilterSetting setting);

// The row named name (as in SettingRow::name, any case), or nullptr.
const SettingRow* find_setting(const char* name);

// ---------------------------------------------------------------------------------------------
// 2. A setting's bytes and its job
// ---------------------------------------------------------------------------------------------

// The command's argument for value: 0 or 1 for two-state settings, tenths for the wing shift.
int setting_argument(FilterSetting setting, double value);

// What the record holds once the filter has been told value: the argument in the setting's own
// unit (a wing shift of 0.25 is told 2 tenths and reads 0.2).
double setting_told_value(FilterSetting setting, double value);

// Puts into the record what the filter is told for value (setting_told_value).
void apply_setting(FilterRecord& record, FilterSetting setting, double value);

// The setting's exact bytes for value ("SE-3\n", "SH1\n") into out. Returns out.
char* setting_command(char out[COMMAND_BUFFER_SIZE], FilterSetting setting, double value);

// Whether a status poll follows the setting: as its row says, or always, or never.
enum SettingPoll { POLL_AS_ROW, POLL_ALWAYS, POLL_NEVER };

// The job that tells a filter value for setting: its bytes, the record field it changes (to the
// value told), and the status poll after it. The INDI driver polls after every setting so that
// its clients see the effect at once (POLL_ALWAYS); Reset To Center Wavelength sends its shift
// without a poll (POLL_NEVER).
LineJob setting_job(FilterSetting setting, double value, SettingPoll poll = POLL_AS_ROW);
