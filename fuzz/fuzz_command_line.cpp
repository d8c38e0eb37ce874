// Fuzz target: the console tool's arguments, one per zero byte of the input.
#include "command/console.h"
#include "link/filter_settings.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    std::vector<std::string> words(1, "SolvaneCommand");
    std::string word;
    for (size_t i = 0; i < size && words.size() < 24; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());

    ConsoleRun run;
    parse_command_line(static_cast<int>(argv.size()), argv.data(), run);
    if (run.filter_count < 0 || run.filter_count > CONSOLE_MAX_FILTERS) __builtin_trap();
    if (run.wait_seconds < 0 || run.wait_seconds > WAIT_SECONDS_MAX) __builtin_trap();
    for (int i = 0; i < run.filter_count; ++i) {
        const ConsoleSlot& slot = run.slots[i];
        if (std::strlen(slot.filter.port_name) > PORT_NAME_SIZE - 1) __builtin_trap();
        if (slot.action == ACTION_SET_SHIFT && !(slot.shift >= -1.0 && slot.shift <= 1.0)) __builtin_trap();
        int tenths = setting_argument(SETTING_WING_SHIFT, slot.shift);
        if (tenths < -10 || tenths > 10) __builtin_trap();
    }
    return 0;
}
