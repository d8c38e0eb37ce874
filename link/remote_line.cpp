// The record as JSON and a line's jobs through solvane-alpaca; see remote_link.h.
//
// One table names every field that crosses the network, so the server's writer and the client's
// reader cannot drift apart. Numbers are written and read with to_chars and from_chars: the
// shortest text that reads back bit for bit, whatever the process's locale (Qt programs take the
// user's, where a decimal comma would break JSON).
#include "link/remote_link.h"

#include "link/filter_policy.h"
#include "link/filter_settings.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace {

enum FieldKind { FIELD_INT, FIELD_DOUBLE, FIELD_TEXT };

struct RecordField {
    const char* name;
    FieldKind kind;
    size_t offset;
    int size;  // FIELD_TEXT: the field's bytes, the zero byte included
};

static_assert(std::is_standard_layout_v<FilterRecord>, "record fields are named by their offsets");
static_assert(std::is_same_v<FilterStatusCode, int>, "the status code is written as an int");

#define INT_FIELD(name, member) {name, FIELD_INT, offsetof(FilterRecord, member), 0}
#define DOUBLE_FIELD(name, member) {name, FIELD_DOUBLE, offsetof(FilterRecord, member), 0}
#define TEXT_FIELD(name, member) {name, FIELD_TEXT, offsetof(FilterRecord, member), int(sizeof(FilterRecord::member))}

// Everything the window, its status dialog and the bandpass log show. Not sent: the caller's own
// slot, port and zoom, the descriptor, and the server's count of polls since the last age poll.
constexpr RecordField FIELDS[] = {
    INT_FIELD("connected", connected),
    INT_FIELD("status_code", status_code),
    TEXT_FIELD("model", model_text),
    TEXT_FIELD("edition", edition_text),
    TEXT_FIELD("serial_number", serial_number_text),
    TEXT_FIELD("firmware", firmware_text),
    DOUBLE_FIELD("firmware_version", firmware_version),
    TEXT_FIELD("startup_message", startup_message),
    TEXT_FIELD("bandwidth", bandwidth_text),
    INT_FIELD("ga_value", ga_value),
    DOUBLE_FIELD("center_wavelength", center_wavelength),
    DOUBLE_FIELD("wavelength", wavelength),
    DOUBLE_FIELD("wing_shift", wing_shift),
    INT_FIELD("on_band", on_band),
    INT_FIELD("sleeping", sleeping),
    INT_FIELD("panel_locked", panel_locked),
    INT_FIELD("display_mode", display_mode),
    INT_FIELD("units", units),
    DOUBLE_FIELD("temperature", temperature),
    DOUBLE_FIELD("center_temperature", center_temperature),
    DOUBLE_FIELD("temperature_per_angstrom", temperature_per_angstrom),
    DOUBLE_FIELD("supply_voltage", supply_voltage),
    DOUBLE_FIELD("calibration_screw", calibration_screw),
    DOUBLE_FIELD("underscore_value", underscore_value),
    INT_FIELD("heater_on", heater_on),
    INT_FIELD("heater_cycle", heater_cycle),
    DOUBLE_FIELD("heater_power", heater_power),
    INT_FIELD("age_minutes_total", age_minutes_total),
    INT_FIELD("age_years", age_years),
    INT_FIELD("age_months", age_months),
    INT_FIELD("age_days", age_days),
    INT_FIELD("age_hours", age_hours),
    INT_FIELD("age_minutes", age_minutes),
};

#undef INT_FIELD
#undef DOUBLE_FIELD
#undef TEXT_FIELD

void put_json_string(std::string& out, const std::string& utf8)
{
    out += '"';
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

std::string number_text(double value)
{
    if (!std::isfinite(value)) return "0";  // JSON has no such number; the link never keeps one
    char text[32];
    const auto done = std::to_chars(text, text + sizeof text, value);
    return std::string(text, done.ptr);
}

template <typename T>
T& field_at(FilterRecord& record, const RecordField& f)
{
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(&record) + f.offset);
}

template <typename T>
const T& field_at(const FilterRecord& record, const RecordField& f)
{
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(&record) + f.offset);
}

// Reads a member into its field. 0 when the text does not fit the field's kind.
int read_field(FilterRecord& record, const RecordField& f, const JsonMember& m)
{
    const char* first = m.value.data();
    const char* last = first + m.value.size();
    if (f.kind == FIELD_TEXT) {
        if (!m.is_string) return 0;
        const std::string bytes = utf8_to_latin1(m.value);
        copy_text(&field_at<char>(record, f), f.size, bytes.c_str(), f.size - 1);
        return 1;
    }
    if (m.is_string) return 0;
    if (f.kind == FIELD_INT) {
        int value = 0;
        const auto done = std::from_chars(first, last, value);
        if (done.ec != std::errc() || done.ptr != last) return 0;
        field_at<int>(record, f) = value;
        return 1;
    }
    double value = 0;
    const auto done = std::from_chars(first, last, value);
    if (done.ec != std::errc() || done.ptr != last || !std::isfinite(value)) return 0;
    field_at<double>(record, f) = value;
    return 1;
}

}  // namespace

std::string record_json(const FilterRecord& record)
{
    char status[STATUS_TEXT_SIZE];
    std::string out = "{\"format\":" + std::to_string(RECORD_FORMAT_VERSION) + ",\"status\":";
    put_json_string(out, latin1_to_utf8(status_text(record, status)));
    out += ",\"condition\":";
    put_json_string(out, condition_row(classify_status(record)).name);
    for (const RecordField& f : FIELDS) {
        out += ",\"";
        out += f.name;
        out += "\":";
        if (f.kind == FIELD_TEXT)
            put_json_string(out, latin1_to_utf8(&field_at<char>(record, f)));
        else if (f.kind == FIELD_INT)
            out += std::to_string(field_at<int>(record, f));
        else
            out += number_text(field_at<double>(record, f));
    }
    return out + "}";
}

int read_record_json(const std::string& text, FilterRecord& record)
{
    std::vector<JsonMember> members;
    if (!read_flat_json(text, members)) return 0;
    const JsonMember* format = json_member(members, "format");
    if (format == nullptr || format->value != std::to_string(RECORD_FORMAT_VERSION)) return 0;
    FilterRecord read = record;
    for (const RecordField& f : FIELDS) {
        const JsonMember* m = json_member(members, f.name);
        if (m == nullptr || !read_field(read, f, *m)) return 0;
    }
    record = read;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Jobs
// ---------------------------------------------------------------------------------------------

namespace {

// An Alpaca answer, or why there was none, in words for serial_error.log.
struct AlpacaReply {
    int reached = 0;   // the server answered over HTTP
    int ok = 0;        // HTTP 200 and ErrorNumber 0
    HttpAnswer http;
    std::string value;
    std::string why;   // empty when ok, or when the job was cut short
};

std::string unreachable_reason(const RemoteAddress& a, const HttpAnswer& http, int timeout_ms)
{
    switch (http.failure) {
    case HTTP_NO_ADDRESS: return std::string("the host name ") + a.host + " did not resolve";
    case HTTP_UNREACHABLE: return "the server could not be reached: " + socket_error_text(http.error);
    case HTTP_TIMED_OUT: return "the server did not answer within " + std::to_string(timeout_ms / 1000) + " s";
    case HTTP_MALFORMED: return "the server's answer is no HTTP answer";
    case HTTP_CUT_SHORT:
    case HTTP_DONE: break;
    }
    return "";
}

// Reads an Alpaca envelope out of an HTTP answer.
void read_envelope(AlpacaReply& reply)
{
    if (reply.http.status != 200) {
        reply.why = "the server answered HTTP " + std::to_string(reply.http.status) + ": " +
                    printable_text(reply.http.body.substr(0, reply.http.body.find('\n')), 120);
        return;
    }
    std::vector<JsonMember> members;
    const JsonMember* number = nullptr;
    if (!read_flat_json(reply.http.body, members) || (number = json_member(members, "ErrorNumber")) == nullptr) {
        reply.why = "the server's answer is no Alpaca answer";
        return;
    }
    const JsonMember* value = json_member(members, "Value");
    if (value != nullptr) reply.value = value->value;
    if (number->value == "0") {
        reply.ok = 1;
        return;
    }
    const JsonMember* message = json_member(members, "ErrorMessage");
    reply.why = "the server reports error " + number->value + ": " +
                printable_text(message != nullptr ? message->value : "", 160);
}

int alpaca_put(const RemoteAddress& a, const char* member, const std::string& form, int timeout_ms, AlpacaReply& reply)
{
    reply = AlpacaReply{};
    const std::string path = "/api/v1/switch/" + std::to_string(a.device) + "/" + member;
    reply.reached = http_request(a, "PUT", path, form, timeout_ms, reply.http);
    if (!reply.reached)
        reply.why = unreachable_reason(a, reply.http, timeout_ms);
    else
        read_envelope(reply);
    return reply.ok;
}

// The server's record of the device into served. interval_ms above 0 asks the server to keep it.
int fetch_record(const RemoteAddress& a, int interval_ms, FilterRecord& served, AlpacaReply& reply)
{
    std::string form = "Action=record&Parameters=";
    if (interval_ms > 0) form += std::to_string(interval_ms);
    if (!alpaca_put(a, "action", form, REMOTE_TIMEOUT_MS, reply)) return 0;
    if (read_record_json(reply.value, served)) return 1;
    reply.ok = 0;
    reply.why = "the server's record is of another format or unreadable (this program reads format " +
                std::to_string(RECORD_FORMAT_VERSION) + ")";
    return 0;
}

int connect_device(const RemoteAddress& a, AlpacaReply& reply)
{
    return alpaca_put(a, "connected", "Connected=true", REMOTE_CONNECT_TIMEOUT_MS, reply);
}

// Takes the server's record in; the slot's link stays as this line holds it.
void take_served(FilterRecord& record, const FilterRecord& served)
{
    const int connected = record.connected;
    char opened[PORT_NAME_SIZE];
    std::memcpy(opened, record.opened_port_name, sizeof opened);
    const int poll_count = record.poll_count;
    merge_line_record(record, served);
    record.connected = connected;
    record.poll_count = poll_count;
    std::memcpy(record.opened_port_name, opened, sizeof opened);
}

void log_remote(const char* port_name, const std::string& why)
{
    const std::string record = std::string(port_name) + ": " + why + ".\n";
    append_serial_error_log(record.c_str());
}

// A connection refused by a server that answered, or by one that was not reached, as a port error.
PortError remote_port_error(const AlpacaReply& reply)
{
    PortError e;
    e.failure = PORT_OPEN_FAILED;
    if (reply.reached) e.error = ENODEV;
    else if (reply.http.failure == HTTP_TIMED_OUT) e.error = ETIMEDOUT;
    else if (reply.http.failure == HTTP_NO_ADDRESS) e.error = EHOSTUNREACH;
    else e.error = reply.http.error != 0 ? reply.http.error : ECONNREFUSED;
    return e;
}

}  // namespace

void remote_connect(FilterRecord& record, RemoteLine& line, const char* port_name, LineResult& result)
{
    copy_text(record.opened_port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    line = RemoteLine{};
    RemoteAddress a;
    if (!parse_remote_name(port_name, a)) {
        result.failure = CONNECT_PORT_FAILED;
        result.port_error = PortError{PORT_REFUSED_NAME, 0};
        log_remote(port_name, "no served filter's name (alpaca://HOST:PORT/N)");
        return;
    }
    AlpacaReply reply;
    FilterRecord served = record;
    if (!connect_device(a, reply) || !fetch_record(a, 0, served, reply)) {
        if (serial_aborted()) return;
        // A server that refused the device answered: its filter did not connect there.
        result.failure = reply.reached && reply.http.status == 200 ? CONNECT_SILENT : CONNECT_PORT_FAILED;
        result.port_error = remote_port_error(reply);
        log_remote(port_name, reply.why);
        return;
    }
    record.connected = 1;
    take_served(record, served);
    result.answered = 1;
}

void remote_update(FilterRecord& record, RemoteLine& line, int as_tick, LineResult& result)
{
    int interval_ms = 0;
    if (as_tick) {
        const auto now = std::chrono::steady_clock::now();
        if (line.last_tick != std::chrono::steady_clock::time_point{})
            interval_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - line.last_tick).count());
        line.last_tick = now;
    }
    RemoteAddress a;
    AlpacaReply reply;
    FilterRecord served = record;
    int ok = parse_remote_name(record.port_name, a) && fetch_record(a, interval_ms, served, reply);
    // A server started anew has its devices unconnected: the slot connects its own again, as a
    // replugged USB adapter is opened again.
    if (ok && !served.connected) ok = connect_device(a, reply) && fetch_record(a, interval_ms, served, reply);
    if (serial_aborted()) return;
    if (ok) take_served(record, served);
    else record.status_code = STATUS_NO_COMMUNICATION;
    result.answered = record.status_code != STATUS_NO_COMMUNICATION;
    if (result.answered) {
        line.failing = 0;
        return;
    }
    if (line.failing) return;  // one record for one outage
    line.failing = 1;
    log_remote(record.port_name, ok ? "the server reports that its filter stopped answering" : reply.why);
}

void remote_command(FilterRecord& record, RemoteLine& line, const LineJob& job, LineResult& result)
{
    (void)line;
    RemoteAddress a;
    if (job.edit.setting < 0 || job.edit.setting >= SETTING_COUNT || !parse_remote_name(record.port_name, a)) return;
    const SettingRow& row = setting_row(static_cast<FilterSetting>(job.edit.setting));
    const std::string parameters = number_text(job.edit.value) + ",poll=" + (job.poll_after ? "1" : "0");
    AlpacaReply reply;
    if (!alpaca_put(a, "action", std::string("Action=") + row.name + "&Parameters=" + form_encode(parameters),
                    REMOTE_TIMEOUT_MS, reply)) {
        if (job.poll_after) record.status_code = STATUS_NO_COMMUNICATION;
        return;
    }
    // The server answers a setting only once the filter acknowledged it.
    result.answered = 1;
    result.acknowledged = 1;
    copy_text(result.reply, REPLY_BUFFER_SIZE, "OK", REPLY_MAX);
    FilterRecord served = record;
    if (fetch_record(a, 0, served, reply)) take_served(record, served);
}

void remote_close(FilterRecord& record, RemoteLine& line, LineResult& result)
{
    line = RemoteLine{};
    result.answered = record.connected != 0;
    record.connected = 0;
    record.port_handle = -1;
}
