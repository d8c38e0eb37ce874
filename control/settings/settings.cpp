// solvane.ini in the window; see settings.h.
#include "control/settings/settings.h"

#include "control/state/slot_lines.h"

SettingsFile window_settings()
{
    SettingsFile settings;
    for (int n = 0; n < SLOT_COUNT; ++n) {
        const FilterRecord& slot = filter_slots()[n];
        copy_text(settings.per_slot[n].port_name, PORT_NAME_SIZE, slot.port_name, PORT_NAME_SIZE - 1);
        settings.per_slot[n].zoom_span = slot.zoom_span;
    }
    settings.full_display = app().full_display;
    settings.log_enabled = app().log_enabled;
    settings.update_interval_index = app().update_interval_index;
    settings.placement = app().placement;
    settings.placement_valid = app().placement_valid;
    return settings;
}

void apply_settings(const SettingsFile& settings)
{
    for (int n = 0; n < SLOT_COUNT; ++n) {
        FilterRecord& slot = filter_slots()[n];
        copy_text(slot.port_name, PORT_NAME_SIZE, settings.per_slot[n].port_name, PORT_NAME_SIZE - 1);
        slot.zoom_span = settings.per_slot[n].zoom_span;
    }
    app().full_display = settings.full_display;
    app().log_enabled = settings.log_enabled;
    app().update_interval_index = settings.update_interval_index;
    app().placement = settings.placement;
    app().placement_valid = settings.placement_valid;
}

int save_settings()
{
    WindowState& state = window_state();
    if (state.keep_settings_file) {
        state.settings_problem = std::string("The settings file ") + SETTINGS_FILE + " in " + settings_directory() +
                                 " could not be read at start, so it was left as it was; the settings of this session are not saved.";
        return 0;
    }
    return write_settings_file(window_settings(), state.settings_problem);
}

int settings_writable() { return settings_file_writable(window_state().settings_problem); }

const std::string& settings_problem() { return window_state().settings_problem; }

void reconnect_slots()
{
    for (int n = 0; n < SLOT_COUNT; ++n) {
        slot_close(n);
        if (connectable_name(filter_slots()[n].port_name)) slot_connect(n, filter_slots()[n].port_name);
    }
}

SettingsFileRead load_settings()
{
    WindowState& state = window_state();
    // What the file does not hold keeps its value: the record starts as the current state.
    SettingsFile settings = window_settings();
    const SettingsFileRead read = read_settings_file(settings, state.settings_problem);
    state.keep_settings_file = read == SETTINGS_UNREADABLE;
    apply_settings(settings);
    app().open_connections_at_start = read != SETTINGS_READ;
    if (read == SETTINGS_READ) reconnect_slots();
    return read;
}
