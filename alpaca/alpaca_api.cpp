// The Alpaca API; see alpaca_api.h.
//
// The members are a table: name, HTTP verb, the parameters each needs and whether it needs a
// connected filter. answer_member walks the checks in one order for every member (the verb, then
// each parameter, then the connection, then the switch number) before the member's own function
// runs, so no member can skip a check.
#include "alpaca/alpaca_api.h"

#include "alpaca/switches.h"
#include "link/filter_policy.h"
#include "link/filter_settings.h"
#include "link/remote_link.h"
#include "spectral/spectral.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>

#include <unistd.h>

using Json = nlohmann::ordered_json;

namespace {

// ---------------------------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------------------------

std::atomic<std::uint32_t> server_transactions{0};

ApiAnswer bad_request(const std::string& reason)
{
    ApiAnswer answer;
    answer.http_status = 400;
    answer.content_type = "text/plain; charset=utf-8";
    answer.body = reason + "\n";
    return answer;
}

ApiAnswer envelope(std::uint32_t client_transaction_id, int error_number, const std::string& error_message,
                   const Json* value = nullptr)
{
    Json reply;
    if (value != nullptr) reply["Value"] = *value;
    reply["ClientTransactionID"] = client_transaction_id;
    reply["ServerTransactionID"] = next_server_transaction_id();
    reply["ErrorNumber"] = error_number;
    reply["ErrorMessage"] = error_message;
    ApiAnswer answer;
    answer.body = reply.dump(-1, ' ', false, Json::error_handler_t::replace);
    answer.client_transaction_id = client_transaction_id;
    return answer;
}

ApiAnswer value_reply(std::uint32_t client_transaction_id, const Json& value)
{
    return envelope(client_transaction_id, ALPACA_OK, "", &value);
}

bool equal_no_case(const std::string& a, const char* b)
{
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (size_t k = 0; k < n; ++k)
        if (std::tolower(static_cast<unsigned char>(a[k])) != std::tolower(static_cast<unsigned char>(b[k])))
            return false;
    return true;
}

// The first parameter of that name in any case, or nullptr.
const std::string* find_param(const ApiParams& params, const char* name)
{
    for (const auto& [key, value] : params)
        if (equal_no_case(key, name)) return &value;
    return nullptr;
}

int parse_int32(const std::string& text, int& value)
{
    const char* first = text.data();
    const char* last = first + text.size();
    if (first == last) return 0;
    auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

std::string slot_words(const ServerView& view, int device)
{
    const SlotView& s = view.slot[device];
    std::string label = filter_label(s.record);
    std::string words = "Filter " + std::to_string(device + 1);
    if (!label.empty()) words += " (" + label + ")";
    return words + " on " + latin1_to_utf8(s.port_name);
}

// Cuts UTF-8 text to at most max_bytes without splitting a character.
std::string cut_utf8(std::string text, size_t max_bytes)
{
    if (text.size() <= max_bytes) return text;
    size_t end = max_bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string iso_time(std::chrono::system_clock::time_point when)
{
    const auto since = when.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];  // room for any int the compiler can imagine in each field
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis < 0 ? 0 : millis);
    return text;
}

// ---------------------------------------------------------------------------------------------
// The members of a Switch device
// ---------------------------------------------------------------------------------------------

// Parameters a member needs, as bits.
enum : unsigned {
    P_ID = 1u << 0,
    P_STATE = 1u << 1,
    P_VALUE = 1u << 2,
    P_NAME = 1u << 3,
    P_CONNECTED = 1u << 4,
    P_ACTION = 1u << 5,
    P_PARAMETERS = 1u << 6,
    P_COMMAND = 1u << 7,
    P_RAW = 1u << 8,
};

// A request that passed every check, as the member's function gets it.
struct Call {
    const ServerView& view;
    int device;
    std::uint32_t ctid;
    int id = 0;
    double value = 0;
    bool state = false;
    std::string action = {}, parameters = {};  // Action
    std::string value_text = {};  // Value as the client sent it, for a refusal to quote
};

using MemberFunction = ApiAnswer (*)(const Call&);

struct Member {
    const char* name;
    const char* verb;
    unsigned params;
    int needs_connection;
    MemberFunction answer;
};

const SlotView& slot_of(const Call& c) { return c.view.slot[c.device]; }
const FilterRecord& record_of(const Call& c) { return slot_of(c).record; }

ApiAnswer not_implemented(const Call& c, const std::string& what)
{
    return envelope(c.ctid, ALPACA_NOT_IMPLEMENTED, what + " is not implemented by this device.");
}

ApiAnswer start_write(const Call& c, ApiWrite write, const LineJob& job = {})
{
    ApiAnswer answer;
    answer.write = write;
    answer.device = c.device;
    answer.job = job;
    answer.client_transaction_id = c.ctid;
    return answer;
}

ApiAnswer set_switch_value(const Call& c, double value)
{
    const SwitchRow& row = switch_row(c.id);
    if (!row.writable) return not_implemented(c, std::string("Setting the read-only switch ") + row.name);
    if (value < row.min || value > row.max) {
        // The value as it was typed: -1.0000000001 printed with %g would read "-1", in range.
        char range[64];
        std::snprintf(range, sizeof range, ") is out of range: it takes %g to %g.", row.min, row.max);
        return envelope(c.ctid, ALPACA_INVALID_VALUE, std::string(row.name) + " ('" + c.value_text.substr(0, 40) + "'" + range);
    }
    return start_write(c, WRITE_JOB, switch_write_job(c.id, value));
}

ApiAnswer get_connected(const Call& c) { return value_reply(c.ctid, record_of(c).connected != 0); }

ApiAnswer put_connected(const Call& c)
{
    const SlotView& s = slot_of(c);
    if (c.state) return s.record.connected && !s.connecting ? envelope(c.ctid, ALPACA_OK, "") : start_write(c, WRITE_CONNECT);
    if (!s.record.connected && !s.connecting) return envelope(c.ctid, ALPACA_OK, "");
    return start_write(c, WRITE_DISCONNECT);
}

ApiAnswer put_connect(const Call& c)
{
    const SlotView& s = slot_of(c);
    if (s.record.connected && !s.connecting) return envelope(c.ctid, ALPACA_OK, "");
    return start_write(c, WRITE_CONNECT_START);
}

ApiAnswer put_disconnect(const Call& c)
{
    const SlotView& s = slot_of(c);
    if (!s.record.connected && !s.connecting) return envelope(c.ctid, ALPACA_OK, "");
    return start_write(c, WRITE_DISCONNECT_START);
}

// Connecting is the completion property of Connect(): as for every asynchronous ASCOM operation, a
// connection that failed is reported there, as a driver error with its reason, until the next
// connection or disconnection starts.
ApiAnswer get_connecting(const Call& c)
{
    const SlotView& s = slot_of(c);
    if (!s.connecting && !s.connect_failure.empty()) return envelope(c.ctid, ALPACA_DRIVER_ERROR, s.connect_failure);
    return value_reply(c.ctid, s.connecting != 0);
}

ApiAnswer get_description(const Call& c)
{
    const FilterRecord& r = record_of(c);
    std::string text = "Solvane narrow-band solar filter";
    if (r.connected) {
        text = latin1_to_utf8(r.model_text) + " " + filter_label(r) + ", serial " + latin1_to_utf8(r.serial_number_text);
    }
    // At most 64 characters, so that it fits a FITS header card.
    return value_reply(c.ctid, cut_utf8(text, 64));
}

ApiAnswer get_driver_info(const Call& c)
{
    return value_reply(c.ctid, std::string("solvane-alpaca ") + SERVER_VERSION +
                                   ": Solvane filters as Alpaca Switch devices, through the Solvane filter link");
}

ApiAnswer get_driver_version(const Call& c) { return value_reply(c.ctid, SERVER_VERSION); }

ApiAnswer get_interface_version(const Call& c) { return value_reply(c.ctid, SWITCH_INTERFACE_VERSION); }

ApiAnswer get_name(const Call& c)
{
    std::string name = "Solvane filter " + std::to_string(c.device + 1);
    std::string label = filter_label(record_of(c));
    if (!label.empty()) name += " " + label;
    return value_reply(c.ctid, name);
}

// The actions: the filter's record as JSON (RECORD_ACTION), and every setting of the filter
// settings table by its name, its parameter the value as SetSwitchValue takes it, optionally
// followed by ",poll=1" or ",poll=0" for a status poll after it or none (the setting's own rule
// otherwise): Action=wingshift&Parameters=0.3 sends SE3 and a status poll.
constexpr const char* RECORD_ACTION = "record";
// The schedule's next wake and sleep; listed only while the server has a schedule.
constexpr const char* SCHEDULE_ACTION = "schedule";

ApiAnswer get_supported_actions(const Call& c)
{
    Json names = Json::array({RECORD_ACTION});
    for (int k = 0; k < SETTING_COUNT; ++k) names.push_back(setting_row(static_cast<FilterSetting>(k)).name);
    if (c.view.schedule.active) names.push_back(SCHEDULE_ACTION);
    return value_reply(c.ctid, names);
}

// The schedule as a JSON text: the next wake and sleep (ISO 8601 UTC, or "none"), the schedule in
// words and a sentence per filter for a ready-by time.
ApiAnswer schedule_action(const Call& c)
{
    const ScheduleSummary& s = c.view.schedule;
    const Json value = Json({{"format", 1}, {"wake", s.wake}, {"sleep", s.sleep}, {"schedule", s.schedule},
                             {"filters", s.filters}}).dump();
    return envelope(c.ctid, ALPACA_OK, "", &value);
}

ApiAnswer get_device_state(const Call& c)
{
    const FilterRecord& r = record_of(c);
    Json state = Json::array();
    for (int id = 0; id < SWITCH_COUNT; ++id) {
        state.push_back({{"Name", "GetSwitch" + std::to_string(id)}, {"Value", switch_state(id, r)}});
        state.push_back({{"Name", "GetSwitchValue" + std::to_string(id)}, {"Value", switch_value(id, r)}});
    }
    state.push_back({{"Name", "TimeStamp"}, {"Value", iso_time(slot_of(c).updated)}});
    return value_reply(c.ctid, state);
}

// The record needs no connected filter: a client learns from it that the filter is not connected.
// Parameters: empty, or the interval in milliseconds at which the client reads the record.
ApiAnswer record_action(const Call& c)
{
    std::uint32_t interval = 0;
    if (!c.parameters.empty() && !parse_alpaca_uint32(c.parameters, interval))
        return envelope(c.ctid, ALPACA_INVALID_VALUE,
                        "Action record takes the client's update interval in milliseconds as its Parameters, or "
                        "nothing, not '" + c.parameters.substr(0, 40) + "'.");
    if (interval > 0 && c.view.intervals != nullptr)
        client_interval_asked(*c.view.intervals, static_cast<int>(std::min<std::uint32_t>(interval, INT_MAX)),
                              std::chrono::steady_clock::now());
    const Json value = record_json(record_of(c));
    return envelope(c.ctid, ALPACA_OK, "", &value);
}

// A setting's Parameters: the value, then optionally ",poll=1" or ",poll=0".
int read_setting_parameters(const std::string& text, double& value, SettingPoll& poll)
{
    const size_t comma = text.find(',');
    poll = POLL_AS_ROW;
    if (comma != std::string::npos) {
        const std::string rest = text.substr(comma + 1);
        if (rest != "poll=1" && rest != "poll=0") return 0;
        poll = rest == "poll=1" ? POLL_ALWAYS : POLL_NEVER;
    }
    return parse_alpaca_number(text.substr(0, comma), value);
}

ApiAnswer put_action(const Call& c)
{
    if (equal_no_case(c.action, RECORD_ACTION)) return record_action(c);
    if (c.view.schedule.active && equal_no_case(c.action, SCHEDULE_ACTION)) return schedule_action(c);
    const SettingRow* row = find_setting(c.action.c_str());
    if (row == nullptr)
        return envelope(c.ctid, ALPACA_ACTION_NOT_IMPLEMENTED,
                        "Action '" + c.action.substr(0, 40) + "' is not one of SupportedActions.");
    double value = 0;
    SettingPoll poll = POLL_AS_ROW;
    if (!read_setting_parameters(c.parameters, value, poll) || value < row->min || value > row->max) {
        char range[128];
        std::snprintf(range, sizeof range, " takes a number from %g to %g as its Parameters (and ,poll=0 or ,poll=1), not '",
                      row->min, row->max);
        return envelope(c.ctid, ALPACA_INVALID_VALUE, std::string("Action ") + row->name + range +
                                                          c.parameters.substr(0, 40) + "'.");
    }
    if (!record_of(c).connected)
        return envelope(c.ctid, ALPACA_NOT_CONNECTED,
                        slot_words(c.view, c.device) + " is not connected: set Connected to true first.");
    ApiAnswer answer = start_write(c, WRITE_JOB, setting_job(row->setting, value, poll));
    answer.answers_value = 1;
    return answer;
}
ApiAnswer put_command(const Call& c) { return not_implemented(c, "Sending raw commands"); }

ApiAnswer get_max_switch(const Call& c) { return value_reply(c.ctid, static_cast<int>(SWITCH_COUNT)); }
ApiAnswer get_can_async(const Call& c) { return value_reply(c.ctid, false); }
ApiAnswer get_can_write(const Call& c) { return value_reply(c.ctid, switch_row(c.id).writable != 0); }
ApiAnswer get_switch(const Call& c) { return value_reply(c.ctid, switch_state(c.id, record_of(c))); }
ApiAnswer get_switch_value(const Call& c) { return value_reply(c.ctid, switch_value(c.id, record_of(c))); }
ApiAnswer get_switch_name(const Call& c) { return value_reply(c.ctid, switch_name(c.id, record_of(c), c.device)); }
ApiAnswer get_switch_description(const Call& c)
{
    return value_reply(c.ctid, switch_description(c.id, record_of(c), c.device));
}
ApiAnswer get_min_value(const Call& c) { return value_reply(c.ctid, switch_row(c.id).min); }
ApiAnswer get_max_value(const Call& c) { return value_reply(c.ctid, switch_row(c.id).max); }
ApiAnswer get_step(const Call& c) { return value_reply(c.ctid, switch_row(c.id).step); }

ApiAnswer put_set_switch(const Call& c)
{
    const SwitchRow& row = switch_row(c.id);
    return set_switch_value(c, c.state ? row.max : row.min);
}

ApiAnswer put_set_switch_value(const Call& c) { return set_switch_value(c, c.value); }
ApiAnswer put_set_switch_name(const Call& c) { return not_implemented(c, "Renaming a switch"); }
// The filters change state as soon as they are told: no switch works asynchronously, and the
// asynchronous members answer as the standard asks of such a switch.
ApiAnswer async_member(const Call& c) { return not_implemented(c, "Asynchronous switching (CanAsync is false)"); }

// ISwitchV3 asks every device to answer StateChangeComplete; with nothing asynchronous every
// change is complete when its write has answered.
ApiAnswer get_state_change_complete(const Call& c) { return value_reply(c.ctid, true); }

constexpr Member MEMBERS[] = {
    {"connected", "GET", 0, 0, get_connected},
    {"connected", "PUT", P_CONNECTED, 0, put_connected},
    {"connect", "PUT", 0, 0, put_connect},
    {"disconnect", "PUT", 0, 0, put_disconnect},
    {"connecting", "GET", 0, 0, get_connecting},
    {"description", "GET", 0, 0, get_description},
    {"driverinfo", "GET", 0, 0, get_driver_info},
    {"driverversion", "GET", 0, 0, get_driver_version},
    {"interfaceversion", "GET", 0, 0, get_interface_version},
    {"name", "GET", 0, 0, get_name},
    {"supportedactions", "GET", 0, 0, get_supported_actions},
    {"devicestate", "GET", 0, 1, get_device_state},
    {"action", "PUT", P_ACTION | P_PARAMETERS, 0, put_action},
    {"commandblind", "PUT", P_COMMAND | P_RAW, 0, put_command},
    {"commandbool", "PUT", P_COMMAND | P_RAW, 0, put_command},
    {"commandstring", "PUT", P_COMMAND | P_RAW, 0, put_command},
    {"maxswitch", "GET", 0, 1, get_max_switch},
    {"canasync", "GET", P_ID, 1, get_can_async},
    {"canwrite", "GET", P_ID, 1, get_can_write},
    {"getswitch", "GET", P_ID, 1, get_switch},
    {"getswitchdescription", "GET", P_ID, 1, get_switch_description},
    {"getswitchname", "GET", P_ID, 1, get_switch_name},
    {"getswitchvalue", "GET", P_ID, 1, get_switch_value},
    {"minswitchvalue", "GET", P_ID, 1, get_min_value},
    {"maxswitchvalue", "GET", P_ID, 1, get_max_value},
    {"switchstep", "GET", P_ID, 1, get_step},
    {"statechangecomplete", "GET", P_ID, 1, get_state_change_complete},
    {"setswitch", "PUT", P_ID | P_STATE, 1, put_set_switch},
    {"setswitchname", "PUT", P_ID | P_NAME, 1, put_set_switch_name},
    {"setswitchvalue", "PUT", P_ID | P_VALUE, 1, put_set_switch_value},
    {"setasync", "PUT", P_ID | P_STATE, 1, async_member},
    {"setasyncvalue", "PUT", P_ID | P_VALUE, 1, async_member},
    {"cancelasync", "PUT", P_ID, 1, async_member},
};

// Reads the parameters a member needs into call; returns an empty text or why the request is
// malformed.
struct ParamName {
    unsigned bit;
    const char* name;
};
constexpr ParamName PARAM_NAMES[] = {{P_ID, "Id"},         {P_STATE, "State"},       {P_VALUE, "Value"},
                                     {P_NAME, "Name"},     {P_CONNECTED, "Connected"}, {P_ACTION, "Action"},
                                     {P_PARAMETERS, "Parameters"}, {P_COMMAND, "Command"}, {P_RAW, "Raw"},
                                     {0, "ClientTransactionID"}, {0, "ClientID"}};

// The Alpaca reference makes a PUT's form names case-sensitive (its conformance checker sends
// "id" for "Id" and expects HTTP 400). Returns why a name is mis-cased, or an empty text.
std::string miscased_name(const ApiParams& params)
{
    for (const auto& [key, value] : params)
        for (const ParamName& n : PARAM_NAMES)
            if (equal_no_case(key, n.name) && key != n.name)
                return "Parameter names of a PUT are case-sensitive: '" + key.substr(0, 40) + "' must be written " +
                       n.name + ".";
    return "";
}

std::string read_params(const ApiParams& params, unsigned needed, Call& call)
{
    for (const ParamName& n : PARAM_NAMES) {
        if (!(needed & n.bit)) continue;
        const std::string* text = find_param(params, n.name);
        if (text == nullptr) return std::string("Missing parameter ") + n.name + ".";
        const std::string quoted = "'" + text->substr(0, 40) + "'";
        if (n.bit == P_ID && !parse_int32(*text, call.id))
            return "Parameter Id must be a whole number, not " + quoted + ".";
        if ((n.bit == P_STATE || n.bit == P_CONNECTED || n.bit == P_RAW) && !parse_alpaca_bool(*text, call.state))
            return std::string("Parameter ") + n.name + " must be true or false, not " + quoted + ".";
        if (n.bit == P_VALUE && !parse_alpaca_number(*text, call.value))
            return "Parameter Value must be a finite decimal number with a point, not " + quoted + ".";
        if (n.bit == P_ACTION) call.action = *text;
        if (n.bit == P_PARAMETERS) call.parameters = *text;
        if (n.bit == P_VALUE) call.value_text = *text;
    }
    return "";
}

ApiAnswer answer_member(const ApiRequest& request, const ServerView& view, int device, const std::string& name,
                        std::uint32_t ctid)
{
    const Member* match = nullptr;
    const Member* other_verb = nullptr;
    for (const Member& m : MEMBERS) {
        if (name != m.name) continue;
        (request.method == m.verb ? match : other_verb) = &m;
    }
    if (match == nullptr && other_verb != nullptr)
        return bad_request(name + " takes HTTP " + other_verb->verb + ", not " + request.method + ".");
    if (match == nullptr) return bad_request("'" + name.substr(0, 40) + "' is no member of a Switch device.");

    Call call{view, device, ctid};
    std::string malformed = read_params(request.params, match->params, call);
    if (!malformed.empty()) return bad_request(malformed);

    if (match->needs_connection && !view.slot[device].record.connected)
        return envelope(ctid, ALPACA_NOT_CONNECTED,
                        slot_words(view, device) + " is not connected: set Connected to true first.");
    if ((match->params & P_ID) && (call.id < 0 || call.id >= SWITCH_COUNT))
        return envelope(ctid, ALPACA_INVALID_VALUE,
                        "Switch Id " + std::to_string(call.id) + " is out of range: 0 to " +
                            std::to_string(SWITCH_COUNT - 1) + ".");
    return match->answer(call);
}

// ---------------------------------------------------------------------------------------------
// Management
// ---------------------------------------------------------------------------------------------

ApiAnswer answer_management(const ApiRequest& request, const ServerView& view, const std::string& rest,
                            std::uint32_t ctid)
{
    if (rest != "apiversions" && rest != "v1/description" && rest != "v1/configureddevices")
        return bad_request("/management/" + rest.substr(0, 60) + " is no management member.");
    if (request.method != "GET") return bad_request("/management/" + rest + " takes HTTP GET.");
    if (rest == "apiversions") return value_reply(ctid, Json::array({1}));
    if (rest == "v1/description") {
        Json description = {{"ServerName", "Solvane Alpaca server"},
                            {"Manufacturer", "Solvane"},
                            {"ManufacturerVersion", SERVER_VERSION},
                            {"Location", view.location}};
        return value_reply(ctid, description);
    }
    Json devices = Json::array();
    for (int n = 0; n < SLOT_COUNT; ++n) {
        if (!view.slot[n].configured) continue;
        devices.push_back({{"DeviceName", "Solvane filter " + std::to_string(n + 1) + " (" +
                                              latin1_to_utf8(view.slot[n].port_name) + ")"},
                           {"DeviceType", "Switch"},
                           {"DeviceNumber", n},
                           {"UniqueID", view.unique_ids[n]}});
    }
    return value_reply(ctid, devices);
}

std::vector<std::string> split_path(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Public functions
// ---------------------------------------------------------------------------------------------

ApiAnswer answer_api_request(const ApiRequest& request, const ServerView& view)
{
    // The transaction numbers first: a request whose numbers are unreadable is malformed.
    std::uint32_t ctid = 0, client_id = 0;
    if (request.method != "GET")
        if (const std::string miscased = miscased_name(request.params); !miscased.empty()) return bad_request(miscased);
    if (const std::string* text = find_param(request.params, "ClientTransactionID"))
        if (!parse_alpaca_uint32(*text, ctid))
            return bad_request("ClientTransactionID must be an unsigned 32-bit integer.");
    if (const std::string* text = find_param(request.params, "ClientID"))
        if (!parse_alpaca_uint32(*text, client_id)) return bad_request("ClientID must be an unsigned 32-bit integer.");

    const std::string management = "/management/";
    if (request.path.compare(0, management.size(), management) == 0)
        return answer_management(request, view, request.path.substr(management.size()), ctid);

    const std::vector<std::string> parts = split_path(request.path);
    if (parts.size() != 5 || parts[0] != "api")
        return bad_request("Alpaca device paths read /api/v1/switch/N/member (lower case).");
    if (parts[1] != "v1") return bad_request("Only version 1 of the Alpaca API is served (/api/v1/...).");
    if (parts[2] != "switch")
        return bad_request("This server has Switch devices only (/api/v1/switch/N/...), not '" +
                           parts[2].substr(0, 40) + "'.");
    std::uint32_t device = 0;
    std::string devices;
    for (int n = 0; n < SLOT_COUNT; ++n)
        if (view.slot[n].configured) devices += (devices.empty() ? "" : ", ") + std::to_string(n);
    if (!parse_alpaca_uint32(parts[3], device) || device >= SLOT_COUNT || !view.slot[device].configured)
        return bad_request("No switch device " + parts[3].substr(0, 20) + " here (devices: " +
                           (devices.empty() ? "none" : devices) + ").");
    return answer_member(request, view, static_cast<int>(device), parts[4], ctid);
}

ApiAnswer finish_write(const ApiAnswer& pending, const WriteOutcome& outcome, const FilterRecord& record, int slot)
{
    const std::uint32_t ctid = pending.client_transaction_id;
    std::string who = "Filter " + std::to_string(slot + 1);
    std::string label = filter_label(record);
    if (!label.empty()) who += " (" + label + ")";
    if (!outcome.failure.empty())
        return envelope(ctid, outcome.queue_full ? ALPACA_INVALID_OPERATION : ALPACA_DRIVER_ERROR, outcome.failure);
    if (pending.write == WRITE_CONNECT_START || pending.write == WRITE_DISCONNECT_START)
        return envelope(ctid, ALPACA_OK, "");  // under way: Connecting tells when it is done

    if (pending.write == WRITE_CONNECT || pending.write == WRITE_DISCONNECT) {
        const bool connect = pending.write == WRITE_CONNECT;
        if (!outcome.finished)
            return envelope(ctid, ALPACA_DRIVER_ERROR,
                            who + (connect ? " is still connecting" : " is still disconnecting") +
                                "; Connecting reads false once it is done.");
        if (!connect || outcome.result.answered) return envelope(ctid, ALPACA_OK, "");
        return envelope(ctid, ALPACA_DRIVER_ERROR, connect_failure_sentence(outcome.result, record, slot));
    }

    std::string command = pending.job.command;
    if (!command.empty() && command.back() == '\n') command.pop_back();
    if (!outcome.finished)
        return envelope(ctid, ALPACA_DRIVER_ERROR, who + " has not answered " + command + " yet; it stays queued.");
    if (outcome.result.cancelled)
        return envelope(ctid, ALPACA_DRIVER_ERROR, who + ": " + command + " was cancelled (the filter was disconnected).");
    if (!outcome.result.answered) return envelope(ctid, ALPACA_DRIVER_ERROR, who + " did not answer " + command + ".");
    if (!outcome.result.acknowledged) {
        char reply[REPLY_BUFFER_SIZE];
        copy_text(reply, REPLY_BUFFER_SIZE, outcome.result.reply, REPLY_MAX);
        trim_reply(reply);
        return envelope(ctid, ALPACA_DRIVER_ERROR,
                        who + " did not acknowledge " + command + ": it answered '" + latin1_to_utf8(reply) + "'.");
    }
    if (pending.answers_value) {
        const Json value = command;
        return envelope(ctid, ALPACA_OK, "", &value);
    }
    return envelope(ctid, ALPACA_OK, "");
}

std::string connect_failure_sentence(const LineResult& result, const FilterRecord& record, int slot)
{
    std::string who = "Filter " + std::to_string(slot + 1);
    const std::string label = filter_label(record);
    if (!label.empty()) who += " (" + label + ")";
    const char* port = record.opened_port_name[0] ? record.opened_port_name : record.port_name;
    const std::string reason = connect_failure_text(result.failure, result.port_error, result.device_answer, port);
    return who + " did not connect. " + latin1_to_utf8(reason.c_str());
}

std::uint32_t next_server_transaction_id()
{
    std::uint32_t id = ++server_transactions;
    while (id == 0) id = ++server_transactions;  // 0 means "none" to a client
    return id;
}

std::string unique_device_id(const std::string& machine_identity, int slot)
{
    // Two FNV-1a hashes with different offsets, each mixed through a 64-bit finaliser so that
    // neighbouring slots differ in every digit: 128 bits, the same on every start and network
    // interface, different for every slot and machine.
    const std::string text = machine_identity + "|solvane-alpaca|switch|" + std::to_string(slot);
    std::uint64_t h[2] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull};
    for (int k = 0; k < 2; ++k) {
        for (unsigned char c : text) h[k] = (h[k] ^ c) * 0x100000001b3ull;
        h[k] = (h[k] ^ (h[k] >> 30)) * 0xbf58476d1ce4e5b9ull;
        h[k] = (h[k] ^ (h[k] >> 27)) * 0x94d049bb133111ebull;
        h[k] ^= h[k] >> 31;
    }
    char id[40];
    std::snprintf(id, sizeof id, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(h[0] >> 32),
                  static_cast<unsigned>((h[0] >> 16) & 0xFFFF), static_cast<unsigned>(h[0] & 0xFFFF),
                  static_cast<unsigned>(h[1] >> 48), static_cast<unsigned long long>(h[1] & 0xFFFFFFFFFFFFull));
    return id;
}

std::string machine_identity()
{
    std::ifstream file("/etc/machine-id");
    std::string id;
    if (file && std::getline(file, id) && !id.empty()) return id;
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    return host;
}

int parse_alpaca_number(const std::string& text, double& value)
{
    // The pattern first: from_chars alone would also take "inf", "nan" and hexadecimal forms.
    size_t k = 0;
    const size_t n = text.size();
    if (k < n && (text[k] == '+' || text[k] == '-')) ++k;
    const size_t digits_start = k;
    while (k < n && std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
    size_t digits = k - digits_start;
    if (k < n && text[k] == '.') {
        ++k;
        const size_t fraction_start = k;
        while (k < n && std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
        digits += k - fraction_start;
    }
    if (digits == 0) return 0;
    if (k < n && (text[k] == 'e' || text[k] == 'E')) {
        ++k;
        if (k < n && (text[k] == '+' || text[k] == '-')) ++k;
        const size_t exponent_start = k;
        while (k < n && std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
        if (k == exponent_start) return 0;
    }
    if (k != n) return 0;
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    double parsed = 0;
    auto [end, error] = std::from_chars(first, text.data() + n, parsed);
    if (error != std::errc() || end != text.data() + n || !std::isfinite(parsed)) return 0;
    value = parsed;
    return 1;
}

int parse_alpaca_uint32(const std::string& text, std::uint32_t& value)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    std::uint32_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    value = parsed;
    return 1;
}

int parse_alpaca_bool(const std::string& text, bool& value)
{
    if (equal_no_case(text, "true")) {
        value = true;
        return 1;
    }
    if (equal_no_case(text, "false")) {
        value = false;
        return 1;
    }
    return 0;
}

void client_interval_asked(ClientIntervals& intervals, int interval_ms, std::chrono::steady_clock::time_point now)
{
    const int kept = (std::clamp(interval_ms, CLIENT_INTERVAL_MIN_MS, CLIENT_INTERVAL_MAX_MS) + 50) / 100 * 100;
    std::lock_guard<std::mutex> lock(intervals.mutex);
    intervals.held_until[kept] = now + std::chrono::milliseconds(2 * kept + 5000);
    while (intervals.held_until.size() > CLIENT_INTERVALS_KEPT) intervals.held_until.erase(std::prev(intervals.held_until.end()));
}

int shortest_client_interval(ClientIntervals& intervals, int own_ms, std::chrono::steady_clock::time_point now)
{
    std::lock_guard<std::mutex> lock(intervals.mutex);
    for (auto held = intervals.held_until.begin(); held != intervals.held_until.end();) {
        if (held->second <= now) {
            held = intervals.held_until.erase(held);
            continue;
        }
        return std::min(own_ms, held->first);  // the map is ordered: the first held is the shortest
    }
    return own_ms;
}
