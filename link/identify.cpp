// Identification of a filter on an open port, the read-out of its parameters, and connect_slot.
//
// A port that opens is not yet a filter: a modem, a GPS or nothing at all may sit on it. The
// status line and the "GA" value together tell a filter from other devices; when they do not,
// serial_error.log records exactly what the device said, so the observer can see why.
#include "link/solvane_link.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int QUERY_TRIES = 2;

// A device whose raw supply voltage is outside these bounds (hundredths of a volt, both ends
// excluded) is not taken for a filter.
constexpr double IDENTIFY_VOLTAGE_ABOVE = 900;
constexpr double IDENTIFY_VOLTAGE_BELOW = 3200;
constexpr int STATUS_LINE_FIELDS = 10;

struct QueryRecord {
    char reply[REPLY_BUFFER_SIZE];
    int tries;
    int bytes;
};

int query_twice(FilterRecord& slot, const char* command, QueryRecord& q)
{
    for (q.tries = 1; q.tries <= QUERY_TRIES; ++q.tries) {
        q.reply[0] = '\0';
        q.bytes = serial_exchange(slot.connected, slot.port_handle, command, q.reply);
        if (q.bytes > 0) return 1;
    }
    q.tries = QUERY_TRIES;
    return 0;
}

// Identification stores the status line unscaled where the poll would check: voltage and screw
// stay raw, wavelength and temperature are divided, nothing is range-checked. The poll that
// follows an acceptance replaces them with checked values.
void store_identification_fields(FilterRecord& r, const StatusFields& f)
{
    const int n = f.count;
    if (n >= 1) copy_text(r.firmware_text, FIRMWARE_TEXT_SIZE, f.firmware_text, FIRMWARE_TEXT_SIZE - 1);
    if (n >= 2) r.status_code = f.status_code;
    if (n >= 3) r.on_band = f.on_band;
    if (n >= 4) r.wavelength = f.wavelength / 10;
    if (n >= 6) r.heater_on = f.heater_on;
    if (n >= 7) r.heater_cycle = f.heater_cycle;
    if (n >= 8) r.temperature = f.temperature / 100;
    if (n >= 9) r.supply_voltage = f.supply_voltage;
    if (n >= 10) r.calibration_screw = f.calibration_screw;
}

enum ParameterKind { SCALED, FLAG, TEXT };

struct ParameterRow {
    const char* command;
    ParameterKind kind;
    double FilterRecord::*scaled;
    double divisor;
    int checked;
    double low, high, fallback;   // plausible range, both ends included
    int FilterRecord::*flag;
    char* (*text)(FilterRecord&);
    int text_length;
};

constexpr ParameterRow scaled(const char* command, double FilterRecord::*field, double divisor,
                              int checked = 0, double low = 0, double high = 0, double fallback = 0)
{
    return {command, SCALED, field, divisor, checked, low, high, fallback, nullptr, nullptr, 0};
}

constexpr ParameterRow flag(const char* command, int FilterRecord::*field)
{
    return {command, FLAG, nullptr, 1, 0, 0, 0, 0, field, nullptr, 0};
}

constexpr ParameterRow text(const char* command, char* (*field)(FilterRecord&), int length)
{
    return {command, TEXT, nullptr, 1, 0, 0, 0, 0, nullptr, field, length};
}

// The read-out, in the order the filter is asked.
const ParameterRow PARAMETERS[] = {
    scaled(CMD_CENTER_WAVELENGTH, &FilterRecord::center_wavelength, 10, 1, 1000, 12000, 6562.8),
    flag(CMD_HEATER_STATE, &FilterRecord::sleeping),
    scaled(CMD_CENTER_TEMPERATURE, &FilterRecord::center_temperature, 100, 1, -100, 300, 120),
    text(CMD_MODEL, [](FilterRecord& r) { return r.model_text; }, MESSAGE_TEXT_SIZE - 1),
    text(CMD_EDITION, [](FilterRecord& r) { return r.edition_text; }, EDITION_TEXT_SIZE - 1),
    text(CMD_SERIAL_NUMBER, [](FilterRecord& r) { return r.serial_number_text; }, SERIAL_NUMBER_TEXT_SIZE - 1),
    text(CMD_STARTUP_MESSAGE, [](FilterRecord& r) { return r.startup_message; }, MESSAGE_TEXT_SIZE - 1),
    text(CMD_BANDWIDTH, [](FilterRecord& r) { return r.bandwidth_text; }, BANDWIDTH_TEXT_SIZE - 1),
    flag(CMD_DISPLAY_MODE, &FilterRecord::display_mode),
    flag(CMD_UNITS, &FilterRecord::units),
    flag(CMD_PANEL_LOCK, &FilterRecord::panel_locked),
    scaled(CMD_UNDERSCORE, &FilterRecord::underscore_value, 8, 1, 0, 300, 8),
    scaled(CMD_TEMPERATURE_PER_ANGSTROM, &FilterRecord::temperature_per_angstrom, 100, 1, 0, 100, 17),
};

}  // namespace

void read_filter_parameters(FilterRecord& r)
{
    for (const ParameterRow& row : PARAMETERS) {
        char reply[REPLY_BUFFER_SIZE];
        int bytes = serial_exchange(r.connected, r.port_handle, row.command, reply);
        if (row.kind == TEXT) {
            cut_text_reply(reply, row.text_length);
            copy_text(row.text(r), row.text_length + 1, bytes > 0 ? reply : "", row.text_length);
            continue;
        }
        std::int32_t value = bytes > 0 ? decode_reply_value(reply, r.firmware_version) : 0;
        if (row.kind == FLAG) {
            r.*row.flag = value;
            continue;
        }
        double scaled_value = value / row.divisor;
        if (row.checked && !(scaled_value >= row.low && scaled_value <= row.high)) {
            scaled_value = row.fallback;
            r.status_code = STATUS_BAD_CONNECTION;
        }
        r.*row.scaled = scaled_value;
    }
}

namespace {

// What the device said, for the caller who asked.
void report_answer(DeviceAnswer* said, const QueryRecord& status, const QueryRecord* check)
{
    if (said == nullptr) return;
    *said = DeviceAnswer{};
    copy_text(said->status_reply, REPLY_BUFFER_SIZE, status.reply, REPLY_MAX);
    said->status_tries = status.tries;
    said->status_bytes = status.bytes;
    if (check == nullptr) return;
    copy_text(said->check_reply, REPLY_BUFFER_SIZE, check->reply, REPLY_MAX);
    said->check_tries = check->tries;
    said->check_bytes = check->bytes;
}

}  // namespace

int identify_filter(FilterRecord& r, int* answered, DeviceAnswer* said)
{
    QueryRecord status;
    const int replied = query_twice(r, CMD_STATUS, status);
    if (answered != nullptr) *answered = replied;
    report_answer(said, status, nullptr);
    if (!replied) {
        std::string record = std::string("Port ") + r.opened_port_name +
                             " opened OK, Solvane did not respond to query. Cable problem?\n";
        append_serial_error_log(record.c_str());
        return 0;
    }

    r.firmware_text[0] = '\0';
    r.firmware_version = read_firmware_version(status.reply, r.firmware_version);
    StatusFields fields;
    decode_status_line(status.reply, is_hex_firmware(r.firmware_version), fields);
    store_identification_fields(r, fields);

    QueryRecord check;
    r.ga_value = query_twice(r, CMD_IDENTIFY_CHECK, check) ? decode_reply_value(check.reply, r.firmware_version) : 0;
    report_answer(said, status, &check);

    const bool accepted = fields.count == STATUS_LINE_FIELDS && r.firmware_text[0] == 'v' &&
                          fields.supply_voltage > IDENTIFY_VOLTAGE_ABOVE &&
                          fields.supply_voltage < IDENTIFY_VOLTAGE_BELOW && r.ga_value != 1;
    if (accepted) {
        read_filter_parameters(r);
        poll_filter_status(r);
        poll_filter_age(r);
        return 1;
    }

    char counts[64];
    std::string record = std::string("Port ") + r.opened_port_name +
                         " opened OK, Solvane did not respond correctly. Maybe this isn't a Solvane.\n";
    std::snprintf(counts, sizeof counts, "It said: %d/%d>", status.tries, status.bytes);
    record += counts;
    record += status.reply;
    std::snprintf(counts, sizeof counts, "<\nThen: %d/%d>", check.tries, check.bytes);
    record += counts;
    record += check.reply;
    record += "<\n";
    append_serial_error_log(record.c_str());
    return 0;
}

int connect_slot(FilterRecord& r, const char* port_name, ConnectFailure* why, DeviceAnswer* said)
{
    if (said != nullptr) *said = DeviceAnswer{};
    int opened = serial_init(r.connected, r.port_handle, port_name);
    copy_text(r.opened_port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    ConnectFailure failure = opened ? CONNECT_OK : CONNECT_PORT_FAILED;
    int answered = 0;
    if (opened && !identify_filter(r, &answered, said)) {
        serial_close(r.connected, r.port_handle);
        failure = serial_aborted() ? CONNECT_CANCELLED : answered ? CONNECT_NOT_A_FILTER : CONNECT_SILENT;
    }
    if (why != nullptr) *why = failure;
    return r.connected;
}
