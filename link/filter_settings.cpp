// The settings table; see filter_settings.h.
#include "link/filter_settings.h"

#include "link/filter_policy.h"

#include <array>
#include <cstdio>
#include <strings.h>

namespace {

// Rows in FilterSetting order (checked below). The filter acknowledges each with "OK".
constexpr std::array<SettingRow, SETTING_COUNT> SETTINGS = {{
    {SETTING_SLEEP, "sleep", "SH", ARGUMENT_TWO_STATE, &FilterRecord::sleeping, nullptr, 0, 1, 0},
    {SETTING_PANEL_LOCK, "panellock", "SL", ARGUMENT_TWO_STATE, &FilterRecord::panel_locked, nullptr, 0, 1, 0},
    {SETTING_DISPLAY_MODE, "displaymode", "SD", ARGUMENT_TWO_STATE, &FilterRecord::display_mode, nullptr, 0, 1, 0},
    {SETTING_UNITS, "units", "SU", ARGUMENT_TWO_STATE, &FilterRecord::units, nullptr, 0, 1, 0},
    {SETTING_WING_SHIFT, "wingshift", "SE", ARGUMENT_TENTHS, nullptr, &FilterRecord::wing_shift, -WING_SHIFT_LIMIT,
     WING_SHIFT_LIMIT, 1},
}};

constexpr bool rows_in_order()
{
    for (int k = 0; k < SETTING_COUNT; ++k)
        if (SETTINGS[static_cast<size_t>(k)].setting != k) return false;
    return true;
}
static_assert(rows_in_order(), "the settings table is indexed by FilterSetting");

}  // namespace

const SettingRow& setting_row(FilterSetting setting) { return SETTINGS[static_cast<size_t>(setting)]; }

const SettingRow* find_setting(const char* name)
{
    if (name == nullptr) return nullptr;
    for (const SettingRow& row : SETTINGS)
        if (strcasecmp(row.name, name) == 0) return &row;
    return nullptr;
}

int setting_argument(FilterSetting setting, double value)
{
    if (setting_row(setting).argument == ARGUMENT_TENTHS) return wing_shift_argument(value);
    return value >= 0.5 ? 1 : 0;
}

double setting_told_value(FilterSetting setting, double value)
{
    const int argument = setting_argument(setting, value);
    return setting_row(setting).argument == ARGUMENT_TENTHS ? argument / 10.0 : argument;
}

void apply_setting(FilterRecord& record, FilterSetting setting, double value)
{
    const SettingRow& row = setting_row(setting);
    const double told = setting_told_value(setting, value);
    if (row.flag != nullptr) record.*row.flag = static_cast<int>(told);
    if (row.amount != nullptr) record.*row.amount = told;
}

char* setting_command(char out[COMMAND_BUFFER_SIZE], FilterSetting setting, double value)
{
    std::snprintf(out, COMMAND_BUFFER_SIZE, "%s%d\n", setting_row(setting).prefix, setting_argument(setting, value));
    return out;
}

LineJob setting_job(FilterSetting setting, double value, SettingPoll poll)
{
    const SettingRow& row = setting_row(setting);
    char command[COMMAND_BUFFER_SIZE];
    const int poll_after = poll == POLL_ALWAYS ? 1 : poll == POLL_NEVER ? 0 : row.poll_after;
    return command_job(setting_command(command, setting, value), poll_after,
                       LineEdit{setting, setting_told_value(setting, value)});
}
