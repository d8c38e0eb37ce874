// The nine switches of one filter as an Alpaca Switch device: what each one reads from the
// filter's record, and what a write sends to the filter.
//
// Contents
//   1. The table of switches
//   2. Reading a switch from a record
//   3. Writing a switch: the filter command
//   4. Names the clients show
//
// Pure functions over a FilterRecord; nothing here talks to a filter or knows about HTTP.
#pragma once

#include "link/filter_lines.h"
#include "link/solvane_link.h"

#include <string>

// ---------------------------------------------------------------------------------------------
// 1. The table of switches
// ---------------------------------------------------------------------------------------------

// The switch numbers (Alpaca's Id), in the order the clients list them.
enum SwitchId {
    SWITCH_HEATER,              // on wakes the filter, off puts it to sleep
    SWITCH_WING_SHIFT,          // Angstrom into the wing, -1.0 to 1.0 in tenths
    SWITCH_PANEL_LOCK,          // the filter's front panel buttons locked out
    SWITCH_ON_BAND,             // read-only
    SWITCH_CURRENT_WAVELENGTH,  // read-only, Angstrom
    SWITCH_TARGET_WAVELENGTH,   // read-only, Angstrom
    SWITCH_TEMPERATURE,         // read-only, degrees Celsius
    SWITCH_HEATER_POWER,        // read-only, percent
    SWITCH_STATUS,              // read-only, the filter's status code
    SWITCH_COUNT
};

struct SwitchRow {
    const char* name;          // what the switch is, without the filter's label
    const char* description;   // a sentence for the clients' tool tips (the status switch uses its text)
    double min, max, step;
    int writable;
};

// The row of switch id (0 to SWITCH_COUNT - 1; the caller checks the range).
const SwitchRow& switch_row(int id);

// ---------------------------------------------------------------------------------------------
// 2. Reading
// ---------------------------------------------------------------------------------------------

// The switch's value as Alpaca's GetSwitchValue reports it, from the caller's copy of the record.
double switch_value(int id, const FilterRecord& record);

// GetSwitch: false at the switch's minimum and true at its maximum, as ISwitchV3 asks; between
// them true when the value is away from its resting value (a wing shift or a status other than 0,
// a reading above its minimum).
bool switch_state(int id, const FilterRecord& record);

// ---------------------------------------------------------------------------------------------
// 3. Writing
// ---------------------------------------------------------------------------------------------

// The job that sets a writable switch to value, which must lie within the switch's range: the
// same bytes SolvaneControl's menus send (SH0/SH1, SL1/SL0, SE with the tenths cut toward zero,
// then one status poll). A value between two steps of a two-state switch goes to the nearer one.
// The job's edit puts into the record what the filter is told, so the wing shift reads back as
// the tenths that were sent (0.25 reads 0.2), as Alpaca wants a switch set to an achievable value.
LineJob switch_write_job(int id, double value);

// ---------------------------------------------------------------------------------------------
// 4. Names
// ---------------------------------------------------------------------------------------------

// The switch's name and description with the filter's label, or "filter N" before a filter has
// answered (slot counts from 0). The status switch's description is the status text.
std::string switch_name(int id, const FilterRecord& record, int slot);
std::string switch_description(int id, const FilterRecord& record, int slot);
