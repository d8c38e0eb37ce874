// Filter policy; see filter_policy.h.
#include "link/filter_policy.h"

#include <cmath>
#include <cstring>

namespace {

// How close to a whole tenth a shift must be to count as it: far below any shift a person types
// or a filter reports, far above the error of a sum of a few tenths in binary floating point.
constexpr double TENTH_SNAP = 1e-9;

}  // namespace

void run_tick_policy(FilterRecord& slot)
{
    poll_filter_status(slot);
    // A USB adapter that was pulled and plugged in again is opened anew, quietly; the filter
    // answers at the next update. Until then it reads "No communication".
    if (slot.status_code == STATUS_NO_COMMUNICATION && serial_line_lost(slot.port_handle))
        serial_reopen(slot.port_handle, slot.port_name);
    if (++slot.poll_count >= POLLS_PER_AGE_POLL) {
        slot.poll_count = 0;
        poll_filter_age(slot);
    }
}

int wing_shift_argument(double angstrom)
{
    if (std::isnan(angstrom)) return 0;
    double tenths = angstrom * 10;
    const double nearest = std::round(tenths);
    if (std::fabs(tenths - nearest) < TENTH_SNAP) tenths = nearest;
    tenths = std::trunc(tenths);
    if (tenths > WING_SHIFT_TENTHS_LIMIT) return WING_SHIFT_TENTHS_LIMIT;
    if (tenths < -WING_SHIFT_TENTHS_LIMIT) return -WING_SHIFT_TENTHS_LIMIT;
    return static_cast<int>(tenths);
}

int wing_shift_acceptable(double angstrom)
{
    return std::isfinite(angstrom) && angstrom >= -WING_SHIFT_LIMIT && angstrom <= WING_SHIFT_LIMIT;
}

namespace {

// In FilterCondition order (checked below). A fault and a filter that does not answer share
// the panel's red and the client's alert: either way the observer must look.
constexpr ConditionRow CONDITIONS[CONDITION_COUNT] = {
    {CONDITION_ON_BAND, "on-band", 0x00FF00, LIGHT_OK},
    {CONDITION_BUSY, "busy", 0xFFC000, LIGHT_BUSY},
    {CONDITION_ASLEEP, "asleep", 0x0000FF, LIGHT_IDLE},
    {CONDITION_FAULT, "fault", 0xFF0000, LIGHT_ALERT},
    {CONDITION_NO_COMMUNICATION, "no-communication", 0xFF0000, LIGHT_ALERT},
};

constexpr bool conditions_in_order()
{
    for (int k = 0; k < CONDITION_COUNT; ++k)
        if (CONDITIONS[k].condition != k) return false;
    return true;
}
static_assert(conditions_in_order(), "the condition table is indexed by FilterCondition");

}  // namespace

const ConditionRow& condition_row(FilterCondition condition) { return CONDITIONS[condition]; }

FilterCondition classify_status(const FilterRecord& slot)
{
    if (slot.status_code == STATUS_NO_COMMUNICATION) return CONDITION_NO_COMMUNICATION;
    if (slot.status_code != 0) return CONDITION_FAULT;
    if (slot.sleeping) return CONDITION_ASLEEP;
    if (slot.on_band) return CONDITION_ON_BAND;
    return CONDITION_BUSY;
}

int setting_acknowledged(const char* reply) { return reply != nullptr && std::strstr(reply, "OK") != nullptr; }

double fahrenheit_to_celsius(double fahrenheit) { return (fahrenheit - 32.0) * 5.0 / 9.0; }

double target_temperature(const FilterRecord& slot)
{
    return slot.center_temperature + slot.wing_shift * slot.temperature_per_angstrom;
}

double first_zoom_span(double center_wavelength)
{
    return center_wavelength > 3900 && center_wavelength < 4000 ? ZOOM_WIDE : ZOOM_NORMAL;
}

std::string printable_text(const std::string& bytes, size_t max_chars)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (text.size() >= max_chars) break;
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : ' ';
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string connect_failure_text(ConnectFailure failure, const PortError& error, const DeviceAnswer& said,
                                 const char* port)
{
    const std::string name = port != nullptr ? port : "";
    switch (failure) {
    case CONNECT_PORT_FAILED: return "Could not open " + name + ": " + port_error_text(error);
    case CONNECT_SILENT:
        return name + " opened, but no filter answered. Is the filter powered and its cable plugged in?";
    case CONNECT_NOT_A_FILTER: {
        const std::string reply = printable_text(said.status_reply, SHOWN_REPLY_CHARS);
        return "The device on " + name + " answered, but not as a Solvane filter" +
               (reply.empty() ? std::string(".") : " (it said: " + reply + ").") + " Is this the filter's port?";
    }
    case CONNECT_OK:
    case CONNECT_CANCELLED: break;
    }
    return "Connecting on " + name + " was cut short.";
}
