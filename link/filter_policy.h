// Filter policy: what every program does the same way with a filter, defined once.
//
// Contents
//   1. The update tick
//   2. Wing shift
//   3. Status classes
//   4. Acknowledged settings
//   5. Values for network clients
//   6. Update intervals and zoom
//   7. Why a connection failed
//
// SolvaneControl, the INDI driver and the Alpaca server use these, and SolvaneCommand where they
// leave its output as it is, so the same request gives the same bytes on the port everywhere.
#pragma once

#include "link/solvane_link.h"

#include <cstddef>
#include <string>

// ---------------------------------------------------------------------------------------------
// 1. The update tick
// ---------------------------------------------------------------------------------------------

// A connected filter's age is asked on every 60th status poll of the update.
constexpr int POLLS_PER_AGE_POLL = 60;

// One update of a connected filter: its status poll; after a poll without reply, the port opened
// anew (quietly) when the kernel reports the device gone, so a replugged USB adapter answers at
// the next update; and every 60th poll (poll_count) its age. The slot's link must be open.
void run_tick_policy(FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 2. Wing shift
// ---------------------------------------------------------------------------------------------

constexpr double WING_SHIFT_LIMIT = 1.0;  // Angstrom either side of the line, as commanded
constexpr int WING_SHIFT_TENTHS_LIMIT = 10;

// The "SE" argument for a wing shift in Angstrom: tenths, cut toward zero (0.25 gives 2, -0.25
// gives -2), kept within -10 to 10. A shift within a billionth of a tenth of a whole tenth counts
// as that tenth, so sums of steps such as 0.7 + 0.1 (0.7999999999999999) give 8. Not a number
// gives 0.
int wing_shift_argument(double angstrom);

// 1 when a requested wing shift can be commanded: a finite number from -1.0 to 1.0 Angstrom.
int wing_shift_acceptable(double angstrom);

// ---------------------------------------------------------------------------------------------
// 3. Status classes
// ---------------------------------------------------------------------------------------------

// What a status means for an observer, in five classes every program shows alike.
enum FilterCondition {
    CONDITION_ON_BAND,           // status 0, awake, on band
    CONDITION_BUSY,              // status 0, awake, heating, cooling or stabilizing
    CONDITION_ASLEEP,            // status 0, heater off
    CONDITION_FAULT,             // any code the filter reports other than 0, or implausible data
    CONDITION_NO_COMMUNICATION,  // no reply
    CONDITION_COUNT
};

FilterCondition classify_status(const FilterRecord& slot);

// How a network client's status light shows a class (INDI's Ok, Busy, Idle and Alert).
enum ConditionLight { LIGHT_OK, LIGHT_BUSY, LIGHT_IDLE, LIGHT_ALERT };

// How each program shows a class: the web page's and the record's name for it, the colour of the
// panel's status dot (0xRRGGBB, opaque), the client's light.
struct ConditionRow {
    FilterCondition condition;
    const char* name;  // "on-band", "busy", "asleep", "fault", "no-communication"
    unsigned panel_rgb;
    ConditionLight light;
};

const ConditionRow& condition_row(FilterCondition condition);

// ---------------------------------------------------------------------------------------------
// 4. Acknowledged settings
// ---------------------------------------------------------------------------------------------

// 1 when a filter's reply to a setting ("SH0", "SE-3", ...) acknowledges it: the reply holds "OK"
// anywhere. SolvaneControl sends and ignores the reply; the other programs report it.
int setting_acknowledged(const char* reply);

// ---------------------------------------------------------------------------------------------
// 5. Values for network clients
// ---------------------------------------------------------------------------------------------

// The filters report degrees Fahrenheit; INDI and Alpaca clients show degrees Celsius.
double fahrenheit_to_celsius(double fahrenheit);

// A target temperature as the status dialog shows it: center_temperature + wing_shift x
// temperature_per_angstrom, degrees Fahrenheit.
double target_temperature(const FilterRecord& slot);

// ---------------------------------------------------------------------------------------------
// 6. Update intervals and zoom
// ---------------------------------------------------------------------------------------------

// The update intervals the window offers (Settings menu, in this order, stored in solvane.ini by
// index); the middle one is every program's default.
constexpr int UPDATE_INTERVAL_COUNT = 3;
constexpr int UPDATE_INTERVALS_MS[UPDATE_INTERVAL_COUNT] = {1000, 5000, 30000};
constexpr int UPDATE_INTERVAL_DEFAULT_INDEX = 1;
constexpr int UPDATE_INTERVAL_DEFAULT_MS = UPDATE_INTERVALS_MS[UPDATE_INTERVAL_DEFAULT_INDEX];

// The span a newly connected filter is shown with: calcium filters (a line between 3900 and
// 4000 Angstrom) show their broad lines best wide, every other filter at the normal span.
double first_zoom_span(double center_wavelength);

// ---------------------------------------------------------------------------------------------
// 7. Why a connection failed
// ---------------------------------------------------------------------------------------------

// The most of a device's reply a failure text repeats: enough to recognise a modem or a GPS.
constexpr size_t SHOWN_REPLY_CHARS = 40;

// Text from a device, fit for a message to a network client: printable ASCII only (a control
// character or a stray byte would break a client's XML or JSON; each becomes a blank), blanks at
// both ends dropped, at most max_chars characters.
std::string printable_text(const std::string& bytes, size_t max_chars);

// Why connect_slot (or a line's JOB_CONNECT) left a filter unconnected, for the observer, in one
// sentence or two: which case it was, the system's reason and its advice (the dialout group) for
// a port that did not open, what the device said when it is no filter. port is the name as
// configured, put in as given. CONNECT_OK and CONNECT_CANCELLED read as cut short.
std::string connect_failure_text(ConnectFailure failure, const PortError& error, const DeviceAnswer& said,
                                 const char* port);
