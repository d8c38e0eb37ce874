// The switches of a filter; see switches.h.
#include "alpaca/switches.h"

#include "spectral/spectral.h"
#include "link/filter_policy.h"
#include "link/filter_settings.h"

#include <array>
#include <cmath>
#include <cstring>

namespace {

// Ranges wide enough for every filter the firmware knows; a reading outside them is still
// reported as it is (a client sees the filter's own number, not a clipped one).
const std::array<SwitchRow, SWITCH_COUNT> SWITCHES = {{
    {"Heater", "on wakes the filter, off puts it to sleep", 0, 1, 1, 1},
    {"Wing shift", "Angstrom into the red (+) or blue (-) wing of the line, in tenths", -WING_SHIFT_LIMIT,
     WING_SHIFT_LIMIT, 0.1, 1},
    {"Front panel lock", "on locks out the buttons on the filter itself", 0, 1, 1, 1},
    {"On band", "the passband has settled on its target", 0, 1, 1, 0},
    {"Current wavelength", "centre of the passband now, Angstrom", 1000, 12000, 0.01, 0},
    {"Target wavelength", "the line plus the wing shift, Angstrom", 1000, 12000, 0.01, 0},
    {"Temperature", "of the tuning element, degrees Celsius", -100, 200, 0.01, 0},
    {"Heater power", "percent of the heater's duty cycle", 0, 100, 0.1, 0},
    {"Status", "", 0, STATUS_NO_COMMUNICATION, 1, 0},
}};

}  // namespace

const SwitchRow& switch_row(int id) { return SWITCHES[static_cast<size_t>(id)]; }

namespace {

// A reading to its switch's step (hundredths, tenths), so a client shows 3933.4 rather than the
// 3933.3999999999996 of a sum in binary floating point.
double to_step(double value, double per_unit) { return std::round(value * per_unit) / per_unit; }

}  // namespace

double switch_value(int id, const FilterRecord& r)
{
    switch (id) {
    case SWITCH_HEATER: return r.sleeping ? 0 : 1;
    case SWITCH_WING_SHIFT: return r.wing_shift;
    case SWITCH_PANEL_LOCK: return r.panel_locked ? 1 : 0;
    case SWITCH_ON_BAND: return classify_status(r) == CONDITION_ON_BAND ? 1 : 0;
    case SWITCH_CURRENT_WAVELENGTH: return to_step(r.wavelength, 100);
    case SWITCH_TARGET_WAVELENGTH: return to_step(r.center_wavelength + r.wing_shift, 100);
    case SWITCH_TEMPERATURE: return to_step(fahrenheit_to_celsius(r.temperature), 100);
    case SWITCH_HEATER_POWER: return to_step(r.heater_power, 10);
    case SWITCH_STATUS: return r.status_code;
    default: return 0;
    }
}

bool switch_state(int id, const FilterRecord& r)
{
    // ISwitchV3: false at the minimum, true at the maximum; between them the driver chooses.
    const double value = switch_value(id, r);
    const SwitchRow& row = switch_row(id);
    if (value <= row.min) return false;
    if (value >= row.max) return true;
    if (id == SWITCH_WING_SHIFT || id == SWITCH_STATUS) return value != 0;
    return true;
}

LineJob switch_write_job(int id, double value)
{
    switch (id) {
    case SWITCH_HEATER: return setting_job(SETTING_SLEEP, value >= 0.5 ? 0 : 1);  // the heater on is awake
    case SWITCH_PANEL_LOCK: return setting_job(SETTING_PANEL_LOCK, value);
    case SWITCH_WING_SHIFT: return setting_job(SETTING_WING_SHIFT, value);
    default: return simple_job(JOB_POLL_STATUS);  // read-only switches are refused before this
    }
}

namespace {

std::string label_or_slot(const FilterRecord& r, int slot)
{
    std::string label = filter_label(r);
    return label.empty() ? "filter " + std::to_string(slot + 1) : label;
}

}  // namespace

std::string switch_name(int id, const FilterRecord& r, int slot)
{
    return std::string(switch_row(id).name) + " (" + label_or_slot(r, slot) + ")";
}

std::string switch_description(int id, const FilterRecord& r, int slot)
{
    if (id == SWITCH_STATUS) {
        char text[STATUS_TEXT_SIZE];
        return std::string(status_text(r, text)) + " (" + label_or_slot(r, slot) + ")";
    }
    return std::string(switch_row(id).name) + " of " + label_or_slot(r, slot) + ": " + switch_row(id).description;
}
