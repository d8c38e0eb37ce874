// Fuzz target: any bytes as solvane.ini. The reader must keep every field in bounds, and what it
// read must write out and read back to the same file.
#include "control/settings/settings.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    reset_app_state();
    parse_settings_bytes(std::string(reinterpret_cast<const char*>(data), size));
    if (app.update_interval_index < 0 || app.update_interval_index > 2) __builtin_trap();
    for (const FilterRecord& slot : filter_slots)
        if (std::strlen(slot.port_name) > PORT_NAME_SIZE - 1) __builtin_trap();
    if (app.placement.show_command == SHOW_MINIMIZED && app.placement_valid) __builtin_trap();

    // Written once, the file reads back to itself.
    const std::string written = settings_file_bytes();
    reset_app_state();
    if (!parse_settings_bytes(written)) __builtin_trap();
    if (settings_file_bytes() != written) __builtin_trap();
    return 0;
}
