// One run of the console tool: time stamp, one action per filter, the optional wait for on band,
// closing the ports, exit status.
#include "command/console.h"

#include "link/filter_policy.h"
#include "link/filter_settings.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

const char USAGE_ACTIONS[] =
    "- Action can be: (multiple actions per filter not permitted)\n"
    "    STATUS      : Print status of filter\n"
    "    SLEEP       : Turn filter heater off\n"
    "    WAKE        : Wake up filter from sleep (turn heater back on)\n"
    "    -1.0 to 1.0 : Set wing shift to this value (angstroms)\n"
    "- Specifying a WAIT time will cause the program to wait for filter(s)\n"
    "to go on band before returning, in case of one or more WAKE or wing\n"
    "shift actions.  The WAIT value is a timeout after which the program\n"
    "will return regardless of on-band status. Recommended WAIT time is 15\n"
    "minutes (WAIT=900).  Values from 0 to 3600 seconds, in increments of\n"
    "10 seconds can be specified.\n"
    "\n"
    "Examples:\n"
    "\n"
    "Print the status of the filter connected to COM1:\n"
    "SolvaneCommand COM1=STATUS\n"
    "\n"
    "Change COM1 to +0.2 wing shift, return program control immediately:\n"
    "SolvaneCommand COM2=0.2\n"
    "\n"
    "Change COM1 to +0.2 wing shift, don't return until it settles at +0.2\n"
    "or 900 seconds (15 minutes) have elapsed:\n"
    "SolvaneCommand COM2=0.2 WAIT=900\n"
    "\n"
    "Turn heaters off (end of observing session):\n"
    "SolvaneCommand COM1=SLEEP COM2=SLEEP COM4=SLEEP COM7=SLEEP\n"
    "\n"
    "Turn heaters on (start of observing session), wait until all on band:\n"
    "SolvaneCommand COM1=WAKE COM2=WAKE COM4=WAKE COM7=WAKE WAIT=900\n";

}  // namespace

std::string console_usage()
{
    const std::string last = "PORT" + std::to_string(SLOT_COUNT);
    return "SolvaneCommand Beta v0.1\n"
           "\n"
           "Usage:\n"
           "SolvaneCommand [PORT1=action] ... [" + last + "=action] [WAIT=seconds]\n"
           "\n"
           "- PORT1-" + last + " are serial COM port names (e.g. COM1, COM2, etc.)\n"
           "- Up to " + SLOT_COUNT_WORD + " filters can be controlled on one line.\n" + USAGE_ACTIONS;
}

std::string console_version() { return std::string("SolvaneCommand ") + SOLVANE_VERSION + "\n"; }

namespace {

constexpr int WAIT_PASS_PAUSE_S = 10;

// --help, -h or --version among the arguments, as typed: into text the answer a console tool
// gives them. Returns false when none is there.
bool informational_answer(int argc, const char* const* argv, std::string& text)
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") text = console_usage();
        else if (word == "--version") text = console_version();
        else continue;
        return true;
    }
    return false;
}

struct SettingAction {
    ConsoleAction action;
    const char* success;
    const char* failure;
};

constexpr SettingAction SETTING_MESSAGES[] = {
    {ACTION_SLEEP, "%s: Sleep successful.\n\n", "%s: Sleep failed.\n\n"},
    {ACTION_WAKE, "%s: Wake successful.\n\n", "%s: Wake failed.\n\n"},
    {ACTION_SET_SHIFT, "%s: Set shift successful.\n\n", "%s: Set shift failed.\n\n"},
};

}  // namespace

char* console_setting_command(const ConsoleSlot& slot, char out[COMMAND_BUFFER_SIZE])
{
    if (slot.action == ACTION_SET_SHIFT) return setting_command(out, SETTING_WING_SHIFT, slot.shift);
    return setting_command(out, SETTING_SLEEP, slot.action == ACTION_SLEEP ? 1 : 0);
}

namespace {

void print_time_stamp(std::FILE* out)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::fprintf(out, "%04d/%02d/%02d %02d:%02d:%02d\n\n", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

void run_setting(ConsoleSlot& slot, std::FILE* out)
{
    const int acknowledged = console_send_setting(slot);
    for (const SettingAction& row : SETTING_MESSAGES)
        if (row.action == slot.action)
            std::fprintf(out, acknowledged ? row.success : row.failure, slot.filter.port_name);
}

void run_status(ConsoleSlot& slot, ConsoleRun& run, std::FILE* out)
{
    FilterRecord& f = slot.filter;
    console_read_status(slot);
    char text[STATUS_TEXT_SIZE];
    std::fprintf(out, "%s: %s\nBW/Series: %s/%s\nNom: %.1f\nTarget: %.1f\nCurrent: %.1f\n\n",
                 f.port_name, status_text(f, text), f.bandwidth_text, f.edition_text,
                 f.center_wavelength, f.center_wavelength + f.wing_shift, f.wavelength);
    if (f.status_code != 0 || f.on_band != 1) run.exit_status = 1;
}

bool waits_for_band(const ConsoleSlot& slot)
{
    return slot.action == ACTION_WAKE || slot.action == ACTION_SET_SHIFT;
}

// Returns 1 when every woken or shifted filter was on band in the last pass, 0 when the time ran
// out first.
int wait_for_band(ConsoleRun& run)
{
    const std::time_t started = std::time(nullptr);
    while (true) {
        bool all_on_band = true;
        for (int i = 0; i < run.filter_count; ++i) {
            ConsoleSlot& slot = run.slots[i];
            if (!waits_for_band(slot)) continue;
            console_poll(slot);
            if (slot.filter.on_band != 1) all_on_band = false;
        }
        if (all_on_band) return 1;
        std::this_thread::sleep_for(std::chrono::seconds(WAIT_PASS_PAUSE_S));
        if (std::time(nullptr) - started >= run.wait_seconds) return 0;
    }
}

// Why a port did not open, after the tool's own line: the system's reason and what to do.
void tell_open_failure(const ConsoleSlot& slot, std::FILE* err)
{
    if (slot.name_too_long) {
        std::fprintf(err, "%s: a port name has at most %d characters\n", slot.filter.port_name, PORT_NAME_SIZE - 1);
        return;
    }
    if (slot.served)
        std::fprintf(err, "%s\n", slot.open_failure.c_str());
    else
        std::fprintf(err, "%s: %s\n", slot.filter.port_name, port_error_text(serial_last_error()).c_str());
}

}  // namespace

int run_console_tool(int argc, const char* const* argv, std::FILE* out, std::FILE* err)
{
    if (argc < 2) {
        std::fputs(console_usage().c_str(), out);
        return 1;
    }
    std::string answer;
    if (informational_answer(argc, argv, answer)) {
        std::fputs(answer.c_str(), out);
        return 0;
    }
    ConsoleRun run;
    parse_command_line(argc, argv, run);
    print_time_stamp(out);
    std::fflush(out);
    for (const std::string& line : run.ignored) std::fprintf(err, "SolvaneCommand: %s\n", line.c_str());
    if (!run.ignored.empty()) run.exit_status = 1;

    for (int i = 0; i < run.filter_count; ++i) {
        ConsoleSlot& slot = run.slots[i];
        FilterRecord& f = slot.filter;
        // A name longer than the field is never cut into the name of another port.
        if (slot.name_too_long || !console_open(slot)) {
            std::fprintf(out, "%s: Could not connect to serial port.\n", f.port_name);
            std::fflush(out);
            tell_open_failure(slot, err);
            run.exit_status = 1;
        } else if (slot.action == ACTION_STATUS) {
            run_status(slot, run, out);
        } else {
            run_setting(slot, out);
        }
        std::fflush(out);
    }

    if (run.wait_seconds > 0 && !wait_for_band(run)) {
        // The time ran out: a script must not take that for "on band".
        for (int i = 0; i < run.filter_count; ++i) {
            const ConsoleSlot& slot = run.slots[i];
            if (waits_for_band(slot) && slot.filter.on_band != 1)
                std::fprintf(err, "SolvaneCommand: %s: not on band when the wait of %d s ran out\n",
                             slot.filter.port_name, run.wait_seconds);
        }
        run.exit_status = 1;
    }

    for (int i = 0; i < run.filter_count; ++i) console_close(run.slots[i]);
    return run.exit_status;
}
