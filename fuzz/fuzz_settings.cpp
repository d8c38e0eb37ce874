// Fuzz target: any bytes as solvane.ini. The reader must keep every field in bounds, and what it
// read must write out and read back to the same file.
#include "link/settings_file.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    SettingsFile settings;
    parse_settings_bytes(std::string(reinterpret_cast<const char*>(data), size), settings);
    if (settings.update_interval_index < 0 || settings.update_interval_index > 2) __builtin_trap();
    for (const SlotSettings& slot : settings.per_slot)
        if (std::strlen(slot.port_name) > PORT_NAME_SIZE - 1) __builtin_trap();
    if (settings.placement.show_command == SHOW_MINIMIZED && settings.placement_valid) __builtin_trap();

    // Written once, the file reads back to itself.
    const std::string written = settings_file_bytes(settings);
    SettingsFile again;
    if (!parse_settings_bytes(written, again)) __builtin_trap();
    if (settings_file_bytes(again) != written) __builtin_trap();
    return 0;
}
