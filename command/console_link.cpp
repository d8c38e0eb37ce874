// The console form of the filter link: single-attempt exchanges retried by the query, and the
// status read that stands in for the windowed program's identification and read-out.
#include "command/console.h"

#include "link/filter_policy.h"
#include "link/filter_settings.h"

#include <chrono>
#include <thread>

namespace {

constexpr int QUERY_ATTEMPTS = 5;
constexpr int PAUSE_BEFORE_ATTEMPT = 4;
constexpr int QUERY_PAUSE_MS = 2000;

}  // namespace

int console_query(FilterRecord& slot, const char* command, char reply[REPLY_BUFFER_SIZE])
{
    reply[0] = '\0';
    if (slot.connected != 1) return 0;  // nothing to ask, nothing to wait for
    for (int attempt = 1; attempt <= QUERY_ATTEMPTS; ++attempt) {
        if (attempt == PAUSE_BEFORE_ATTEMPT)
            std::this_thread::sleep_for(std::chrono::milliseconds(QUERY_PAUSE_MS));
        reply[0] = '\0';
        if (serial_exchange(slot.connected, slot.port_handle, command, reply, LINK_CONSOLE) > 0) return 1;
    }
    return 0;
}

void console_poll_status(FilterRecord& slot)
{
    char reply[REPLY_BUFFER_SIZE];
    if (!console_query(slot, CMD_STATUS, reply)) {
        slot.status_code = STATUS_NO_COMMUNICATION;
        return;
    }
    // Decoded by the version the line carries, as the windowed program does: a hexadecimal
    // filter read as decimal would report wrong wavelengths.
    apply_status_reply(slot, reply);
}

void read_console_status(FilterRecord& slot)
{
    char reply[REPLY_BUFFER_SIZE];
    console_poll_status(slot);

    console_query(slot, CMD_HEATER_STATE, reply);  // an empty reply reads as 0
    slot.sleeping = decode_reply_value(reply, slot.firmware_version);

    if (console_query(slot, CMD_CENTER_WAVELENGTH, reply))
        slot.center_wavelength = decode_reply_value(reply, slot.firmware_version) / 10.0;
    else
        slot.center_wavelength = 0.0;

    bool answered = console_query(slot, CMD_EDITION, reply);
    cut_text_reply(reply, EDITION_TEXT_SIZE - 1);
    copy_text(slot.edition_text, EDITION_TEXT_SIZE, answered ? reply : "", EDITION_TEXT_SIZE - 1);

    answered = console_query(slot, CMD_BANDWIDTH, reply);
    cut_text_reply(reply, BANDWIDTH_TEXT_SIZE - 1);
    copy_text(slot.bandwidth_text, BANDWIDTH_TEXT_SIZE, answered ? reply : "", BANDWIDTH_TEXT_SIZE - 1);
}

// A served filter through the link's remote jobs, whose serial_error.log records the console tool
// keeps for standard error instead (it writes no file).
int console_open(ConsoleSlot& slot)
{
    FilterRecord& f = slot.filter;
    slot.served = is_remote_port_name(slot.full_name.c_str());
    if (!slot.served) return serial_init(f.connected, f.port_handle, slot.full_name.c_str(), LINK_CONSOLE);
    std::string records;
    LineResult result;
    capture_serial_error_log(&records);
    remote_connect(f, slot.remote, slot.full_name.c_str(), result);
    capture_serial_error_log(nullptr);
    // The record's reason: its last line, without the time stamp before it.
    if (!records.empty() && records.back() == '\n') records.pop_back();
    slot.open_failure = records.substr(records.rfind('\n') + 1);
    f.connected = result.answered;
    return f.connected;
}

void console_poll(ConsoleSlot& slot)
{
    if (!slot.served) {
        console_poll_status(slot.filter);
        return;
    }
    std::string records;  // the tool writes no file
    LineResult result;
    capture_serial_error_log(&records);
    remote_update(slot.filter, slot.remote, 0, result);
    capture_serial_error_log(nullptr);
}

void console_read_status(ConsoleSlot& slot)
{
    if (slot.served)
        console_poll(slot);
    else
        read_console_status(slot.filter);
}

int console_send_setting(ConsoleSlot& slot)
{
    char command[COMMAND_BUFFER_SIZE];
    char reply[REPLY_BUFFER_SIZE];
    if (!slot.served) {
        console_query(slot.filter, console_setting_command(slot, command), reply);
        return setting_acknowledged(reply);
    }
    const LineJob job = slot.action == ACTION_SET_SHIFT ? setting_job(SETTING_WING_SHIFT, slot.shift, POLL_NEVER)
                                                        : setting_job(SETTING_SLEEP, slot.action == ACTION_SLEEP, POLL_NEVER);
    LineResult result;
    remote_command(slot.filter, slot.remote, job, result);
    return result.acknowledged;
}

void console_close(ConsoleSlot& slot)
{
    if (!slot.served) {
        serial_close(slot.filter.connected, slot.filter.port_handle);
        return;
    }
    LineResult result;
    remote_close(slot.filter, slot.remote, result);
}
